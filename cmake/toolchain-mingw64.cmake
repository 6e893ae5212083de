# Cross build of the Windows program with Debian's MinGW-w64 (posix thread model, which Qt's
# std::thread-based parts and the prebuilt Qt-for-MinGW need).
#
#   cmake -S . -B build-windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DCMAKE_PREFIX_PATH=<qt5-mingw prefix>
#
# Qt's host tools (moc, rcc) in that prefix are Linux programs and run as they are.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OSTREL_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${OSTREL_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${OSTREL_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${OSTREL_MINGW_TRIPLE}-windres REQUIRED)
find_program(CMAKE_AR NAMES ${OSTREL_MINGW_TRIPLE}-gcc-ar-posix ${OSTREL_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${OSTREL_MINGW_TRIPLE}-gcc-ranlib-posix ${OSTREL_MINGW_TRIPLE}-ranlib)
find_program(CMAKE_STRIP NAMES ${OSTREL_MINGW_TRIPLE}-strip)
find_program(CMAKE_OBJDUMP NAMES ${OSTREL_MINGW_TRIPLE}-objdump)

# Headers and libraries come from the MinGW sysroot and the Qt prefix only; programs (moc, rcc,
# python3) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${OSTREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The Qt-for-MinGW prefix is a plain folder outside the sysroot; let find_package look there as given.
list(APPEND CMAKE_FIND_ROOT_PATH "${CMAKE_PREFIX_PATH}")

# Where the runtime DLLs that the compiler's own output needs live (libstdc++, libgcc_s, winpthread).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE _ostrel_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(_ostrel_libgcc)
    get_filename_component(OSTREL_MINGW_GCC_RUNTIME_DIR "${_ostrel_libgcc}" DIRECTORY CACHE)
endif()
set(OSTREL_MINGW_SYSROOT_BIN_DIR /usr/${OSTREL_MINGW_TRIPLE}/lib CACHE PATH "Folder of libwinpthread-1.dll")
