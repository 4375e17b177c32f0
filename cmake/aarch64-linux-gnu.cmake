# Linux on 64-bit ARM (a Raspberry Pi 3/4/5 with a 64-bit system) with
# Debian's cross compiler (g++-aarch64-linux-gnu). Tests run under
# qemu-user with the cross compiler's own system root.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DORVO_GUI=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(ORVO_CROSS_SYSROOT /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${ORVO_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest (and test discovery) run the target's programs through this.
find_program(ORVO_QEMU_AARCH64 qemu-aarch64)
if(ORVO_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVO_QEMU_AARCH64} -L ${ORVO_CROSS_SYSROOT})
endif()
