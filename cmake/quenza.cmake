# Helpers shared by every folder's CMakeLists.txt.

function(qz_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
    -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual -Wformat=2
    -Wimplicit-fallthrough)
  if(QUENZA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# qz_library(NAME SOURCES... [DEPS target...])
# A static, position-independent library of the project's own code.
function(qz_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_DEPS})
  qz_warnings(${name})
endfunction()

# qz_test(NAME SOURCES... [DEPS target...] [LABELS label...])
# A GoogleTest executable whose tests ctest runs one by one.
function(qz_test name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  qz_warnings(${name})
  include(GoogleTest)
  if(A_LABELS)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${A_LABELS}")
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
