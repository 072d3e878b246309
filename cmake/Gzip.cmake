# SPDX-License-Identifier: MIT
# Files that Debian wants compressed (man pages, changelogs): gzip -9n, so
# that neither the file name nor a time stamp goes into the archive and two
# builds give the same bytes.

find_program(ORVA_GZIP gzip)
if(NOT ORVA_GZIP)
  message(FATAL_ERROR "gzip not found: it compresses the man page and changelogs")
endif()

# Compresses SOURCE into OUTPUT, which must end in .gz, whenever SOURCE
# changes, as part of the default build so that install rules find OUTPUT.
# gzip works on a copy, as it replaces its input.
function(orva_gzip target source output)
  get_filename_component(name "${output}" NAME)
  string(REGEX REPLACE "\\.gz$" "" plain "${name}")
  if(plain STREQUAL name)
    message(FATAL_ERROR "orva_gzip: ${output} does not end in .gz")
  endif()
  set(work ${CMAKE_CURRENT_BINARY_DIR}/gzip-work/${target})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${work}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${work}/${plain}
    COMMAND ${ORVA_GZIP} -9nf ${work}/${plain}
    COMMAND ${CMAKE_COMMAND} -E rename ${work}/${name} ${output}
    DEPENDS ${source}
    COMMENT "Compressing ${output}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()
