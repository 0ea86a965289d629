# wivora_add_qtest(NAME SOURCES src... [LIBS lib...] [TIMEOUT seconds])
# Builds one QtTest executable and registers it with CTest. Every test gets its own
# data, config and temporary folders, so tests never share machine settings,
# storage roots or single-instance sockets, and never touch the user's own.
function(wivora_add_qtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt5::Test ${T_LIBS})
  set(home ${CMAKE_CURRENT_BINARY_DIR}/home/${name})
  file(MAKE_DIRECTORY ${home}/data ${home}/config ${home}/tmp)
  set(environment "QT_QPA_PLATFORM=offscreen;XDG_DATA_HOME=${home}/data;XDG_CONFIG_HOME=${home}/config;TMPDIR=${home}/tmp;QT_LOGGING_RULES=*.debug=false")
  if(WIVORA_ASAN)
    # Children inherit these; their harnesses route the reports to files
    # (tests/server/ChildSanitizerReports.h). intercept_tls_get_addr=0: the
    # leak checker's record of dynamically loaded libraries' thread-local
    # blocks goes wrong with this glibc and crashes its scan at exit; those
    # blocks are allocated by the dynamic linker and scanned as such anyway.
    list(APPEND environment
      "ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0:strict_string_checks=1:check_initialization_order=1"
      "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp:print_suppressions=0"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  endif()
  if(WIVORA_TSAN)
    list(APPEND environment "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan.supp")
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${environment}")
endfunction()

# wivora_test_environment(VAR NAME): in VAR, the environment wivora_add_qtest
# gives test NAME (its own folders, the sanitizers' options), for tests
# registered with add_test directly.
function(wivora_test_environment var name)
  set(home ${CMAKE_CURRENT_BINARY_DIR}/home/${name})
  file(MAKE_DIRECTORY ${home}/data ${home}/config ${home}/tmp)
  set(environment "QT_QPA_PLATFORM=offscreen;XDG_DATA_HOME=${home}/data;XDG_CONFIG_HOME=${home}/config;TMPDIR=${home}/tmp;QT_LOGGING_RULES=*.debug=false")
  if(WIVORA_ASAN)
    list(APPEND environment
      "ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0:strict_string_checks=1:check_initialization_order=1"
      "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp:print_suppressions=0"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  endif()
  if(WIVORA_TSAN)
    list(APPEND environment "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan.supp")
  endif()
  set(${var} "${environment}" PARENT_SCOPE)
endfunction()
