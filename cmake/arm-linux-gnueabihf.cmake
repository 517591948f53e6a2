# 32-bit ARM (the target's word size), run under qemu-user.  Debian's ARM
# cross compiler brings its own C library under /usr/arm-linux-gnueabihf to
# link with; the libraries the build links besides it (libswresample for the
# wave mapper) come from Debian's armhf multiarch packages
# (/usr/lib/arm-linux-gnueabihf), as the 32-bit x86 build takes the i386
# ones, so the search covers the whole system under the armhf library
# directory and pkg-config sees only armhf packages.
#
# The programs run on the armhf runtime (libc6:armhf, libstdc++6:armhf), as
# the x86 build's run on the i386 one: qemu-arm with no prefix, so the
# loader, the C library and everything else are Debian's armhf packages.
# The cross compiler's own runtime (qemu-arm -L /usr/arm-linux-gnueabihf)
# cannot be used once libc6:armhf is installed: its loader then finds the
# armhf C library first, a different build, and the first thread a program
# starts crashes.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(BTWAV_TARGET_PKG_CONFIG ON)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
