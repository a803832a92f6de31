# tw_subsystem(NAME <name> [DEPS <targets>...] [PROGRAM <program-name>] [PARTS <folders>...])
#
# Builds the folder's *.cpp files, and those of each PARTS subfolder, into the
# static library tw_<name>. With PROGRAM, main.cpp becomes that program and
# the rest stays the library, so tests link the same code the program runs.
# tests/*_test.cpp (of the folder and of each part) each become a GoogleTest
# executable; fuzz/*_fuzz.cpp each become a libFuzzer target when TW_FUZZ is
# on. Files are picked up by pattern so that work in one file never
# needs an edit of a shared list.
function(tw_subsystem)
  cmake_parse_arguments(TW "" "NAME;PROGRAM" "DEPS;TEST_DEPS;PARTS" ${ARGN})
  # The folder itself and its parts: each may have sources, tests/ and fuzz/.
  set(folders ${CMAKE_CURRENT_SOURCE_DIR})
  foreach(part ${TW_PARTS})
    list(APPEND folders ${CMAKE_CURRENT_SOURCE_DIR}/${part})
  endforeach()
  set(sources "")
  set(tests "")
  set(fuzzers "")
  foreach(folder ${folders})
    file(GLOB found CONFIGURE_DEPENDS ${folder}/*.cpp)
    list(APPEND sources ${found})
    file(GLOB found CONFIGURE_DEPENDS ${folder}/tests/*_test.cpp)
    list(APPEND tests ${found})
    file(GLOB found CONFIGURE_DEPENDS ${folder}/fuzz/*_fuzz.cpp)
    list(APPEND fuzzers ${found})
  endforeach()
  set(main_source ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
  if(TW_PROGRAM)
    list(REMOVE_ITEM sources ${main_source})
  endif()
  set(lib tw_${TW_NAME})
  if(sources)
    add_library(${lib} STATIC ${sources})
    target_include_directories(${lib} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${lib} PUBLIC ${TW_DEPS} Threads::Threads)
  else()
    add_library(${lib} INTERFACE)
    target_include_directories(${lib} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${lib} INTERFACE ${TW_DEPS} Threads::Threads)
  endif()
  if(TW_PROGRAM AND NOT TW_FUZZ)
    add_executable(${TW_PROGRAM} ${main_source})
    target_link_libraries(${TW_PROGRAM} PRIVATE ${lib})
  endif()

  if(TW_TESTS AND NOT TW_FUZZ)
    file(GLOB test_support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/support/*.cpp)
    foreach(test_source ${tests})
      get_filename_component(test_name ${test_source} NAME_WE)
      set(target ${TW_NAME}_${test_name})
      add_executable(${target} ${test_source} ${test_support})
      target_link_libraries(${target} PRIVATE ${lib} ${TW_TEST_DEPS} GTest::gtest GTest::gmock
                                              GTest::gtest_main)
      target_compile_definitions(${target} PRIVATE TW_BIN_DIR="${TW_BIN_DIR}"
                                                   TW_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
      set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                 ${CMAKE_BINARY_DIR}/tests)
      if(TW_PROGRAM)
        add_dependencies(${target} ${TW_PROGRAM})
      endif()
      gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                           PROPERTIES TIMEOUT 900)
    endforeach()
  endif()

  if(TW_FUZZ)
    foreach(fuzz_source ${fuzzers})
      get_filename_component(fuzz_name ${fuzz_source} NAME_WE)
      add_executable(${fuzz_name} ${fuzz_source})
      target_link_libraries(${fuzz_name} PRIVATE ${lib})
      target_link_options(${fuzz_name} PRIVATE -fsanitize=fuzzer)
      set_target_properties(${fuzz_name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                    ${CMAKE_BINARY_DIR}/fuzz)
      # A short run on every test pass: the target must not crash on what the
      # fuzzer finds in this time. Longer runs are done by hand.
      add_test(NAME fuzz.${fuzz_name}
               COMMAND ${fuzz_name} -max_total_time=30 -rss_limit_mb=2048
                       -timeout=10 -print_final_stats=1)
    endforeach()
  endif()
endfunction()
