# vendrax_add_gtest(NAME SOURCES ... LIBS ... [LABELS ...])
#   A GoogleTest program for engine code (no Qt), registered with CTest.
function(vendrax_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE vendrax_defaults ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  add_test(NAME ${name} COMMAND ${name})
  # Under the sanitizers, leaks that libnids and libpcap keep for the life of
  # the process are theirs; our own code is still checked.
  set_tests_properties(${name} PROPERTIES LABELS "engine;${ARG_LABELS}" TIMEOUT 300
    ENVIRONMENT "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/nids/lsan.supp")
endfunction()

# vendrax_add_qtest(NAME [EXTERNAL_PROGRAMS] SOURCES ... LIBS ... [LABELS ...])
#   A QtTest program for application code, run offscreen. EXTERNAL_PROGRAMS:
#   it runs the probe and converter launchers of the build tree, whose folder
#   it gets as VENDRAX_EXTERNAL_PROGRAMS_DIR.
function(vendrax_add_qtest name)
  cmake_parse_arguments(ARG "EXTERNAL_PROGRAMS" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  # Helpers of other test folders are included as "tests/<folder>/...".
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE vendrax_defaults ${ARG_LIBS} Qt6::Test)
  if(ARG_EXTERNAL_PROGRAMS)
    target_compile_definitions(${name} PRIVATE
      VENDRAX_EXTERNAL_PROGRAMS_DIR="${VENDRAX_EXTERNAL_PROGRAMS_DIR}")
    add_dependencies(${name} vendrax_external_programs)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "qt;${ARG_LABELS}" TIMEOUT 300
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
