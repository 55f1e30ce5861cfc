# Cross-builds for big-endian 64-bit s390x Linux, to run the suite on the other byte order.
# Debian's cross compiler brings the C and C++ runtime; zlib, JsonCpp, libsodium, libcurl and GoogleTest
# come from the :s390x packages unpacked (dpkg-deb -x) into the folder VELK_S390X_SYSROOT names,
# which is searched for them and nothing else. zlib is linked statically; the shared JsonCpp
# and libsodium are found through the programs' run path. Test programs run under qemu-user; VELK_EMULATED lets the
# heaviest tests shrink their inputs.
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/s390x.cmake
#         -DVELK_S390X_SYSROOT=/abs/path/to/unpacked/packages
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)

set(VELK_S390X_SYSROOT "" CACHE PATH
    "Folder holding the unpacked :s390x zlib, JsonCpp, libsodium and GoogleTest packages")
# try_compile projects read this file again: hand them the folder too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELK_S390X_SYSROOT)
if(NOT IS_DIRECTORY "${VELK_S390X_SYSROOT}/usr/lib/s390x-linux-gnu")
    message(FATAL_ERROR "VELK_S390X_SYSROOT must name a folder with the unpacked :s390x packages "
                        "(usr/lib/s390x-linux-gnu missing in '${VELK_S390X_SYSROOT}')")
endif()

set(CMAKE_FIND_ROOT_PATH "${VELK_S390X_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs the build and the tests run (python3, gzip, tar) are the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ZLIB_USE_STATIC_LIBS ON)

# ctest, gtest_discover_tests and custom commands that run our own programs go through this.
# The programs name the cross loader and its libraries by their real paths, so qemu needs no
# prefix (-L): with one, it would stand in for every absolute path that exists below it, "/"
# included, and a program that opens "/" would see the prefix folder instead of the root.
# The search path is an RPATH, not a RUNPATH, so it also serves what the libraries themselves
# load (libstdc++ loads libm).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-s390x)
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=/usr/s390x-linux-gnu/lib/ld64.so.1 -Wl,-rpath,/usr/s390x-linux-gnu/lib -Wl,--disable-new-dtags")

set(CMAKE_C_FLAGS_INIT "-DVELK_EMULATED")
set(CMAKE_CXX_FLAGS_INIT "-DVELK_EMULATED")
