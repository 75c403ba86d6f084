target_sources(wdt_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/dcon_link_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tarvelo_vendor_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tarvelo_daemon_test.cpp
)
