# Benchmark programs: plain timing programs, not tests (nothing here is
# registered with CTest). bench/run.sh builds and runs them and prints the
# figures. They need nothing beyond the daemon's own dependencies; the
# callgrind client requests are compiled in only where valgrind's header is
# installed.
option(WDT_BUILD_BENCHMARKS "Build the benchmark programs" ON)

if(WDT_BUILD_BENCHMARKS AND TARGET wdt_sim AND TARGET Qt5::SerialPort)
  add_library(wdt_bench_support STATIC ${CMAKE_CURRENT_LIST_DIR}/bench_support.cpp)
  target_link_libraries(wdt_bench_support PUBLIC wdt wdt_sim)

  foreach(name tick memory lateness dcon)
    add_executable(wdt-bench-${name} ${CMAKE_CURRENT_LIST_DIR}/${name}_bench.cpp)
    target_link_libraries(wdt-bench-${name} PRIVATE wdt_bench_support)
  endforeach()
endif()
