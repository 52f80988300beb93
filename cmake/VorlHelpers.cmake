include(GoogleTest)

# vorl_add_gtest(<name> [QT_MAIN] LABELS <label>... SOURCES <file>... LIBS <target>... [TIMEOUT <s>])
# One gtest binary per folder; every test in it gets the labels (unit, pty, gui,
# interop, slow) and runs on the offscreen Qt platform. QT_MAIN gives the binary a
# main() that creates a QApplication first (widget tests); otherwise gtest's main.
function(vorl_add_gtest name)
  cmake_parse_arguments(T "QT_MAIN" "TIMEOUT" "LABELS;SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(T_QT_MAIN)
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/qt_test_main.cpp)
    target_link_libraries(${name} PRIVATE Qt6::Widgets Qt6::Test)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  target_compile_definitions(${name} PRIVATE VORL_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                             VORL_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT ${T_TIMEOUT}
               ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  # The labels go on after discovery, from the list of discovered tests: given
  # with the properties above, the list would be flattened on its way, and a
  # second label read as a property name (losing the labels after the first,
  # the time-out and the environment).
  set(labels_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
  file(WRITE "${labels_file}"
       "foreach(test IN LISTS ${name}_TESTS)\n"
       "  set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${T_LABELS}\")\n"
       "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_file}")
endfunction()

# vorl_add_fuzz(<name> SOURCES <file>... LIBS <target>...)
# The source defines LLVMFuzzerTestOneInput. With VORL_FUZZ (clang) it becomes a
# libFuzzer binary; otherwise a plain driver runs it over fuzz/corpus/<name>/ as a
# regression test, so every target is built and exercised by the normal test run.
function(vorl_add_fuzz name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(fuzz_${name} ${F_SOURCES})
  target_link_libraries(fuzz_${name} PRIVATE ${F_LIBS})
  if(VORL_FUZZ)
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(fuzz_${name} PRIVATE ${CMAKE_SOURCE_DIR}/fuzz/standalone_main.cpp)
    add_test(NAME fuzz_${name}_corpus
             COMMAND fuzz_${name} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
    set_tests_properties(fuzz_${name}_corpus PROPERTIES LABELS unit TIMEOUT 120)
  endif()
endfunction()
