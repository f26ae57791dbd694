# Cross build for 32-bit little-endian MIPS routers with Debian's mipsel-linux-gnu toolchain.
# KIV_SYSROOT names a folder holding Debian bookworm's mipsel libraries (scripts/cross-build.sh
# makes one); tests run under qemu-mipsel with that folder as its library root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(KIV_SYSROOT "" CACHE PATH "mipsel sysroot with the target's libraries")
if(NOT KIV_SYSROOT)
  if(DEFINED ENV{KIV_SYSROOT})
    set(KIV_SYSROOT "$ENV{KIV_SYSROOT}" CACHE PATH "mipsel sysroot" FORCE)
  else()
    message(FATAL_ERROR "set KIV_SYSROOT to the mipsel sysroot (scripts/cross-build.sh makes one)")
  endif()
endif()
# try_compile projects see the toolchain file again: hand the sysroot on to them (the variable
# reaches source checks, the environment whole test projects such as the LTO check's).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIV_SYSROOT)
set(ENV{KIV_SYSROOT} "${KIV_SYSROOT}")

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_SYSROOT "${KIV_SYSROOT}")
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_FIND_ROOT_PATH "${KIV_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the target's .pc files and prefixes their paths with the sysroot.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KIV_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${KIV_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${KIV_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Test programs (and gtest discovery) run under user-mode emulation.
find_program(KIV_QEMU_MIPSEL qemu-mipsel)
if(KIV_QEMU_MIPSEL)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KIV_QEMU_MIPSEL};-L;${KIV_SYSROOT}")
endif()
