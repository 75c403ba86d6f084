find_package(Qt5 5.15 REQUIRED COMPONENTS SerialPort)
target_sources(wdt PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/sensors.cpp
)
target_link_libraries(wdt PUBLIC Qt5::SerialPort)
