# Cross-builds a static Linux program with Debian's cross compilers; the
# tests run it under qemu user-mode emulation.
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-gnu.cmake -DLINUX_ARCH=aarch64
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-gnu.cmake -DLINUX_ARCH=i686
# LINUX_ARCH may also be the build machine's own (x86_64 here): a static
# build of its own, for release archives and container images, whose tests
# are the native build's.
set(LINUX_ARCH "aarch64" CACHE STRING "aarch64, i686 or x86_64 (any arch with a Debian g++)")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${LINUX_ARCH})
set(CMAKE_C_COMPILER ${LINUX_ARCH}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${LINUX_ARCH}-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${LINUX_ARCH}-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# One file to copy to the device, whatever its C library, and position-
# independent (static-pie: glibc relocates it at start, for ASLR).
set(CMAKE_EXE_LINKER_FLAGS_INIT -static-pie)
if(LINUX_ARCH STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  # Runs here as it is; no emulator, so no tests of its own.
elseif(LINUX_ARCH MATCHES "^i.86$")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${LINUX_ARCH}-static)
endif()
