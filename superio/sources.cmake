target_sources(wdt PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/superio_port.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fintek_vendor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ite_vendor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nuvoton_vendor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kernel_conflicts.cpp
)
