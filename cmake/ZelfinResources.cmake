# zelfin_add_resources(TARGET SCRIPT [INCLUDES dir...])
# Compiles a module's resource script into the resource directory the module carries. The
# compiler emits an assembler file that places the directory in the module's ".zrsrc" section,
# where winsim's resource functions find it (from the file, so that a module can be read without
# being loaded). It also writes a depfile so that editing an included header or a bitmap rebuilds.
function(zelfin_add_resources target script)
  cmake_parse_arguments(R "" "" "INCLUDES" ${ARGN})
  get_filename_component(script_abs ${script} ABSOLUTE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_rsrc.S)
  set(inc_args)
  foreach(dir ${R_INCLUDES})
    get_filename_component(dir_abs ${dir} ABSOLUTE)
    list(APPEND inc_args -I ${dir_abs})
  endforeach()
  add_custom_command(
    OUTPUT ${out}
    COMMAND zelfin-rc ${inc_args} -o ${out} --depfile ${out}.d ${script_abs}
    DEPENDS zelfin-rc ${script_abs}
    DEPFILE ${out}.d
    COMMENT "Compiling resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()

# zelfin_windows_module(TARGET FILENAME): give a shared library the file name the system looks
# for (KPLTARN.DLL, ZELFNRES.DLL, ...) instead of lib<name>.so.
function(zelfin_windows_module target filename)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX "" OUTPUT_NAME ${filename})
endfunction()
