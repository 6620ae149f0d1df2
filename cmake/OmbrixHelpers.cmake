# ombrix_add_library(NAME DEPS ...): one static library from the .cc files of the
# calling folder, tests (*_test.cc) excluded. Tests beside the code become one
# GoogleTest program per folder, ombrix_<NAME>_tests, registered with ctest.
function(ombrix_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  if(tests)
    list(REMOVE_ITEM sources ${tests})
  endif()
  if(sources)
    add_library(ombrix_${name} STATIC ${sources})
    set(scope PUBLIC)
  else()
    add_library(ombrix_${name} INTERFACE)  # header-only so far
    set(scope INTERFACE)
  endif()
  target_include_directories(ombrix_${name} ${scope} ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/src)
  target_link_libraries(ombrix_${name} ${scope} ${ARG_DEPS})
  if(OMBRIX_BUILD_TESTS AND tests)
    ombrix_add_test(${name} SOURCES ${tests} DEPS ombrix_${name} ${ARG_TEST_DEPS})
  endif()
endfunction()

# ombrix_add_test(NAME SOURCES ... DEPS ...): a GoogleTest program registered test by test.
function(ombrix_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(ombrix_${name}_tests ${ARG_SOURCES})
  target_link_libraries(ombrix_${name}_tests PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(ombrix_${name}_tests
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 600)
endfunction()

# ombrix_flatbuffers_schema(TARGET schema.fbs ...): generates <name>_generated.h beside the
# target's binary folder (include as "<folder>/<name>_generated.h") and makes TARGET depend on it.
function(ombrix_flatbuffers_schema target)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  set(out_dir ${PROJECT_BINARY_DIR}/src/${folder})
  set(headers)
  foreach(schema ${ARGN})
    get_filename_component(name ${schema} NAME_WE)
    set(header ${out_dir}/${name}_generated.h)
    add_custom_command(OUTPUT ${header}
      COMMAND ${FLATC} --cpp --scoped-enums -o ${out_dir} ${CMAKE_CURRENT_SOURCE_DIR}/${schema}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${schema}
      COMMENT "flatc ${schema}")
    list(APPEND headers ${header})
  endforeach()
  add_custom_target(${target}_schemas DEPENDS ${headers})
  add_dependencies(${target} ${target}_schemas)
endfunction()
