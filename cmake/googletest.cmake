# GoogleTest from Debian's googletest source package, compiled with the MinGW compiler.
set(KV_GOOGLETEST_DIR /usr/src/googletest/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${KV_GOOGLETEST_DIR}/src/gtest-all.cc)
  message(FATAL_ERROR "GoogleTest sources not found in ${KV_GOOGLETEST_DIR} (apt-get install googletest)")
endif()

add_library(kv_gtest STATIC ${KV_GOOGLETEST_DIR}/src/gtest-all.cc)
target_include_directories(kv_gtest SYSTEM PUBLIC ${KV_GOOGLETEST_DIR}/include PRIVATE ${KV_GOOGLETEST_DIR})

add_library(kv_gtest_main STATIC ${KV_GOOGLETEST_DIR}/src/gtest_main.cc)
target_link_libraries(kv_gtest_main PUBLIC kv_gtest)
