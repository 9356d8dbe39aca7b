# Settings shared by every target of the project: link dotz_common everywhere.
add_library(dotz_common INTERFACE)
target_compile_features(dotz_common INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

target_compile_options(dotz_common INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough)
# GCC 12 at -O3 and -Os sees string concatenation of libstdc++ as overlapping
# copies (its bug 105651): a false -Wrestrict in optimised builds only.
target_compile_options(dotz_common INTERFACE
  $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>,$<CONFIG:Release,MinSizeRel>>:-Wno-restrict>)
if(DOTZ_WERROR)
  target_compile_options(dotz_common INTERFACE -Werror)
endif()
target_compile_definitions(dotz_common INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_CONTEXTLESS_CONNECT QT_NO_KEYWORDS)

# Fuzz build (clang): coverage for every library, so the fuzz targets see inside
# them; the targets themselves add libFuzzer's main.
if(DOTZ_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "DOTZ_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++")
  endif()
  target_compile_options(dotz_common INTERFACE -fsanitize=fuzzer-no-link)
  # The coverage hooks come from the sanitizers' runtime when there is one; without
  # it, every program links libFuzzer's runtime for them (without its main).
  if(NOT DOTZ_SANITIZE)
    target_link_options(dotz_common INTERFACE -fsanitize=fuzzer-no-link)
  endif()
endif()

# The installed module and the toolkit it shares with the host live in lib/krt.
set(KRT_LIB_DIR lib/krt)
file(RELATIVE_PATH KRT_MODULE_DIR_FROM_BIN
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${KRT_LIB_DIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/krt_version.h.in
  ${CMAKE_BINARY_DIR}/generated/krt_version.h @ONLY)
target_include_directories(dotz_common INTERFACE ${CMAKE_BINARY_DIR}/generated)

if(DOTZ_SANITIZE)
  target_compile_options(dotz_common INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(dotz_common INTERFACE -fsanitize=address,undefined)
  # GCC's manual warns that the sanitizers raise false -Wmaybe-uninitialized
  # (here inside libstdc++'s <regex>); the plain build keeps the warning.
  target_compile_options(dotz_common INTERFACE
    $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
endif()

# Third-party headers are included as system headers so their warnings stay theirs.
find_package(PkgConfig REQUIRED)
