# wdt-simulator: the daemon's own code, from start-up to exit code, against
# the simulated hardware of sim/.
add_executable(wdt-simulator
  ${CMAKE_CURRENT_LIST_DIR}/simulator/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/simulator/effective_config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/simulator/health_demo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/simulator/options.cpp
  ${CMAKE_CURRENT_LIST_DIR}/simulator/simulation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/simulator/status_reporter.cpp
)
target_include_directories(wdt-simulator PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(wdt-simulator PRIVATE wdt_sim wdt_warnings)
# Without --config the simulator runs the example configuration of the
# source tree.
target_compile_definitions(wdt-simulator PRIVATE
  WDT_EXAMPLE_CONFIG="${PROJECT_SOURCE_DIR}/etc/wdt.ini")

# Runs of the simulator binary, judged by what it prints.
if(WDT_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  enable_testing()
  add_executable(wdt_simulator_tests ${PROJECT_SOURCE_DIR}/tests/tools/simulator_test.cpp)
  target_link_libraries(wdt_simulator_tests PRIVATE Qt5::Core GTest::gtest_main wdt_warnings)
  target_compile_definitions(wdt_simulator_tests PRIVATE WDT_SIMULATOR="$<TARGET_FILE:wdt-simulator>")
  add_dependencies(wdt_simulator_tests wdt-simulator)
  gtest_discover_tests(wdt_simulator_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS simulator)
endif()
