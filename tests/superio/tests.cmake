target_sources(wdt_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/superio_port_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/superio_simulator_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/superio_vendors_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fintek_vendor_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kernel_conflicts_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/superio_daemon_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/example_config_test.cpp
)
# The shipped example configuration, checked against what the drivers do.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/example_config_test.cpp PROPERTIES
  COMPILE_DEFINITIONS WDT_EXAMPLE_CONFIG="${CMAKE_CURRENT_LIST_DIR}/../../etc/wdt.ini")
