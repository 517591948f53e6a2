# 32-bit x86 (the device's data model, ILP32), run natively: Debian's i686
# cross compiler brings its own C library and leaves the ARM one installed.
# The programs run on an x86_64 kernel with the i386 runtime libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
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
