# Cross compilation for 64-bit Windows with clang, a second compiler for the
# same exe (preset windows-clang). Headers, C runtime and import libraries are
# Debian's MinGW-w64 ones, the C++ library is the libstdc++ of Debian's
# MinGW-w64 g++ (posix threads), and lld links.
#
# Debian 12's clang 14 finds the MinGW-w64 headers and libraries but not that
# libstdc++: it cannot read the version of its folder (12-posix), so the
# folder is named here, as the MinGW-w64 g++ reports it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VQ4_MINGW_TRIPLE x86_64-w64-mingw32)
set(VQ4_MINGW_ROOT /usr/${VQ4_MINGW_TRIPLE})

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${VQ4_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${VQ4_MINGW_TRIPLE})
set(CMAKE_SYSROOT ${VQ4_MINGW_ROOT})
set(CMAKE_RC_COMPILER ${VQ4_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VQ4_MINGW_TRIPLE}-ar CACHE FILEPATH "Archiver for the MinGW-w64 target")
set(CMAKE_RANLIB ${VQ4_MINGW_TRIPLE}-ranlib CACHE FILEPATH "Ranlib for the MinGW-w64 target")

find_program(VQ4_MINGW_GXX ${VQ4_MINGW_TRIPLE}-g++-posix REQUIRED)
execute_process(COMMAND ${VQ4_MINGW_GXX} -print-libgcc-file-name
                OUTPUT_VARIABLE VQ4_MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE VQ4_MINGW_LIBGCC_RESULT)
if(NOT VQ4_MINGW_LIBGCC_RESULT EQUAL 0 OR NOT EXISTS "${VQ4_MINGW_LIBGCC}")
    message(FATAL_ERROR "${VQ4_MINGW_GXX} -print-libgcc-file-name gave no libgcc (${VQ4_MINGW_LIBGCC})")
endif()
get_filename_component(VQ4_MINGW_GCC_DIR "${VQ4_MINGW_LIBGCC}" DIRECTORY)
set(VQ4_LIBSTDCXX_INCLUDE ${VQ4_MINGW_GCC_DIR}/include/c++)

set(CMAKE_CXX_FLAGS_INIT
    "-stdlib++-isystem ${VQ4_LIBSTDCXX_INCLUDE} -stdlib++-isystem ${VQ4_LIBSTDCXX_INCLUDE}/${VQ4_MINGW_TRIPLE} -stdlib++-isystem ${VQ4_LIBSTDCXX_INCLUDE}/backward")
# libstdc++ and libgcc of the posix-threads build call winpthreads; lld
# resolves archives in any order, so the library can come first.
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -L${VQ4_MINGW_GCC_DIR} -lpthread")
endforeach()

set(CMAKE_FIND_ROOT_PATH ${VQ4_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
