# Cross build for the board's 32-bit ARM Linux (Debian armhf, hard-float
# ARMv7) with Debian's cross compiler; libraries come from the armhf multiarch
# packages. scripts/cross-test.sh installs what it needs.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUORVANE_CROSS_TRIPLET arm-linux-gnueabihf)
set(QUORVANE_CROSS_QEMU qemu-arm)
# GCC notes on every std::sort and the like that argument passing changed in
# GCC 7.1; everything on the board is built by one compiler, so it is noise.
set(QUORVANE_CROSS_CXX_FLAGS -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
