# 32-bit ARMv7 with hard float (Debian armhf). Use through scripts/cross-build.sh armhf.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(UPDATER_CROSS_TRIPLE arm-linux-gnueabihf)
set(UPDATER_QEMU_NAME qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# off_t must be 64 bits: Debian's armhf librpm is built with large-file support and takes
# off_t in its API (Fseek, Ftell), and files and downloads may exceed 2 GiB.
# time_t is 64 bits too, so times after 2038 work in the program's own code: glibc 2.36
# supports it, and the program calls no function of the libraries below (built for a
# 32-bit time_t) whose interface carries a time_t or struct stat; scripts/cross-build.sh
# checks the binary for such calls.
string(APPEND CMAKE_C_FLAGS_INIT " -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
string(APPEND CMAKE_CXX_FLAGS_INIT " -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
