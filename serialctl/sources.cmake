# The serial controller board: DCON link, identification and its watchdog.
find_package(Qt5 5.15 REQUIRED COMPONENTS SerialPort)
target_sources(wdt PRIVATE ${CMAKE_CURRENT_LIST_DIR}/dcon_reply.cpp ${CMAKE_CURRENT_LIST_DIR}/tarvelo_vendor.cpp)
target_link_libraries(wdt PUBLIC Qt5::SerialPort)
