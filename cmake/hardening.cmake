# Hardened binaries, as Debian builds its packages (dpkg-buildflags with the
# "hardening=+all" feature set): the daemon runs as root with port I/O
# rights, so a memory fault in it must be hard to turn into code execution.
#
#   stack protector     -fstack-protector-strong: a canary in every function
#                       with an array or an address-taken local
#   fortify             -D_FORTIFY_SOURCE=2: checked variants of memcpy,
#                       snprintf and the like where glibc knows the size;
#                       it needs optimisation, so Debug builds go without
#   PIE                 -pie: the executable loads at a random address. The
#                       objects are already position independent: Qt 5
#                       requires -fPIC (not -fPIE) of its users and its
#                       imported targets add it
#   full RELRO          -z relro -z now: the relocations are resolved at load
#                       time and the table is made read-only
#   stack clash         -fstack-clash-protection (below)
#
# Every target that takes the warning flags (wdt_warnings: the layers, the
# daemon, the simulator, the tests, the benchmarks) takes these too, so what
# the tests and benchmarks run is the code the package ships.
# tests/packaging/check_package.sh checks the packaged binaries.
option(WDT_HARDENING "Build with stack protector, fortify, PIE and full RELRO" ON)

add_library(wdt_hardening INTERFACE)
if(WDT_HARDENING)
  target_compile_options(wdt_hardening INTERFACE -fstack-protector-strong)
  # Also probes of large stack frames page by page, so that a stack cannot
  # grow past its guard page into another mapping. Control-flow enforcement
  # (-fcf-protection) is left out: the binary is marked for it only when
  # every object linked in is, and Debian 12's C start files are not.
  include(CheckCXXCompilerFlag)
  check_cxx_compiler_flag(-fstack-clash-protection WDT_HAVE_STACK_CLASH_PROTECTION)
  if(WDT_HAVE_STACK_CLASH_PROTECTION)
    target_compile_options(wdt_hardening INTERFACE -fstack-clash-protection)
  endif()
  # A sanitizer build checks memory itself, and the sanitizers do not see
  # through glibc's checked variants: no fortify there. -U first, so that a
  # _FORTIFY_SOURCE from CXXFLAGS (dpkg-buildflags sets one) is replaced
  # rather than redefined with a warning.
  if(NOT WDT_SANITIZE)
    set(_wdt_optimised $<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>)
    target_compile_options(wdt_hardening INTERFACE
      $<${_wdt_optimised}:-U_FORTIFY_SOURCE> $<${_wdt_optimised}:-D_FORTIFY_SOURCE=2>)
  endif()
  target_link_options(wdt_hardening INTERFACE
    $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-pie> LINKER:-z,relro LINKER:-z,now)
endif()
target_link_libraries(wdt_warnings INTERFACE wdt_hardening)
