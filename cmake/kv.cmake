# Shared settings for the project's own targets.

# Warnings on and fatal for our own code (GoogleTest and system headers are not ours).
function(kv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# The include root a library hands its users: a folder in the build tree that holds only a link
# to the library's own source folder, so that a user of kv_types finds "types/kv_string.h" and
# nobody finds "proxy/..." without linking kv_proxy. docs/architecture.md has the finer rules,
# which tools/check-includes.sh enforces. Where links cannot be made (Windows without the right
# to make them), the folder is copied at configure time and must be configured again after a
# header changes.
#   kv_export_folder(target folder)
set(KV_INCLUDE_VIEWS ${CMAKE_BINARY_DIR}/include-views)
function(kv_export_folder target folder)
  set(view ${KV_INCLUDE_VIEWS}/${folder})
  if(NOT EXISTS ${view}/${folder})
    file(MAKE_DIRECTORY ${view})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC COPY_ON_ERROR)
  endif()
  target_include_directories(${target} PUBLIC ${view})
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
  # Tests may reach anything of the tree (tests/support/ included).
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR})
  kv_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS})
  if(T_STACK)
    target_link_options(${T_NAME} PRIVATE -Wl,--stack,${T_STACK})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
endfunction()

# The version resource (VS_VERSION_INFO) of a shipped binary, from the project version:
#   kv_version_resource(target DESCRIPTION "what the file is")
# Configures cmake/version.rc.in into <target>_version.rc in the target's build folder and adds
# it to the target's sources (a target may have other .rc files: windres compiles each to an
# object and the linker merges their resources). The file name in it is the target's real one.
function(kv_version_resource target)
  cmake_parse_arguments(V "" "DESCRIPTION" "" ${ARGN})
  if(NOT V_DESCRIPTION)
    message(FATAL_ERROR "kv_version_resource(${target}): DESCRIPTION is required")
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(KV_FILE_TYPE VFT_APP)
  elseif(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
    set(KV_FILE_TYPE VFT_DLL)
  else()
    message(FATAL_ERROR "kv_version_resource(${target}): not a program or DLL (${type})")
  endif()
  # Resource strings double their quotes.
  string(REPLACE "\"" "\"\"" KV_DESCRIPTION "${V_DESCRIPTION}")
  # The copyright line of LICENSE, as it stands there.
  file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE KV_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
  if(NOT KV_COPYRIGHT)
    message(FATAL_ERROR "kv_version_resource: no \"Copyright ...\" line in LICENSE")
  endif()
  string(REPLACE "\"" "\"\"" KV_COPYRIGHT "${KV_COPYRIGHT}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
  set(KV_FILE_NAME "$<TARGET_FILE_NAME:${target}>")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc}.in @ONLY)
  file(GENERATE OUTPUT ${rc} INPUT ${rc}.in)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# Signs a shipped binary right after it is linked (tools/sign.sh, POST_BUILD): with the PFX in
# DODADEV_SIGN_PFX when that is set in the build's environment, not at all when it is not.
#   kv_sign_after_build(target)
# Every build first records that choice and the PFX's hash in ${CMAKE_BINARY_DIR}/signing-state
# (cmake/sign-state.cmake, rewritten only on a change); the binary is linked after it, so that
# turning signing on or off or changing the certificate links, and so signs, it again.
function(kv_sign_after_build target)
  set(state ${CMAKE_BINARY_DIR}/signing-state)
  if(NOT TARGET kv_signing_state)
    add_custom_target(kv_signing_state
      COMMAND ${CMAKE_COMMAND} -DOUTPUT=${state} -P ${CMAKE_SOURCE_DIR}/cmake/sign-state.cmake
      BYPRODUCTS ${state}
      COMMENT "Recording whether the build signs (DODADEV_SIGN_PFX)"
      VERBATIM)
  endif()
  add_dependencies(${target} kv_signing_state)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${state})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_SOURCE_DIR}/tools/sign.sh $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
