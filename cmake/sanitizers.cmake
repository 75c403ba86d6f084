# Sanitizer builds of the whole tree, tests included:
#   cmake -S . -B build-asan -DWDT_SANITIZE=address,undefined
# Any finding aborts the program, so a test that trips a sanitizer fails
# instead of printing a report and passing.
set(WDT_SANITIZE "" CACHE STRING
    "Sanitizers for the whole tree, comma-separated as -fsanitize= takes them (address,undefined); empty for none")

if(WDT_SANITIZE)
  add_compile_options(-fsanitize=${WDT_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${WDT_SANITIZE})
endif()
