# SPDX-License-Identifier: LGPL-2.1-or-later
# Shared libraries that export their C API and nothing else.
#
# kov_public_api_compile(<target> <header>...)
#   Compiles <target> with hidden visibility. Every source first includes a
#   generated header that includes the given public headers (as
#   <kovkit/...> names) between `#pragma GCC visibility push(default)` and
#   `pop`: what the public headers declare keeps default visibility, without
#   a marker on each declaration, and the headers stay plain C for
#   g-ir-scanner and for readers.
# kov_public_api_link(<shared library>)
#   Links with a version script that keeps everything but kov_* local (the
#   C++ standard library's template instances would otherwise be exported
#   despite hidden visibility) and hides the symbols of static libraries.

set(KOV_EXPORTS_MAP ${CMAKE_CURRENT_LIST_DIR}/exports.map)

function(kov_public_api_compile target)
  set(content "/* Generated: the public headers of ${target}, whose declarations keep\n * default visibility in a library built with hidden visibility. */\n")
  string(APPEND content "#pragma GCC visibility push(default)\n")
  foreach(header ${ARGN})
    string(APPEND content "#include <${header}>\n")
  endforeach()
  string(APPEND content "#pragma GCC visibility pop\n")
  set(api_header ${CMAKE_CURRENT_BINARY_DIR}/${target}-public-api.h)
  file(GENERATE OUTPUT ${api_header} CONTENT "${content}")
  target_compile_options(${target} PRIVATE "SHELL:-include ${api_header}")
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

function(kov_public_api_link target)
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${KOV_EXPORTS_MAP} -Wl,--exclude-libs,ALL)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${KOV_EXPORTS_MAP})
endfunction()
