# Shared build settings: warnings, sanitizers and helpers for libraries and tests.

set(ZQ_WARNINGS -Wall -Wextra -Werror)

if(ZQ_FUZZ)
  # Coverage for every library, so fuzzers learn from the code they drive.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(ZQ_SANITIZE OR ZQ_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# A library of the task itself: warnings as errors and no exceptions.
function(zq_task_library name)
  add_library(${name} STATIC ${ARGN})
  target_compile_options(${name} PRIVATE ${ZQ_WARNINGS} -fno-exceptions)
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
endfunction()

# Our own code outside the task's libraries (tools, tests, benchmarks).
function(zq_warnings target)
  target_compile_options(${target} PRIVATE ${ZQ_WARNINGS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src)
endfunction()

# zq_add_test(NAME name SOURCES ... LIBS ... LABEL unit|system|slow)
function(zq_add_test)
  cmake_parse_arguments(T "" "NAME;LABEL" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  zq_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main pthread)
  target_compile_definitions(${T_NAME} PRIVATE
    ZQ_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ZQ_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${T_LABEL} ENVIRONMENT "ZQ_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
