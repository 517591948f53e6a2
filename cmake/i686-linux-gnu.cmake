# 32-bit x86 (the device's data model, ILP32): Debian's i686 cross compiler
# brings its own C library and leaves the ARM one installed.  The programs
# use the i386 runtime libraries and run through i386-run beside this file:
# natively where the kernel runs i386 programs, under qemu-i386 where it
# cannot.  The SDK installs both files side by side, so this line holds
# there too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/i386-run)
# Libraries of the i386 architecture come from Debian's multiarch packages
# (/usr/lib/i386-linux-gnu), so the search covers the whole system, under the
# i386 library directory; pkg-config sees only i386 packages.
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu /)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(BTWAV_TARGET_PKG_CONFIG ON)
