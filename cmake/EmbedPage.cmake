# Builds an HTML page into a C++ header, with the Content-Security-Policy
# hashes of its one inline <script> and one inline <style>, so that the page
# runs under a policy that allows exactly that script and that style.
#
#   qz_embed_page(TARGET INPUT page.html OUTPUT header.h)
#
# The header defines, in namespace qz::embedded:
#   inline constexpr std::string_view kPage;        the page, byte for byte
#   inline constexpr std::string_view kScriptHash;  'sha256-...' of the script
#   inline constexpr std::string_view kStyleHash;   'sha256-...' of the style

set(QZ_EMBED_PAGE_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

function(qz_embed_page target)
  cmake_parse_arguments(ARG "" "INPUT;OUTPUT" "" ${ARGN})
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${ARG_OUTPUT})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DQZ_PAGE_INPUT=${ARG_INPUT} -DQZ_PAGE_OUTPUT=${output} -P ${QZ_EMBED_PAGE_SCRIPT}
    DEPENDS ${ARG_INPUT} ${QZ_EMBED_PAGE_SCRIPT}
    COMMENT "Embedding ${ARG_INPUT} in ${ARG_OUTPUT}" VERBATIM)
  target_sources(${target} PRIVATE ${output})
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# Script mode: the conversion itself.
if(CMAKE_SCRIPT_MODE_FILE AND DEFINED QZ_PAGE_OUTPUT)
  set(base64 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")

  # The CSP source of an element's text: 'sha256-' and the base64 of the
  # SHA-256 of the text between <tag> and </tag>.
  function(element_hash page tag out)
    string(FIND "${page}" "<${tag}>" start)
    string(FIND "${page}" "</${tag}>" end)
    if(start EQUAL -1 OR end EQUAL -1)
      message(FATAL_ERROR "${QZ_PAGE_INPUT} has no <${tag}> element")
    endif()
    string(LENGTH "<${tag}>" open)
    math(EXPR start "${start} + ${open}")
    math(EXPR length "${end} - ${start}")
    string(SUBSTRING "${page}" ${start} ${length} text)
    string(SHA256 hex "${text}")
    # 32 bytes: ten groups of three bytes, then two bytes and one '='.
    set(encoded "")
    foreach(group RANGE 0 10)
      math(EXPR offset "${group} * 6")
      if(group LESS 10)
        string(SUBSTRING "${hex}" ${offset} 6 bits)
        math(EXPR value "0x${bits}")
        set(count 4)
      else()
        string(SUBSTRING "${hex}" ${offset} 4 bits)
        math(EXPR value "0x${bits} << 8")
        set(count 3)
      endif()
      foreach(i RANGE 1 ${count})
        math(EXPR index "(${value} >> (24 - 6 * ${i})) & 63")
        string(SUBSTRING "${base64}" ${index} 1 char)
        string(APPEND encoded "${char}")
      endforeach()
    endforeach()
    set(${out} "'sha256-${encoded}='" PARENT_SCOPE)
  endfunction()

  file(READ ${QZ_PAGE_INPUT} page)
  string(FIND "${page}" ")qzpage\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${QZ_PAGE_INPUT} holds the end of the raw string that carries it")
  endif()
  element_hash("${page}" script script_hash)
  element_hash("${page}" style style_hash)
  file(WRITE ${QZ_PAGE_OUTPUT}
    "// Generated from ${QZ_PAGE_INPUT}; do not edit.\n#pragma once\n\n#include <string_view>\n\n"
    "namespace qz::embedded {\n\n"
    "inline constexpr std::string_view kScriptHash = \"${script_hash}\";\n"
    "inline constexpr std::string_view kStyleHash = \"${style_hash}\";\n"
    "inline constexpr std::string_view kPage = R\"qzpage(${page})qzpage\";\n\n"
    "} // namespace qz::embedded\n")
endif()
