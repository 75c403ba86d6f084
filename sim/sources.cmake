# Simulated hardware: a recording port bus with Super I/O chips on it and a
# controller board on a pseudo-terminal, with watchdog models that follow
# what the daemon writes to them. The tests and the simulator tool run the
# real daemon code against it.
add_library(wdt_sim STATIC
  ${CMAKE_CURRENT_LIST_DIR}/board_simulator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dcon_board.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fake_platform.cpp
  ${CMAKE_CURRENT_LIST_DIR}/superio_simulator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/superio_watchdog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/watchdog_countdown.cpp
)
target_link_libraries(wdt_sim PUBLIC wdt util)
