target_sources(wdt_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/sensors_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sensors_polling_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/monitor_daemon_test.cpp
)
