# Benchmark programs: plain timing programs, not tests (nothing here is
# registered with CTest). bench/run.sh builds and runs them and prints the
# figures. They need nothing beyond the daemon's own dependencies; the
# callgrind client requests are compiled in only where valgrind's header is
# installed.
if(WDT_BUILD_BENCHMARKS)
  add_library(wdt_bench_support STATIC ${CMAKE_CURRENT_LIST_DIR}/bench_support.cpp)
  target_include_directories(wdt_bench_support PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(wdt_bench_support PUBLIC wdt_sim PRIVATE wdt_warnings)

  foreach(name tick memory lateness dcon feeding health)
    add_executable(wdt-bench-${name} ${CMAKE_CURRENT_LIST_DIR}/${name}_bench.cpp)
    target_link_libraries(wdt-bench-${name} PRIVATE wdt_bench_support wdt_warnings)
  endforeach()
endif()
