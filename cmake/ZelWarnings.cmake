# Compiler settings shared by every target of the project.

set(ZEL_WARNING_FLAGS -Wall -Wextra -Wformat=2 -Wno-missing-field-initializers)
# GCC can limit shadowing warnings to locals; clang has no such form.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND ZEL_WARNING_FLAGS -Wshadow=local)
  # GCC 12 at -O2/-O3 reports overlapping memcpy inside std::string assignments that cannot
  # overlap (even `text = "*"`); the warning is wrong there, so it is not an error.
  if(CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12 AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    list(APPEND ZEL_WARNING_FLAGS -Wno-restrict)
  endif()
endif()
if(ZEL_WERROR)
  list(APPEND ZEL_WARNING_FLAGS -Werror)
endif()
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${ZEL_WARNING_FLAGS}>")

if(ZEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Modules export exactly their mod_ entry points; everything else stays hidden.
function(zel_module target)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# A unit test: one executable, registered with CTest through gtest_discover_tests so each
# case shows on its own, labelled so the sanitizer run can pick the unit tests.
function(zel_unit_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(CMAKE_CROSSCOMPILING)
    # Cross-built tests run under an emulator (Wine): one test per executable, since
    # discovering the cases would start the emulator for every test program at build time.
    add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    set_tests_properties(${name} PROPERTIES LABELS unit)
  else()
    gtest_discover_tests(${name}
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      PROPERTIES LABELS unit
      DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

find_package(Threads REQUIRED)
