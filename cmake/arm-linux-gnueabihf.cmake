# Cross build for 32-bit ARM boards (Debian armhf) with Debian's cross compiler and the
# armhf development packages installed side by side (multiarch).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# The notes on argument passing changed in GCC 7.1 concern objects built with older
# compilers; nothing on a Debian 12 board is.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Multiarch: headers in /usr/include, libraries in /usr/lib/arm-linux-gnueabihf.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Unit tests run under user-mode emulation.
# The multiarch loader and C library belong together; the cross toolchain has its own
# loader of another build, which crashes threaded programs when mixed with them.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/)
