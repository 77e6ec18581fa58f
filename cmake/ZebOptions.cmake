# Compiler settings shared by every target of the project.
option(ZEB_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ZEB_WERROR "Treat warnings as errors" ON)

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
