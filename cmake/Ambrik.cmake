# Helpers shared by the folders' CMakeLists.

# The repository root, which is also the include root.
get_filename_component(AMBRIK_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# ambrik_library(NAME SOURCES ... [LIBS ...]): one static library per folder.
# The repository root is the include root, so headers are included as
# "common/log.h", "agent/server/http_client.h" and so on.
function(ambrik_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${AMBRIK_ROOT})
  target_link_libraries(${name} PUBLIC ${A_LIBS})
endfunction()

# ambrik_test(NAME SOURCES ... [LIBS ...] [LABELS ...] [ROOT_CASES]): one
# GoogleTest executable, its cases discovered into CTest. With ROOT_CASES, the
# cases whose names end in "AsRoot" need root and carry the label "root" too.
function(ambrik_test name)
  cmake_parse_arguments(A "ROOT_CASES" "" "SOURCES;LIBS;LABELS" ${ARGN})
  # A test whose libraries are not part of this build (AMBRIK_ONLY_FOLDERS,
  # or the Linux-only libraries of the Windows build) is left out.
  foreach(lib IN LISTS A_LIBS)
    if(NOT TARGET ${lib})
      message(STATUS "test ${name} left out: no target ${lib} in this build")
      return()
    endif()
  endforeach()
  # The Windows build runs the tests of what both systems promise alike,
  # those labelled "contract"; the others test the POSIX backends.
  if(WIN32 AND NOT "contract" IN_LIST A_LABELS)
    return()
  endif()
  if(NOT TARGET GTest::gtest)
    find_package(GTest REQUIRED)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${AMBRIK_ROOT})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    AMBRIK_SOURCE_DIR="${AMBRIK_ROOT}"
    AMBRIK_BINARY_DIR="${PROJECT_BINARY_DIR}"
    AMBRIK_SHARED_DATA_DIR="${AMBRIK_ROOT}/../shared/data")
  include(GoogleTest)
  set(label_properties)
  if(A_LABELS)
    set(label_properties PROPERTIES LABELS "${A_LABELS}")
  endif()
  if(A_ROOT_CASES)
    set(root_labels ${A_LABELS} root)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "*AsRoot" PROPERTIES LABELS "${root_labels}")
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "-*AsRoot" ${label_properties})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 ${label_properties})
  endif()
endfunction()

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
  target_compile_definitions(${name} PRIVATE AMBRIK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
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
