# The daemon is built as one static library per layer folder. A layer sees
# only the headers of the layers it links, so a lower layer that includes a
# header of a higher one fails to compile: each library's include root holds
# nothing but a link to its own folder, and the roots of the layers it links
# come with them.
#
#   strategy   interface and records, INI value readers       Qt5::Core
#   superio    port I/O and the Super I/O drivers             strategy
#   serialctl  DCON line and the serial board's watchdog      strategy, Qt5::SerialPort
#   monitor    environment monitor of the serial board        serialctl
#   core       start-up, supervisor, configuration, log       all of the above
#   sim        simulated hardware and the in-process daemon   core (not part of the daemon)

# Warnings for everything built here; WDT_WARNINGS_AS_ERRORS makes them fail
# the build (CI sets it).
option(WDT_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
add_library(wdt_warnings INTERFACE)
target_compile_options(wdt_warnings INTERFACE -Wall -Wextra $<$<BOOL:${WDT_WARNINGS_AS_ERRORS}>:-Werror>)

# wdt_layer(<folder> SOURCES <files...> LINKS <libraries...>)
# Defines the library wdt_<folder> from files of <folder>.
function(wdt_layer folder)
  cmake_parse_arguments(PARSE_ARGV 1 LAYER "" "" "SOURCES;LINKS")
  set(target wdt_${folder})
  list(TRANSFORM LAYER_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/${folder}/)
  add_library(${target} STATIC ${LAYER_SOURCES})
  set(root ${PROJECT_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${root})
  target_link_libraries(${target} PUBLIC ${LAYER_LINKS} PRIVATE wdt_warnings)
  if(WDT_FUZZ)
    # Coverage feedback from the daemon's own code, not only from the targets.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()
