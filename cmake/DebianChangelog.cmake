# SPDX-License-Identifier: MIT
# Turns CHANGELOG.md (Keep a Changelog: "## [X.Y.Z] - YYYY-MM-DD", then
# "### Added/Changed/Fixed/..." and "- " items) into the Debian changelog
# that each package carries, so that the release notes are written once.
# It fails when CHANGELOG.md has no section for VERSION, which keeps the
# project() version and the changelog in step.
#
#   cmake -DCHANGELOG=CHANGELOG.md -DVERSION=0.2.0 -DSOURCE=orva-storagelink
#         -DMAINTAINER="Name <address>" [-DOUTPUT=changelog] -P DebianChangelog.cmake
#
# Without OUTPUT it only checks.

cmake_minimum_required(VERSION 3.16)

foreach(var CHANGELOG VERSION SOURCE MAINTAINER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "DebianChangelog.cmake: ${var} not given")
  endif()
endforeach()

file(STRINGS "${CHANGELOG}" lines ENCODING UTF-8)

set(releases "")        # versions in file order, newest first
set(current "")         # version whose section is being read
set(pending "")         # the item being gathered (items may wrap)

macro(flush_item)
  if(NOT pending STREQUAL "" AND NOT current STREQUAL "")
    string(APPEND body_${current} "${pending}\n")
  endif()
  set(pending "")
endmacro()

foreach(line IN LISTS lines)
  if(line MATCHES "^## \\[([0-9][0-9A-Za-z.+~]*)\\] - ([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])")
    flush_item()
    set(current "${CMAKE_MATCH_1}")
    set(date_${current} "${CMAKE_MATCH_2}")
    set(body_${current} "")
    list(APPEND releases "${current}")
  elseif(line MATCHES "^## ")
    # [Unreleased] and anything else that is not a release
    flush_item()
    set(current "")
  elseif(current STREQUAL "")
  elseif(line MATCHES "^### (.+)$")
    flush_item()
    string(APPEND body_${current} "  * ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^- (.*)$")
    flush_item()
    set(pending "    - ${CMAKE_MATCH_1}")
  elseif(line MATCHES "^  +(.*)$" AND NOT pending STREQUAL "")
    string(APPEND pending "\n      ${CMAKE_MATCH_1}")
  else()
    flush_item()
  endif()
endforeach()
flush_item()

if(NOT VERSION IN_LIST releases)
  message(FATAL_ERROR "${CHANGELOG} has no section \"## [${VERSION}] - YYYY-MM-DD\" "
                      "for the project version ${VERSION}")
endif()
list(GET releases 0 newest)
if(NOT newest STREQUAL VERSION)
  message(FATAL_ERROR "${CHANGELOG}: the newest release is ${newest}, "
                      "the project version ${VERSION}")
endif()

if(NOT DEFINED OUTPUT)
  return()
endif()

set(text "")
foreach(release IN LISTS releases)
  # Debian wants RFC 5322 dates; the release day at noon UTC.
  execute_process(COMMAND date -u -R -d "${date_${release}} 12:00:00 UTC"
    OUTPUT_VARIABLE when OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${CHANGELOG}: cannot read the date ${date_${release}} of ${release}")
  endif()
  string(APPEND text "${SOURCE} (${release}) unstable; urgency=medium\n\n"
                     "${body_${release}}\n -- ${MAINTAINER}  ${when}\n\n")
endforeach()
string(STRIP "${text}" text)
file(WRITE "${OUTPUT}" "${text}\n")
