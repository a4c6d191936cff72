# Shared build settings and helpers.

set(PARLOW_ROOT ${CMAKE_CURRENT_SOURCE_DIR})

add_library(parlow_options INTERFACE)
target_include_directories(parlow_options INTERFACE ${PARLOW_ROOT})

# The one version source: the project version, as core/version.h for the code.
configure_file(${PARLOW_ROOT}/cmake/version.h.in ${CMAKE_BINARY_DIR}/generated/core/version.h @ONLY)
target_include_directories(parlow_options INTERFACE ${CMAKE_BINARY_DIR}/generated)
target_compile_options(parlow_options INTERFACE -Wall -Wextra -Wno-unused-parameter)

if(WIN32)
  target_compile_definitions(parlow_options INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                      _WIN32_WINNT=0x0A00)
  # wine cannot find the MinGW runtime DLLs: everything is linked statically.
  target_link_options(parlow_options INTERFACE -static -static-libgcc -static-libstdc++)
else()
  find_package(Threads REQUIRED)
  target_link_libraries(parlow_options INTERFACE Threads::Threads)
endif()

# Sanitizers apply to everything, GoogleTest included, so that TSan sees every access.
if(PARLOW_SANITIZE AND NOT WIN32)
  add_compile_options(-fsanitize=${PARLOW_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${PARLOW_SANITIZE})
endif()

if(PARLOW_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The other platform's suffix: files named *_<suffix>.cpp are left out of this build.
if(WIN32)
  set(PARLOW_OTHER_PLATFORM posix)
else()
  set(PARLOW_OTHER_PLATFORM win)
endif()

# parlow_sources(<out-var> <glob>): the files of the current folder matching <glob>, without
# those of the other platform. Folders glob their sources so that several people can add
# files to one folder without touching a shared list.
function(parlow_glob out pattern)
  file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${pattern})
  list(FILTER found EXCLUDE REGEX "_${PARLOW_OTHER_PLATFORM}(_test|_fuzz)?\\.cpp$")
  list(SORT found)
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# parlow_library(<name> DEPS <targets...> [EXCLUDE <regex>] [WIN_LIBS ...] [POSIX_LIBS ...])
# A static library of every .cpp in the current folder; <stem>_win.cpp or <stem>_posix.cpp
# is chosen by platform, so portable sources never need a platform #ifdef.
function(parlow_library name)
  cmake_parse_arguments(ARG "" "EXCLUDE" "DEPS;WIN_LIBS;POSIX_LIBS" ${ARGN})
  parlow_glob(srcs "*.cpp")
  if(ARG_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  add_library(${name} STATIC ${srcs})
  target_link_libraries(${name} PUBLIC parlow_options ${ARG_DEPS})
  if(WIN32)
    target_link_libraries(${name} PUBLIC ${ARG_WIN_LIBS})
  else()
    target_link_libraries(${name} PUBLIC ${ARG_POSIX_LIBS})
  endif()
endfunction()

# Every test program with the label `threads`, the set the ThreadSanitizer variant runs: that
# variant builds this target only.
if(NOT TARGET parlow_threads_tests)
  add_custom_target(parlow_threads_tests)
endif()

# parlow_test(<name> DEPS <...> [LABELS <...>] [ARGS <...>] [TIMEOUT s] [GLOB pattern] [EXCLUDE regex])
# One test binary per folder from every *_test.cpp in it (or GLOB, less EXCLUDE), and one ctest entry per binary:
# under wine every process start costs about half a second.
function(parlow_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT;GLOB;EXCLUDE" "DEPS;LABELS;ARGS;EXTRA_SOURCES" ${ARGN})
  if(NOT ARG_GLOB)
    set(ARG_GLOB "*_test.cpp")
  endif()
  parlow_glob(srcs "${ARG_GLOB}")
  if(ARG_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs} ${ARG_EXTRA_SOURCES})
  target_link_libraries(${name} PRIVATE parlow_options ${ARG_DEPS} parlow_test_support GTest::gtest GTest::gmock
                                        GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE PARLOW_TESTDATA="${PARLOW_ROOT}/testdata")
  set(test_name ${name})
  if(WIN32)
    set(test_name ${name}_wine)
  endif()
  add_test(NAME ${test_name} COMMAND ${name} ${ARG_ARGS})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set_tests_properties(${test_name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${PARLOW_PLATFORM};${ARG_LABELS}")
  if("threads" IN_LIST ARG_LABELS)
    add_dependencies(parlow_threads_tests ${name})
  endif()
endfunction()
