# zelfin_driver_module(TARGET NAME DIR SOURCES...)
# A kernel-mode driver module: NAME.SYS in DIR, an ELF shared object written against winsim's
# wdm.h that shows nothing but its DriverEntry, as the lab loads a driver's image
# (Hardware::loadDriver).
function(zelfin_driver_module target name dir)
  add_library(${target} SHARED ${ARGN})
  target_link_libraries(${target} PRIVATE winsim)
  target_compile_options(${target} PRIVATE -fvisibility=hidden)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME "${name}" PREFIX "" SUFFIX ".SYS"
                                             LIBRARY_OUTPUT_DIRECTORY ${dir})
endfunction()
