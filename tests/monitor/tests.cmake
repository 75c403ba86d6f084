target_sources(wdt_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/sensors_test.cpp
)
