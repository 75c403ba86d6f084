# The board simulator is test support that a simulator tool can reuse: it
# needs no test framework, only openpty.
target_sources(wdt_test_support PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../support/board_simulator.cpp)
target_link_libraries(wdt_test_support PUBLIC util)
target_sources(wdt_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/tarvelo_vendor_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tarvelo_daemon_test.cpp
)
