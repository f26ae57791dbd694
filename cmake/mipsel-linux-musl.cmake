# Static build for 32-bit little-endian MIPS routers on musl (MIPS32r2, soft float), with the Zig
# toolchain's clang, lld, libc++ and musl. KIV_MUSL_TOOLS names the folder of the wrapper scripts
# scripts/musl-build.sh makes (mipsel-musl-cc, -c++, -ar, -ranlib); KIV_MUSL_PREFIX the folder
# holding the static json-c, OpenSSL and libcurl built for this target.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

foreach(var KIV_MUSL_TOOLS KIV_MUSL_PREFIX)
  if(NOT ${var} AND DEFINED ENV{${var}})
    set(${var} "$ENV{${var}}" CACHE PATH "${var}" FORCE)
  endif()
  if(NOT ${var})
    message(FATAL_ERROR "set ${var} (scripts/musl-build.sh makes it)")
  endif()
endforeach()
# try_compile projects see this file again: hand both folders on through the environment.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIV_MUSL_TOOLS KIV_MUSL_PREFIX)
set(ENV{KIV_MUSL_TOOLS} "${KIV_MUSL_TOOLS}")
set(ENV{KIV_MUSL_PREFIX} "${KIV_MUSL_PREFIX}")

set(CMAKE_C_COMPILER "${KIV_MUSL_TOOLS}/mipsel-musl-cc")
set(CMAKE_CXX_COMPILER "${KIV_MUSL_TOOLS}/mipsel-musl-c++")
# The archiver and index tool for ordinary and for link-time-optimised objects alike: without
# the _COMPILER_ ones CMake finds no way to archive LLVM bitcode and link-time optimisation is off.
foreach(lang C CXX)
  set(CMAKE_${lang}_COMPILER_AR "${KIV_MUSL_TOOLS}/mipsel-musl-ar")
  set(CMAKE_${lang}_COMPILER_RANLIB "${KIV_MUSL_TOOLS}/mipsel-musl-ranlib")
endforeach()
set(CMAKE_AR "${KIV_MUSL_TOOLS}/mipsel-musl-ar" CACHE FILEPATH "archiver")
set(CMAKE_RANLIB "${KIV_MUSL_TOOLS}/mipsel-musl-ranlib" CACHE FILEPATH "index tool")

set(CMAKE_FIND_ROOT_PATH "${KIV_MUSL_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config names the libraries by their absolute folder, which a find root would re-root.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program is linked static: pkg-config names each library's own dependencies too
# (libcurl's OpenSSL).
set(ENV{PKG_CONFIG_LIBDIR} "${KIV_MUSL_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_ARGN --static)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Test programs (and gtest discovery) run under user-mode emulation; static, they need no
# library root.
find_program(KIV_QEMU_MIPSEL qemu-mipsel)
if(KIV_QEMU_MIPSEL)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KIV_QEMU_MIPSEL}")
endif()
