# The gateway: MIPS32 big-endian Linux with glibc, built with Debian's
# mips-linux-gnu cross compilers (g++-mips-linux-gnu) and run here under
# qemu-mips (qemu-user). The libraries it links come from
# scripts/mips-deps.sh, which writes the list of their prefixes.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(ZEB_TARGET_TRIPLE mips-linux-gnu)
set(CMAKE_C_COMPILER ${ZEB_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZEB_TARGET_TRIPLE}-g++)
# The C library, libstdc++ and the dynamic loader of the cross toolchain.
set(ZEB_TARGET_ROOT /usr/${ZEB_TARGET_TRIPLE})

if(NOT ZEB_MIPS_DEPS)
  if(DEFINED ENV{ZEB_MIPS_DEPS})
    set(ZEB_MIPS_DEPS $ENV{ZEB_MIPS_DEPS})
  else()
    get_filename_component(ZEB_MIPS_DEPS ${CMAKE_CURRENT_LIST_DIR}/../../build/mips-deps ABSOLUTE)
  endif()
endif()
set(ZEB_MIPS_DEPS ${ZEB_MIPS_DEPS} CACHE PATH "Where scripts/mips-deps.sh built the target's libraries")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZEB_MIPS_DEPS)
if(NOT EXISTS ${ZEB_MIPS_DEPS}/prefixes.cmake)
  message(FATAL_ERROR "No ${ZEB_MIPS_DEPS}/prefixes.cmake: run scripts/mips-deps.sh first")
endif()
include(${ZEB_MIPS_DEPS}/prefixes.cmake)

# Libraries, headers and packages of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH ${ZEB_TARGET_ROOT} ${ZEB_MIPS_DEP_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees the target's .pc files and never the host's.
set(ZEB_PKG_CONFIG_DIRS)
foreach(prefix IN LISTS ZEB_MIPS_DEP_PREFIXES)
  if(EXISTS ${prefix}/lib/pkgconfig)
    list(APPEND ZEB_PKG_CONFIG_DIRS ${prefix}/lib/pkgconfig)
  endif()
endforeach()
string(JOIN ":" ZEB_PKG_CONFIG_LIBDIR ${ZEB_PKG_CONFIG_DIRS})
set(ENV{PKG_CONFIG_LIBDIR} "${ZEB_PKG_CONFIG_LIBDIR}")
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# Test programs run under user-mode emulation. The loader and the C library
# are looked up under the toolchain's root first (-L); the libraries of
# scripts/mips-deps.sh are found through their absolute run paths.
find_program(ZEB_QEMU qemu-mips REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEB_QEMU} -L ${ZEB_TARGET_ROOT})
