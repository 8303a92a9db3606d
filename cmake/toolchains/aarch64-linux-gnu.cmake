# 64-bit ARM (Debian arm64). Use through scripts/cross-build.sh arm64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(UPDATER_CROSS_TRIPLE aarch64-linux-gnu)
set(UPDATER_QEMU_NAME qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
