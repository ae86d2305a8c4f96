# Cross-builds a static Linux program with Debian's cross compilers; the
# tests run it under qemu user-mode emulation.
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-gnu.cmake -DLINUX_ARCH=aarch64
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-gnu.cmake -DLINUX_ARCH=i686
set(LINUX_ARCH "aarch64" CACHE STRING "aarch64 or i686 (any arch with a Debian cross g++)")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${LINUX_ARCH})
set(CMAKE_C_COMPILER ${LINUX_ARCH}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${LINUX_ARCH}-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${LINUX_ARCH}-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# One file to copy to the device, whatever its C library.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
if(LINUX_ARCH MATCHES "^i.86$")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${LINUX_ARCH}-static)
endif()
