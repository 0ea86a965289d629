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
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_DATA_HOME=${home}/data;XDG_CONFIG_HOME=${home}/config;TMPDIR=${home}/tmp;QT_LOGGING_RULES=*.debug=false")
endfunction()
