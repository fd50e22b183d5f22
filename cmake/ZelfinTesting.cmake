# zelfin_add_test(NAME SOURCES... LIBS ...)
# One GoogleTest program per module; its tests run with a private lab and a large lab time scale
# so that no test depends on wall-clock luck.
function(zelfin_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set_target_properties(${name} PROPERTIES BUILD_RPATH "${ZELFIN_BIN_DIR}")
  target_link_libraries(${name} PRIVATE ${T_LIBS} zelfin_lab_headers GTest::gtest GTest::gtest_main Threads::Threads)
  # Shared test support (a private lab, temporary folders, log capture, child processes).
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  target_compile_definitions(${name} PRIVATE ZELFIN_BIN_DIR="${ZELFIN_BIN_DIR}"
                                             ZELFIN_TEST_DIR="${CMAKE_BINARY_DIR}/tests")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "ZELFIN_TIME_SCALE=1000")
endfunction()
