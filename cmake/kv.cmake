# Shared settings for the project's own targets.

# Warnings on and fatal for our own code (GoogleTest and system headers are not ours).
function(kv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# A test program under ctest: one ctest entry per program, since every Wine start costs time.
#   kv_add_test(NAME name SOURCES a.cpp ... LIBS lib ... [STACK bytes])
function(kv_add_test)
  cmake_parse_arguments(T "" "NAME;STACK" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  kv_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} kv_gtest_main)
  if(T_STACK)
    target_link_options(${T_NAME} PRIVATE -Wl,--stack,${T_STACK})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
endfunction()
