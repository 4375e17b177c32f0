# Linux on 32-bit x86 (i686) with Debian's cross compiler
# (g++-i686-linux-gnu). The programs run natively on an x86_64 machine with
# the 32-bit run time (libc6-i386, lib32stdc++6), through the kernel's 32-bit
# system calls; no emulator.
#
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake -DORVO_GUI=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

set(ORVO_CROSS_SYSROOT /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${ORVO_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
