# Warnings, sanitizers and the helpers every component's CMakeLists uses.
option(TERMIVA_WERROR "treat warnings as errors" OFF)
set(TERMIVA_SANITIZE "" CACHE STRING "sanitizers, e.g. address;undefined or thread")

add_library(termiva_warnings INTERFACE)
target_compile_options(termiva_warnings INTERFACE -Wall -Wextra -Wpedantic
  $<$<BOOL:${TERMIVA_WERROR}>:-Werror>)

if(TERMIVA_SANITIZE)
  string(REPLACE ";" "," _san "${TERMIVA_SANITIZE}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_san})
endif()

# libFuzzer targets (tests/fuzz): every library is built with the fuzzer's coverage
# hooks and ASan+UBSan, so a fault in the code under test is found, not only in the
# harness.
option(TERMIVA_FUZZ "build the libFuzzer targets (clang)" OFF)
if(TERMIVA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TERMIVA_FUZZ needs clang: CXX=clang++ CC=clang (scripts/fuzz.sh does)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# windows.h without its COM and RPC parts everywhere: their macros ("interface") break
# ordinary names in any file that reaches windows.h through a library header (libssh's).
if(WIN32)
  add_compile_definitions(WIN32_LEAN_AND_MEAN)
endif()

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

# termiva_add_test(NAME name SOURCES ... LIBS ... LABELS label [PROPERTIES name value ...])
# Test executables live apart from the program folder. PROPERTIES go to every test the
# executable holds (e.g. RESOURCE_LOCK for tests that share one device). One label: a list
# would be read as further property names.
function(termiva_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock termiva_warnings)
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_definitions(${T_NAME} PRIVATE
    TERMIVA_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    TERMIVA_PROGRAM_DIR="${TERMIVA_PROGRAM_DIR}"
    TERMIVA_TEST_BIN_DIR="${CMAKE_BINARY_DIR}/tests")
  # A cross build lists its tests when ctest runs them (under Wine), not while building.
  if(CMAKE_CROSSCOMPILING)
    set(discovery DISCOVERY_MODE PRE_TEST)
  endif()
  gtest_discover_tests(${T_NAME} PROPERTIES LABELS "${T_LABELS}" ${T_PROPERTIES}
    DISCOVERY_TIMEOUT 30 ${discovery})
endfunction()
