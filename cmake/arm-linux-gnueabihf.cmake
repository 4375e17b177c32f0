# Linux on 32-bit ARM with hardware floating point (armhf: a Raspberry Pi
# with a 32-bit system, Raspberry Pi OS and Raspbian) with Debian's cross
# compiler (g++-arm-linux-gnueabihf). Tests run under qemu-user with the
# cross compiler's own system root.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake -DORVO_GUI=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(ORVO_CROSS_SYSROOT /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH ${ORVO_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest (and test discovery) run the target's programs through this.
find_program(ORVO_QEMU_ARM qemu-arm)
if(ORVO_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVO_QEMU_ARM} -L ${ORVO_CROSS_SYSROOT})
endif()
