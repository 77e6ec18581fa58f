# Compiler settings shared by every target of the project.
option(ZEB_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ZEB_WERROR "Treat warnings as errors" ON)

# 64-bit time_t and file offsets everywhere. On a 32-bit glibc target (the
# gateway is MIPS32) time_t is 32 bits unless asked otherwise: time(),
# mktime() and localtime() would end in January 2038 and stat() would fail on
# large files. The public headers hold neither time_t nor off_t, so a client
# built without these definitions still links with the same interface.
include(CheckTypeSize)
check_type_size(time_t ZEB_SIZEOF_TIME_T LANGUAGE C)
if(ZEB_SIZEOF_TIME_T LESS 8)
  set(ZEB_TIME64_DEFINITIONS _TIME_BITS=64 _FILE_OFFSET_BITS=64)
  set(CMAKE_REQUIRED_DEFINITIONS -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64)
  check_type_size(time_t ZEB_SIZEOF_TIME64_T LANGUAGE C)
  unset(CMAKE_REQUIRED_DEFINITIONS)
  if(NOT ZEB_SIZEOF_TIME64_T EQUAL 8)
    message(FATAL_ERROR "time_t is ${ZEB_SIZEOF_TIME_T} bytes and the C library offers no "
                        "64-bit time_t (glibc 2.34 or later does with _TIME_BITS=64)")
  endif()
  add_compile_definitions(${ZEB_TIME64_DEFINITIONS})
endif()

set(ZEB_WARNINGS -Wall -Wextra -Wshadow -Wformat=2 -Wcast-align -Wpointer-arith
                 -Wundef -Wwrite-strings -Wno-missing-field-initializers)
if(ZEB_WERROR)
  list(APPEND ZEB_WARNINGS -Werror)
endif()
add_compile_options(${ZEB_WARNINGS} -fno-omit-frame-pointer)
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)

if(ZEB_SANITIZE)
  set(ZEB_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined)
  add_compile_options(${ZEB_SAN_FLAGS})
  add_link_options(${ZEB_SAN_FLAGS})
endif()

# The fuzz build instruments every library for coverage and the sanitizers;
# the fuzz targets themselves link libFuzzer (fuzz/CMakeLists.txt).
if(ZEB_FUZZ)
  set(ZEB_FUZZ_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined)
  add_compile_options(-fsanitize=fuzzer-no-link ${ZEB_FUZZ_FLAGS})
  add_link_options(${ZEB_FUZZ_FLAGS})
endif()

# Shared objects must not hide missing symbols: a plug-in or library that
# forgets a dependency fails at link time, not when the host loads it.
# clang links the sanitizer runtimes into executables only, so a sanitized
# shared library has undefined __asan_*/__ubsan_* symbols by design: the check
# is left out of the fuzz build.
if(NOT ZEB_FUZZ)
  add_link_options($<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>:-Wl,--no-undefined>)
endif()

# zeb_export_interface(TARGETS...): a shared library or plug-in exports its
# interface and nothing else. Its code is compiled hidden; what its headers
# declare for others is exported by their "#pragma GCC visibility
# push(default)" (or an attribute on each declaration), and the version
# script keeps the C++ that the standard library's templates would still
# export (namespace std keeps default visibility whatever the flag).
function(zeb_export_interface)
  set(map ${PROJECT_SOURCE_DIR}/cmake/zeb_exports.map)
  foreach(target IN LISTS ARGN)
    set_target_properties(${target} PROPERTIES C_VISIBILITY_PRESET hidden
                          CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  endforeach()
endfunction()
