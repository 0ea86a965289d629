# wivora_add_test(NAME COMMAND command... [TIMEOUT seconds])
# Registers one CTest test. Every test gets its own data, config and temporary
# folders, so tests never share machine settings, storage roots or
# single-instance sockets, and never touch the user's own.
function(wivora_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "COMMAND" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
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
  add_test(NAME ${name} COMMAND ${T_COMMAND})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${environment}")
endfunction()

# wivora_add_test_suite(SUITE TESTS tst_<Unit>.cpp... [SOURCES src...] [LIBS lib...] [TIMEOUT seconds])
# Links the QtTest classes of one concern into one program, SUITE_tests, and
# registers each as a test of its own, SUITE_<Unit>, run in a process of its
# own (tests/common/QtTestSuite.h). One program per concern instead of one per
# class: a cold build compiles, moc's and links far less.
function(wivora_add_test_suite suite)
  cmake_parse_arguments(T "" "TIMEOUT" "TESTS;SOURCES;LIBS" ${ARGN})
  set(program ${suite}_tests)
  add_executable(${program} ${T_TESTS} ${T_SOURCES})
  target_link_libraries(${program} PRIVATE wivora_test_suite_main ${T_LIBS})
  foreach(src ${T_TESTS})
    get_filename_component(stem ${src} NAME_WE)
    string(REGEX REPLACE "^tst_" "${suite}_" name ${stem})
    wivora_add_test(${name} COMMAND ${program} ${stem} TIMEOUT ${T_TIMEOUT})
  endforeach()
endfunction()
