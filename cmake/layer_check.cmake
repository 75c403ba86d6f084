# The layer rule, checked: a lower layer that includes a header of a layer it
# does not link fails to compile. For each such pair a probe object (built
# only by the test) includes one header of the forbidden folder with the
# include paths of the lower layer; the test builds every probe and expects
# each to fail on exactly that include, after a control probe of the layer's
# own header compiled. It also rejects a relative "../core/" include, which
# include paths cannot stop.

set(_wdt_probe_dir ${PROJECT_BINARY_DIR}/layer-probes)
set(_wdt_probe_header_core core/daemon.h)
set(_wdt_probe_header_strategy strategy/vendor_strategy.h)
set(_wdt_probe_header_superio superio/superio_port.h)
set(_wdt_probe_header_serialctl serialctl/tarvelo_vendor.h)
set(_wdt_probe_header_monitor monitor/sensors.h)
set(_wdt_probe_header_sim sim/fake_platform.h)

# Layer, then the folders it must not see.
set(_wdt_forbidden_strategy superio serialctl monitor core sim)
set(_wdt_forbidden_superio serialctl monitor core sim)
set(_wdt_forbidden_serialctl superio monitor core sim)
set(_wdt_forbidden_monitor superio core sim)

set(_wdt_probe_pairs "")
foreach(layer strategy superio serialctl monitor)
  set(allowed ${_wdt_probe_dir}/${layer}_own.cpp)
  file(WRITE ${allowed} "#include \"${_wdt_probe_header_${layer}}\"\n")
  add_library(wdt_probe_${layer}_own OBJECT EXCLUDE_FROM_ALL ${allowed})
  target_link_libraries(wdt_probe_${layer}_own PRIVATE wdt_${layer})
  foreach(forbidden IN LISTS _wdt_forbidden_${layer})
    set(source ${_wdt_probe_dir}/${layer}_includes_${forbidden}.cpp)
    file(WRITE ${source} "#include \"${_wdt_probe_header_${forbidden}}\"\n")
    add_library(wdt_probe_${layer}_${forbidden} OBJECT EXCLUDE_FROM_ALL ${source})
    target_link_libraries(wdt_probe_${layer}_${forbidden} PRIVATE wdt_${layer})
    list(APPEND _wdt_probe_pairs "${layer}:${forbidden}:${_wdt_probe_header_${forbidden}}")
  endforeach()
endforeach()

string(REPLACE ";" "," _wdt_probe_pairs "${_wdt_probe_pairs}")
add_test(NAME layers.lower_layers_cannot_include_higher_ones
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DPAIRS=${_wdt_probe_pairs} -P ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake)
# The probes are built by this build directory's own build tool, which must
# not run twice at once.
set_tests_properties(layers.lower_layers_cannot_include_higher_ones PROPERTIES
  LABELS layers RESOURCE_LOCK wdt_build_install TIMEOUT 300)
