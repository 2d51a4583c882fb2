# Helpers shared by the folders' CMakeLists.

# The repository root, which is also the include root (a project that builds
# only some folders, such as cmake/win32-check, includes this file too).
set(AMBRIK_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
cmake_path(NORMAL_PATH AMBRIK_ROOT)

# ambrik_library(NAME SOURCES ... [LIBS ...]): one static library per folder.
# The repository root is the include root, so headers are included as
# "common/log.h", "agent/server/http_client.h" and so on.
function(ambrik_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${AMBRIK_ROOT})
  target_link_libraries(${name} PUBLIC ${A_LIBS})
endfunction()

# ambrik_test(NAME SOURCES ... [LIBS ...] [LABELS ...]): one GoogleTest
# executable, its cases discovered into CTest. Tests labelled "contract" hold
# on every system; a Windows build builds only those, links them statically
# and runs each program as one CTest test (through
# CMAKE_CROSSCOMPILING_EMULATOR, wine, when cross-built).
function(ambrik_test name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(WIN32 AND NOT "contract" IN_LIST A_LABELS)
    return()
  endif()
  # A test whose libraries are not part of this build (AMBRIK_ONLY_FOLDERS) is left out.
  foreach(lib IN LISTS A_LIBS)
    if(NOT lib MATCHES "::" AND NOT TARGET ${lib})
      message(STATUS "test ${name} left out: no target ${lib} in this build")
      return()
    endif()
  endforeach()
  ambrik_find_gtest()
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${AMBRIK_ROOT})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    AMBRIK_SOURCE_DIR="${AMBRIK_ROOT}"
    AMBRIK_BINARY_DIR="${PROJECT_BINARY_DIR}"
    AMBRIK_SHARED_DATA_DIR="${AMBRIK_ROOT}/../shared/data")
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "${A_LABELS}" TIMEOUT 300)
    return()
  endif()
  include(GoogleTest)
  if(A_LABELS)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${A_LABELS}")
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

# GoogleTest: the system's package, or on Windows (no package for the cross
# compiler) built from Debian's googletest sources in /usr/src/googletest.
macro(ambrik_find_gtest)
  if(NOT TARGET GTest::gtest)
    if(WIN32 AND EXISTS /usr/src/googletest/CMakeLists.txt)
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
      add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
      if(NOT TARGET GTest::gtest)
        add_library(GTest::gtest ALIAS gtest)
        add_library(GTest::gtest_main ALIAS gtest_main)
      endif()
    else()
      find_package(GTest REQUIRED)
    endif()
  endif()
endmacro()

# ambrik_benchmark(NAME SOURCES ... [LIBS ...]): a Google Benchmark program.
function(ambrik_benchmark name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${A_LIBS} benchmark::benchmark Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    AMBRIK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    AMBRIK_SHARED_DATA_DIR="${PROJECT_SOURCE_DIR}/../shared/data")
endfunction()

# ambrik_fuzzer(NAME SOURCES ... [LIBS ...] [SECONDS N]): a libFuzzer target;
# SECONDS caps its run in scripts/fuzz.sh (which reads it from this call).
function(ambrik_fuzzer name)
  cmake_parse_arguments(A "" "SECONDS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${A_LIBS} Threads::Threads)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# Adds every immediate subfolder of the current folder that has a CMakeLists.txt.
macro(ambrik_add_subfolders)
  file(GLOB _ambrik_children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _ambrik_children)
  foreach(_child IN LISTS _ambrik_children)
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${_child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_child}/CMakeLists.txt)
      # With AMBRIK_ONLY_FOLDERS, a test or benchmark folder is added only
      # when the source folder it mirrors is part of the build.
      set(_keep TRUE)
      if(AMBRIK_ONLY_FOLDERS)
        file(RELATIVE_PATH _rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${_child})
        string(REGEX REPLACE "^(tests|bench|fuzz)/" "" _mirror "${_rel}")
        set(_keep FALSE)
        foreach(_src IN LISTS AMBRIK_SOURCE_FOLDERS)
          if(_src STREQUAL _mirror OR _src MATCHES "^${_mirror}/" OR _mirror MATCHES "^${_src}/")
            set(_keep TRUE)
          endif()
        endforeach()
      endif()
      if(_keep)
        add_subdirectory(${_child})
      endif()
    endif()
  endforeach()
endmacro()
