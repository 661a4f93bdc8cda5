# Cross build for 64-bit ARM Linux (Debian arm64) with Debian's cross
# compiler; libraries come from the arm64 multiarch packages.
# scripts/cross-test.sh installs what it needs.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUORVANE_CROSS_TRIPLET aarch64-linux-gnu)
set(QUORVANE_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
