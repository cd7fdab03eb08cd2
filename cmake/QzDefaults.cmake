# Warnings on our own code only; third-party headers come in as SYSTEM. They
# are errors with QZ_WERROR (tools/run-tests.sh and CI), where we know the
# compiler; a distribution that builds with a newer one sees them as warnings.
function(qz_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic $<$<BOOL:${QZ_WERROR}>:-Werror>)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
endfunction()

# A test binary registered with ctest. Tests that need what the machine lacks
# exit 77 and show up as skipped, never as passed.
function(qz_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  qz_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 LABELS "${ARG_LABELS}")
endfunction()

# A test that cannot be built here, because a library it needs is missing
# (libei before Debian 13): registered all the same, so that ctest shows it
# as skipped and says why, rather than leaving it out unseen.
function(qz_test_skipped name why)
  cmake_parse_arguments(ARG "" "" "LABELS" ${ARGN})
  add_test(NAME ${name} COMMAND sh -c "echo \"SKIPPED: $1\"; exit 77" sh "${why}")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 LABELS "${ARG_LABELS}")
endfunction()
