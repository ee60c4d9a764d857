# kvzn_library(NAME DIR folder DEPS ...): one static library per source folder of src/.
# Every .cpp in the folder (and in FOLDERS given besides) belongs to it, so adding a file
# needs no edit here.
function(kvzn_library name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS;FOLDERS" ${ARGN})
  set(_srcs)
  foreach(_dir ${ARG_DIR} ${ARG_FOLDERS})
    file(GLOB _found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${_dir}/*.cpp)
    list(APPEND _srcs ${_found})
  endforeach()
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE kvzn_warnings)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# kvzn_gtest(NAME LABEL DIR DEPS ...): one test program from every .cpp below a test
# folder, its cases registered with CTest under the label.
function(kvzn_gtest name label dir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT _srcs)
    return()
  endif()
  add_executable(${name} ${_srcs})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kvzn_testsupport GTest::gtest GTest::gmock
                        kvzn_warnings)
  gtest_discover_tests(${name} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 60
                       DISCOVERY_MODE PRE_TEST)
endfunction()
