# 32-bit ARMv7 with hard float (Debian armhf). Use through scripts/cross-build.sh armhf.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(UPDATER_CROSS_TRIPLE arm-linux-gnueabihf)
set(UPDATER_QEMU_NAME qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# off_t must be 64 bits: Debian's armhf librpm is built with large-file support and takes
# off_t in its API (Fseek, Ftell), and files and downloads may exceed 2 GiB.
# time_t stays as wide as the libraries' (32 bits on Debian 12 armhf): librpm, neon and
# GnuTLS carry time_t in their interfaces (GnuTLS's certificate expiry among them), and a
# program built with a wider time_t would read their answers wrongly. Build with
# -D_TIME_BITS=64 once the target's libraries are built that way (Debian 13 armhf).
string(APPEND CMAKE_C_FLAGS_INIT " -D_FILE_OFFSET_BITS=64")
string(APPEND CMAKE_CXX_FLAGS_INIT " -D_FILE_OFFSET_BITS=64")
