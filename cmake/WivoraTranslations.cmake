# The translation template: lupdate collects every text the program, its
# library and its plug-ins pass through tr() into one .ts file in the build
# (translations/wivora.ts), from which translators start. Built with
# everything, so that a text left out of tr() shows as missing there.
find_package(Qt5LinguistTools QUIET)
if(NOT TARGET Qt5::lupdate)
  message(STATUS "lupdate not found (Debian: qttools5-dev-tools): no translation template")
  return()
endif()

set(WIVORA_TRANSLATION_TEMPLATE ${PROJECT_BINARY_DIR}/translations/wivora.ts)
set(translated_folders app basislib core include plugins ui)
set(translated_sources)
foreach(folder ${translated_folders})
  file(GLOB_RECURSE found CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/${folder}/*.cpp ${PROJECT_SOURCE_DIR}/${folder}/*.h ${PROJECT_SOURCE_DIR}/${folder}/*.ui)
  list(APPEND translated_sources ${found})
endforeach()
# Handed over in a list file: the command line would be long.
set(source_list ${PROJECT_BINARY_DIR}/translations/sources.lst)
list(JOIN translated_sources "\n" source_lines)
file(CONFIGURE OUTPUT ${source_list} CONTENT "${source_lines}\n")

add_custom_command(
  OUTPUT ${WIVORA_TRANSLATION_TEMPLATE}
  # Made afresh each time: a template carries no translations to keep.
  COMMAND ${CMAKE_COMMAND} -E rm -f ${WIVORA_TRANSLATION_TEMPLATE}
  COMMAND Qt5::lupdate -silent -locations relative -no-obsolete @${source_list} -ts ${WIVORA_TRANSLATION_TEMPLATE}
  DEPENDS ${translated_sources} ${source_list}
  COMMENT "Collecting the texts to translate into translations/wivora.ts"
  VERBATIM)
add_custom_target(translation_template ALL DEPENDS ${WIVORA_TRANSLATION_TEMPLATE})
