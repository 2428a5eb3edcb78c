# Cross-builds for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu) and runs every test through qemu-user
# (qemu-aarch64), so that `ctest` checks the NEON code on an x86-64 machine:
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#   cmake --build build-arm -j2 && ctest --test-dir build-arm
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(PUPIL_RADIAL_QEMU NAMES qemu-aarch64 qemu-aarch64-static)
if(PUPIL_RADIAL_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${PUPIL_RADIAL_QEMU} -L /usr/aarch64-linux-gnu)
endif()
