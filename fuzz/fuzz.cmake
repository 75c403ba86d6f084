# libFuzzer targets over the daemon's parsers, built with clang only:
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DWDT_FUZZ=ON \
#       -DWDT_SANITIZE=address,undefined -DWDT_BUILD_TESTS=OFF
#   cmake --build build-fuzz --target wdt_fuzz
#   build-fuzz/fuzz/fuzz_config -max_total_time=30 <scratch corpus dir> fuzz/corpus/config
# Each target has a seed corpus in fuzz/corpus/<name>/ and may have a
# dictionary fuzz/<name>.dict; .ci/run runs each for a bounded time.
if(WDT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "WDT_FUZZ needs clang; configure with CC=clang CXX=clang++")
  endif()
  # The layers are instrumented for coverage by wdt_layer().
  add_custom_target(wdt_fuzz)
  foreach(name config reglist identification response)
    add_executable(fuzz_${name} ${CMAKE_CURRENT_LIST_DIR}/fuzz_${name}.cpp)
    set_target_properties(fuzz_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_include_directories(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(fuzz_${name} PRIVATE wdt_core wdt_warnings)
    add_dependencies(wdt_fuzz fuzz_${name})
  endforeach()
endif()
