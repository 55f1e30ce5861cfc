# Cross-builds for 32-bit ARM hard-float Linux with Debian's cross compiler and the armhf
# multiarch packages (zlib1g-dev:armhf, libjsoncpp-dev:armhf, libsodium-dev:armhf, libcurl4-openssl-dev:armhf,
# libgtest-dev:armhf), which live beside the native ones under /usr: no separate root folder
# is searched.
# Test programs run under qemu-user; VELK_EMULATED lets the heaviest tests shrink their inputs.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# ctest, gtest_discover_tests and custom commands that run our own programs go through this.
# The programs load the armhf C library that the multiarch packages installed under / (with
# its own ld-linux-armhf.so.3). Not -L /usr/arm-linux-gnueabihf: that folder's loader is
# another build than the libc.so.6 the system's library cache then hands it, and the mix
# crashes every fork() child.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm -L /)

# Programs the build and the tests run (python3, gzip, tar) are the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

set(CMAKE_C_FLAGS_INIT "-DVELK_EMULATED")
set(CMAKE_CXX_FLAGS_INIT "-DVELK_EMULATED")
