# Build settings and helper functions shared by every subsystem.

set(QN_WARNINGS -Wall -Wextra -Wshadow $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor> -Wpointer-arith -Wformat=2
                -Wno-unused-parameter -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # g++ 12 at -O2 and above reports -Wrestrict inside std::string concatenation (a false
  # positive of its libstdc++ inlining); the warning finds nothing else in our code.
  list(APPEND QN_WARNINGS -Wno-restrict)
endif()
if(QN_WERROR)
  list(APPEND QN_WARNINGS -Werror)
endif()

set(QN_FUZZ OFF)
# What a program linked against the sanitized libraries must be built with too.
set(QN_SANITIZER_FLAGS -fsanitize=address,undefined)
if(QN_SANITIZE)
  add_compile_options(${QN_SANITIZER_FLAGS} -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -g -O1)
  add_link_options(${QN_SANITIZER_FLAGS})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # Coverage instrumentation everywhere so the fuzz harnesses see inside the libraries.
    add_compile_options(-fsanitize=fuzzer-no-link)
    set(QN_FUZZ ON)
  endif()
endif()

# qn_warnings(target): the project's warning set on one of our own targets.
function(qn_warnings target)
  target_compile_options(${target} PRIVATE ${QN_WARNINGS})
endfunction()

# qn_test(NAME SOURCES src... LIBS lib... [LABELS l...] [ENV VAR=VALUE...] [TIMEOUT s])
# A GoogleTest program; every test case becomes one ctest test, run in its own process.
function(qn_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  qn_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} qn_test_support GTest::gtest GTest::gtest_main Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # Empty values would vanish from the property list and shift the pairs, so add only set ones.
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_ENV)
    list(APPEND props ENVIRONMENT "${T_ENV}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${props})
endfunction()

# qn_fuzzer(NAME SOURCES src... LIBS lib... [SECONDS n] [CORPUS dir])
# A libFuzzer harness; built and run for a bounded time only in the clang sanitizer build.
function(qn_fuzzer name)
  cmake_parse_arguments(F "" "SECONDS;CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT QN_FUZZ)
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS 20)
  endif()
  add_executable(${name} ${F_SOURCES})
  qn_warnings(${name})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}.corpus)
  set(seeds "")
  if(F_CORPUS)
    set(seeds ${F_CORPUS})
  endif()
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
            $<TARGET_FILE:${name}> -max_total_time=${F_SECONDS} -rss_limit_mb=2048 -timeout=10 ${work} ${seeds})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 300
    FIXTURES_REQUIRED ${name}_corpus)
  add_test(NAME ${name}_corpus COMMAND ${CMAKE_COMMAND} -E make_directory ${work})
  set_tests_properties(${name}_corpus PROPERTIES FIXTURES_SETUP ${name}_corpus)
endfunction()

# qn_bench(NAME SOURCES src... LIBS lib...): a Google Benchmark program under bench/.
function(qn_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${B_SOURCES})
  qn_warnings(${name})
  target_link_libraries(${name} PRIVATE ${B_LIBS} qn_bench_support benchmark::benchmark Threads::Threads)
endfunction()
