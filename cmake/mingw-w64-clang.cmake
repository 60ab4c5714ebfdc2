# Cross build for 64-bit Windows with clang, against the same MinGW-w64 headers, import libraries
# and GNU C++ library as the g++ build (cmake/mingw-w64.cmake); widl and windres stay MinGW's.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-target.cmake)
set(CMAKE_C_COMPILER   clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET   ${KV_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${KV_MINGW_PREFIX})

# clang does not find Debian's "12-posix" g++ folder by itself, so the folder of the GNU C++ library
# (headers and archives) is named here. -pthread links winpthread, which that library needs.
set(KV_MINGW_GCC_DIR /usr/lib/gcc/${KV_MINGW_PREFIX}/12-posix CACHE PATH "MinGW g++ folder with libstdc++")
if(NOT EXISTS ${KV_MINGW_GCC_DIR}/include/c++/string)
  message(FATAL_ERROR "libstdc++ for MinGW not found in ${KV_MINGW_GCC_DIR} (apt-get install g++-mingw-w64-x86-64-posix)")
endif()
# g++ for MinGW predefines the two type_info macros as 0, and libstdc++ was built so: without
# them clang would inline type_info::operator==, which libstdc++.a also defines (a link error).
set(CMAKE_CXX_FLAGS_INIT
  "-isystem ${KV_MINGW_GCC_DIR}/include/c++ -isystem ${KV_MINGW_GCC_DIR}/include/c++/${KV_MINGW_PREFIX} \
-D__GXX_MERGED_TYPEINFO_NAMES=0 -D__GXX_TYPEINFO_EQUALITY_INLINE=0")

# The runtime is linked in, as in the g++ build, so the programs run on a bare Windows. lld links
# faster than MinGW's ld and, unlike it, does not warn about every type name that g++ padded
# to 16 bytes in libstdc++ and clang did not ("duplicate section has different size").
set(kv_link_flags "-fuse-ld=lld -static -pthread -L${KV_MINGW_GCC_DIR}")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${kv_link_flags})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${kv_link_flags})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${kv_link_flags})
