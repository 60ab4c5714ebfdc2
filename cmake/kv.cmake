# Shared settings for the project's own targets.

# Warnings on and fatal for our own code (GoogleTest and system headers are not ours).
function(kv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# A test program under ctest: one ctest entry per program, since every Wine start costs time.
#   kv_add_test(NAME name SOURCES a.cpp ... LIBS lib ... [STACK bytes] [CHILD_PROCESSES])
# CHILD_PROCESSES: the program starts second processes of itself (tests/support/self_process.h)
# and gets the main that runs their roles.
function(kv_add_test)
  cmake_parse_arguments(T "CHILD_PROCESSES" "NAME;STACK" "SOURCES;LIBS" ${ARGN})
  if(T_CHILD_PROCESSES)
    add_executable(${T_NAME} ${T_SOURCES} ${CMAKE_SOURCE_DIR}/tests/support/child_main.cpp)
    target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${T_NAME} PRIVATE kv_gtest shell32)
  else()
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE kv_gtest_main)
  endif()
  kv_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS})
  if(T_STACK)
    target_link_options(${T_NAME} PRIVATE -Wl,--stack,${T_STACK})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
endfunction()
