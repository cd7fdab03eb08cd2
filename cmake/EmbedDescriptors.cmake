# Turns report descriptors kept as commented hex text into a C++ header, so
# that a program carries the very same bytes and reads no file for them: the
# shipped qz470-probe (the descriptors it emulates, in data/descriptors) and
# tests inside a VM, which cannot read the source tree. A name is looked up in
# data/descriptors first, then among the test samples in tests/data/descriptors.
#
#   qz_embed_descriptors(TARGET OUTPUT header.h NAMES name...)
#
# The header defines, in namespace qz::embedded, one
#   inline constexpr std::uint8_t k<name>[] = {...};
# per file, named after the file in CamelCase (transceiver_1003 becomes
# kTransceiver1003).

set(QZ_EMBED_DESCRIPTORS_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

function(qz_embed_descriptors target)
  cmake_parse_arguments(ARG "" "OUTPUT" "NAMES" ${ARGN})
  set(inputs)
  foreach(name IN LISTS ARG_NAMES)
    set(input ${PROJECT_SOURCE_DIR}/data/descriptors/${name}.hex)
    if(NOT EXISTS ${input})
      set(input ${PROJECT_SOURCE_DIR}/tests/data/descriptors/${name}.hex)
    endif()
    list(APPEND inputs ${input})
  endforeach()
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${ARG_OUTPUT})
  string(REPLACE ";" "," inputs_arg "${inputs}")
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DQZ_EMBED_INPUTS=${inputs_arg} -DQZ_EMBED_OUTPUT=${output}
            -P ${QZ_EMBED_DESCRIPTORS_SCRIPT}
    DEPENDS ${inputs} ${QZ_EMBED_DESCRIPTORS_SCRIPT}
    COMMENT "Embedding report descriptors in ${ARG_OUTPUT}" VERBATIM)
  target_sources(${target} PRIVATE ${output})
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# Script mode: the conversion itself.
if(CMAKE_SCRIPT_MODE_FILE AND DEFINED QZ_EMBED_OUTPUT)
  string(REPLACE "," ";" inputs "${QZ_EMBED_INPUTS}")
  set(text "// Generated from report descriptors kept as hex text; do not edit.\n#pragma once\n\n#include <cstdint>\n\nnamespace qz::embedded {\n")
  foreach(input IN LISTS inputs)
    get_filename_component(name ${input} NAME_WE)
    # transceiver_report_ids -> TransceiverReportIds
    string(REGEX MATCHALL "[A-Za-z0-9]+" parts "${name}")
    set(symbol "")
    foreach(part IN LISTS parts)
      string(SUBSTRING "${part}" 0 1 head)
      string(SUBSTRING "${part}" 1 -1 tail)
      string(TOUPPER "${head}" head)
      string(APPEND symbol "${head}${tail}")
    endforeach()
    file(STRINGS ${input} lines)
    set(bytes)
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "#.*$" "" line "${line}")
      string(REGEX MATCHALL "[0-9A-Fa-f][0-9A-Fa-f]" pairs "${line}")
      foreach(pair IN LISTS pairs)
        list(APPEND bytes "0x${pair}")
      endforeach()
    endforeach()
    list(JOIN bytes ", " joined)
    string(APPEND text "inline constexpr std::uint8_t k${symbol}[] = {${joined}};\n")
  endforeach()
  string(APPEND text "} // namespace qz::embedded\n")
  file(WRITE ${QZ_EMBED_OUTPUT}.tmp "${text}")
  file(COPY_FILE ${QZ_EMBED_OUTPUT}.tmp ${QZ_EMBED_OUTPUT} ONLY_IF_DIFFERENT)
  file(REMOVE ${QZ_EMBED_OUTPUT}.tmp)
endif()
