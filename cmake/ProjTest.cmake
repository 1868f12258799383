# add_proj_test(name SOURCES... [LIBS ...] [FIXTURES ...] [LABELS ...]):
# one GoogleTest executable, its cases listed with gtest_discover_tests.
function(add_proj_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;FIXTURES;LABELS;LOCKS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    PROJ_BINARY_DIR="${CMAKE_BINARY_DIR}" PROJ_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  proj_warnings(${name})
  set(props TIMEOUT 120)
  # One fixture and one lock at most: gtest_discover_tests splits lists.
  if(T_FIXTURES)
    list(APPEND props FIXTURES_REQUIRED ${T_FIXTURES})
  endif()
  if(T_LOCKS)
    list(APPEND props RESOURCE_LOCK ${T_LOCKS})
  endif()
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()
