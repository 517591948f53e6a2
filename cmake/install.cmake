# The SDK: `cmake --install` puts the host, the Bluetooth stand-in, the start
# library and the driver in <prefix>/lib, the headers in
# <prefix>/include/cehost (the platform's, the host's, the stand-in's and the
# two of the driver's that the layout shares), a CMake package
# (find_package(cehost): targets cehost::cehost, cehost::btstandin,
# cehost::app) and a pkg-config file (cehost.pc, for an application: the
# start library and what it needs).
# Each build installs into a prefix of its own: the 32-bit x86 and ARM builds
# are SDKs with the device's data model, the x86_64 ones with 64-bit
# pointers.  The package's version file refuses a consumer whose pointer size
# differs; a cross build also installs its toolchain file as
# lib/cmake/cehost/toolchain.cmake, and cehost.pc names its compilers (the
# variables cc and cxx) and, where its programs need one, the emulator.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CEHOST_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/cehost)
set_target_properties(cehost btstandin cehostapp btwav PROPERTIES INSTALL_RPATH "$ORIGIN")

# An application's wchar_t is the platform's: 16-bit, so that L"..." and
# TEXT("...") are WCHAR strings.  Its calls to the C library's wide-string
# routines reach the host's 16-bit ones (--wrap), while the host and the C
# library keep their own 32-bit wchar_t.  The ARM linker would warn that the
# objects' wchar_t sizes differ, which is intended here.
set(CEHOST_APP_CFLAGS -fshort-wchar)
set(CEHOST_WIDE_ROUTINES wcslen wcscpy wcsncmp wcscat wcsncpy wcscmp wcschr wcsrchr)
set(CEHOST_APP_LDFLAGS)
foreach(fn ${CEHOST_WIDE_ROUTINES})
  list(APPEND CEHOST_APP_LDFLAGS -Wl,--wrap=${fn})
endforeach()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  list(APPEND CEHOST_APP_LDFLAGS -Wl,--no-wchar-size-warning)
endif()
target_compile_options(cehost INTERFACE $<INSTALL_INTERFACE:${CEHOST_APP_CFLAGS}>)

# What the device's compiler and a build for the platform define, so that
# device code under "#if defined _WIN32" or "#ifdef UNDER_CE" compiles as on
# the device: _WIN32 (the compiler's, always), _WIN32_WCE and UNDER_CE with
# the platform's version (5.0), and the processor's own (ARM and _ARM_ in
# the ARM SDK, _X86_ and x86 in the x86 one; the 64-bit SDK has none, as no
# device is 64-bit).  Applications only: the host, the driver and the tests
# are built without them.  A program that must not have them (C++ code with
# <filesystem>, or a library that takes _WIN32 for the desktop's API) leaves
# them out: in CMake with the target property CEHOST_NO_PLATFORM_MACROS ON,
# with pkg-config with --define-variable=platform_macros= .
set(CEHOST_PLATFORM_MACROS _WIN32 _WIN32_WCE=0x500 UNDER_CE=0x500)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  list(APPEND CEHOST_PLATFORM_MACROS ARM _ARM_)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86)")
  list(APPEND CEHOST_PLATFORM_MACROS _X86_ x86)
endif()
set(CEHOST_PC_MACROS)
foreach(m ${CEHOST_PLATFORM_MACROS})
  target_compile_definitions(cehost INTERFACE
    "$<INSTALL_INTERFACE:$<$<NOT:$<BOOL:$<TARGET_PROPERTY:CEHOST_NO_PLATFORM_MACROS>>>:${m}>>")
  string(APPEND CEHOST_PC_MACROS " -D${m}")
endforeach()
string(STRIP "${CEHOST_PC_MACROS}" CEHOST_PC_MACROS)
target_link_options(cehost INTERFACE "$<INSTALL_INTERFACE:${CEHOST_APP_LDFLAGS}>")
string(REPLACE ";" " " CEHOST_PC_CFLAGS "${CEHOST_APP_CFLAGS}")
string(REPLACE ";" " " CEHOST_PC_LDFLAGS "${CEHOST_APP_LDFLAGS}")

# A program linked with a sanitizer build of the host needs the sanitizer too.
set(CEHOST_SANITIZER_FLAG "")
if(BTWAV_ASAN)
  set(CEHOST_SANITIZER_FLAG -fsanitize=address,undefined)
  # clang links the C++ half of its UBSan runtime, which the host's checks
  # need, only into C++ programs; a C program asks for it and its library.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    list(APPEND CEHOST_SANITIZER_FLAG -fsanitize-link-c++-runtime -lstdc++)
  endif()
elseif(BTWAV_TSAN)
  set(CEHOST_SANITIZER_FLAG -fsanitize=thread)
endif()
if(CEHOST_SANITIZER_FLAG)
  target_link_options(cehost INTERFACE $<INSTALL_INTERFACE:${CEHOST_SANITIZER_FLAG}>)
endif()

install(TARGETS cehost btstandin cehostapp EXPORT cehostTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION include/cehost)
install(TARGETS btwav LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY platform/ DESTINATION include/cehost/platform FILES_MATCHING PATTERN "*.h")
install(DIRECTORY host/include/host/ DESTINATION include/cehost/host FILES_MATCHING PATTERN "*.h")
install(DIRECTORY btstandin/include/btstandin/ DESTINATION include/cehost/btstandin FILES_MATCHING PATTERN "*.h")
foreach(h ${DRIVER_SHARED_HEADERS})
  get_filename_component(dir ${h} DIRECTORY)
  install(FILES ${h} DESTINATION include/cehost/${dir})
endforeach()
install(EXPORT cehostTargets NAMESPACE cehost:: DESTINATION ${CEHOST_CMAKE_DIR})
if(CMAKE_TOOLCHAIN_FILE)
  install(FILES ${CMAKE_TOOLCHAIN_FILE} DESTINATION ${CEHOST_CMAKE_DIR} RENAME toolchain.cmake)
endif()
# An emulator that is a script of the toolchain's (the x86 build's i386-run,
# which chooses between the kernel and qemu-i386 at each run) is installed
# beside the toolchain file, which names it by its own folder; cehost.pc
# names the installed copy.
set(CEHOST_PC_EMULATOR_LIST ${CMAKE_CROSSCOMPILING_EMULATOR})
list(LENGTH CEHOST_PC_EMULATOR_LIST emulator_words)
if(emulator_words EQUAL 1 AND IS_ABSOLUTE "${CMAKE_CROSSCOMPILING_EMULATOR}"
   AND EXISTS "${CMAKE_CROSSCOMPILING_EMULATOR}")
  install(PROGRAMS ${CMAKE_CROSSCOMPILING_EMULATOR} DESTINATION ${CEHOST_CMAKE_DIR})
  get_filename_component(emulator_name ${CMAKE_CROSSCOMPILING_EMULATOR} NAME)
  set(CEHOST_PC_EMULATOR_LIST "\${libdir}/cmake/cehost/${emulator_name}")
endif()

file(WRITE ${CMAKE_BINARY_DIR}/sdk/cehostConfig.cmake.in [=[
@PACKAGE_INIT@
include("${CMAKE_CURRENT_LIST_DIR}/cehostTargets.cmake")
add_library(cehost::app ALIAS cehost::cehostapp)
# The driver library the start library loads (btwav.dll).
set(CEHOST_DRIVER "${PACKAGE_PREFIX_DIR}/@CMAKE_INSTALL_LIBDIR@/libbtwav.so")
]=])
configure_package_config_file(${CMAKE_BINARY_DIR}/sdk/cehostConfig.cmake.in ${CMAKE_BINARY_DIR}/sdk/cehostConfig.cmake
                              INSTALL_DESTINATION ${CEHOST_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/sdk/cehostConfigVersion.cmake VERSION 1.0
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/sdk/cehostConfig.cmake ${CMAKE_BINARY_DIR}/sdk/cehostConfigVersion.cmake
        DESTINATION ${CEHOST_CMAKE_DIR})

string(REPLACE ";" " " CEHOST_PC_SANITIZER "${CEHOST_SANITIZER_FLAG}")
string(REPLACE ";" " " CEHOST_PC_EMULATOR "${CEHOST_PC_EMULATOR_LIST}")
file(WRITE ${CMAKE_BINARY_DIR}/sdk/cehost.pc.in [=[
prefix=${pcfiledir}/../..
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/include/cehost
cc=@CMAKE_C_COMPILER@
cxx=@CMAKE_CXX_COMPILER@
emulator=@CEHOST_PC_EMULATOR@
platform_macros=@CEHOST_PC_MACROS@

Name: cehost
Description: The device platform on a desktop, with the btwav driver, for an application's own audio code
Version: 1.0
Cflags: -I${includedir} -idirafter ${includedir}/platform @CEHOST_PC_CFLAGS@ ${platform_macros}
Libs: -L${libdir} -Wl,--no-as-needed -lcehostapp -lbtstandin -lcehost -Wl,-rpath,${libdir} -ldl -lpthread @CEHOST_PC_LDFLAGS@ @CEHOST_PC_SANITIZER@
]=])
configure_file(${CMAKE_BINARY_DIR}/sdk/cehost.pc.in ${CMAKE_BINARY_DIR}/sdk/cehost.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/sdk/cehost.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The world (libbtworld) where the build has it: the start library loads it
# for CEHOST_WORLD and the reports; it is the SDK's as the host is.
if(TARGET btworld)
  set_target_properties(btworld PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS btworld EXPORT cehostTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
