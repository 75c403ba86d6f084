target_sources(wdt_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/fault_run_test.cpp
)
