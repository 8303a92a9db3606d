# Shared part of the ARM toolchain files: Debian's cross compiler for UPDATER_CROSS_TRIPLE,
# libraries and pkg-config files from a sysroot of Debian's ARM packages (made by
# scripts/cross-build.sh), and qemu user emulation to run what the build makes.
#
# The sysroot comes from -DUPDATER_SYSROOT=DIR or the environment variable UPDATER_SYSROOT.
set(CMAKE_SYSTEM_NAME Linux)

if(NOT UPDATER_SYSROOT AND DEFINED ENV{UPDATER_SYSROOT})
  set(UPDATER_SYSROOT "$ENV{UPDATER_SYSROOT}")
endif()
if(NOT UPDATER_SYSROOT OR NOT EXISTS "${UPDATER_SYSROOT}/usr/lib/${UPDATER_CROSS_TRIPLE}")
  message(FATAL_ERROR "UPDATER_SYSROOT must name a ${UPDATER_CROSS_TRIPLE} sysroot "
                      "(scripts/cross-build.sh makes one); got '${UPDATER_SYSROOT}'")
endif()
# try_compile projects read this file again and need the sysroot too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPDATER_SYSROOT)

set(CMAKE_C_COMPILER ${UPDATER_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${UPDATER_CROSS_TRIPLE}-g++)
set(CMAKE_SYSROOT "${UPDATER_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${UPDATER_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's pkg-config reads only the sysroot's .pc files and prefixes their paths.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${UPDATER_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${UPDATER_SYSROOT}/usr/lib/${UPDATER_CROSS_TRIPLE}/pkgconfig:${UPDATER_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Test programs (and gtest's test discovery) run under qemu with the sysroot as the
# prefix of absolute paths, so the ARM loader and libraries are found without binfmt.
find_program(UPDATER_QEMU ${UPDATER_QEMU_NAME} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${UPDATER_QEMU};-L;${UPDATER_SYSROOT}")
