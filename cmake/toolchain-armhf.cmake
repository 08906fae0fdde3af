# Cross build for the controller board: 32-bit ARM Cortex-A9, hard float, NEON, Linux.
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Uses Debian's g++-arm-linux-gnueabihf. The tests and the simulated board are built for ARM too and
# run under qemu-arm with the cross toolchain's C library; no binfmt handler is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7-a)

set(BOARD_TRIPLE arm-linux-gnueabihf CACHE STRING "Target triple of the board's cross toolchain")
set(BOARD_TARGET_ROOT /usr/${BOARD_TRIPLE} CACHE PATH "The cross toolchain's target libraries (headers, libc)")

set(CMAKE_C_COMPILER ${BOARD_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${BOARD_TRIPLE}-g++)

set(CMAKE_C_FLAGS_INIT "-mcpu=cortex-a9 -mfpu=neon -mfloat-abi=hard")
set(CMAKE_CXX_FLAGS_INIT "-mcpu=cortex-a9 -mfpu=neon -mfloat-abi=hard")

# Every ARM EABI GNU C library has the symbol version GLIBC_2.4 and nothing older: what goes on the
# board needs no newer one, so that it loads on whatever C library the board's firmware carries.
set(BOARD_LIBC_BASELINE GLIBC_2.4 CACHE STRING "Newest C-library symbol version the board-side files may need")

# Libraries and headers come from the target root only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH ${BOARD_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every ARM executable that the build or the tests start goes through this: ctest, test discovery,
# and the test helper that starts the programs. -cpu keeps the emulated core honest to the board's.
find_program(BOARD_QEMU_ARM qemu-arm)
if(NOT BOARD_QEMU_ARM)
  set(BOARD_QEMU_ARM qemu-arm)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${BOARD_QEMU_ARM} -cpu cortex-a9 -L ${BOARD_TARGET_ROOT}
    CACHE STRING "Runs the board's programs on the build machine")

# The board's own root file system (a copy of at least its /lib): the programs link its libvexa.so
# instead of the stand-in, and every board-side file is held against its C library
# (libvexa/CMakeLists.txt, board_libc/CMakeLists.txt). Configuring a folder again with another root, or
# none (-DBOARD_SYSROOT=), links that root's library, or the stand-in.
set(BOARD_SYSROOT "" CACHE PATH "Root of the board's file system whose lib/libvexa.so the programs link")
