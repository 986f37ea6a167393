# Writes CHANGELOG.md in Debian's changelog syntax, for the package's
# /usr/share/doc/qarvel/changelog.gz (compressed by the caller).
#
# cmake -DIN=CHANGELOG.md -DOUT=changelog -DPACKAGE=qarvel -DVERSION=1.0.0
#       -DMAINTAINER="Name <address>" -P debian-changelog.cmake
#
# Each `## VERSION (YYYY-MM-DD)` section becomes one entry, its `- ` items
# the entry's `  * ` items and their indented lines the items' further lines.
# Stops with an error when the newest section is not VERSION, when a section
# has no items or no valid date, or when an item's line would be longer than
# 80 characters: a package whose changelog does not name its own version, or
# breaks its syntax, is one that Debian's tools reject.
cmake_minimum_required(VERSION 3.25)

foreach(var IN ITEMS IN OUT PACKAGE VERSION MAINTAINER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "debian-changelog: ${var} is not set")
  endif()
endforeach()

# The day of the week, 0 for Sunday (Sakamoto's method), for the entry's
# RFC 2822 date.
function(week_day year month day out)
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${month} - 1")
  list(GET offsets ${index} offset)
  if(month LESS 3)
    math(EXPR year "${year} - 1")
  endif()
  math(EXPR weekday
    "(${year} + ${year} / 4 - ${year} / 100 + ${year} / 400 + ${offset} + ${day}) % 7")
  set(${out} ${weekday} PARENT_SCOPE)
endfunction()

set(day_names Sun Mon Tue Wed Thu Fri Sat)
set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)

file(STRINGS "${IN}" lines ENCODING UTF-8)
set(text "")
set(entry "")     # the version of the entry being written, or empty
set(trailer "")
set(items 0)
set(newest "")

macro(end_entry)
  if(NOT entry STREQUAL "")
    if(items EQUAL 0)
      message(FATAL_ERROR "debian-changelog: ${IN}: version ${entry} has no items")
    endif()
    string(APPEND text "\n${trailer}\n")
  endif()
endmacro()

foreach(line IN LISTS lines)
  if(line MATCHES "^## ")
    end_entry()
    if(NOT line MATCHES "^## ([0-9][0-9A-Za-z.+~-]*) \\(([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\\)$")
      message(FATAL_ERROR "debian-changelog: ${IN}: not a `## VERSION (YYYY-MM-DD)` heading: ${line}")
    endif()
    set(entry "${CMAKE_MATCH_1}")
    set(year "${CMAKE_MATCH_2}")
    set(month "${CMAKE_MATCH_3}")
    set(day "${CMAKE_MATCH_4}")
    if(month LESS 1 OR month GREATER 12 OR day LESS 1 OR day GREATER 31)
      message(FATAL_ERROR "debian-changelog: ${IN}: no such date: ${line}")
    endif()
    if(newest STREQUAL "")
      set(newest "${entry}")
    endif()
    week_day(${year} ${month} ${day} weekday)
    list(GET day_names ${weekday} day_name)
    math(EXPR month_index "${month} - 1")
    list(GET month_names ${month_index} month_name)
    if(NOT text STREQUAL "")
      string(APPEND text "\n")
    endif()
    string(APPEND text "${PACKAGE} (${entry}) unstable; urgency=medium\n\n")
    set(trailer " -- ${MAINTAINER}  ${day_name}, ${day} ${month_name} ${year} 00:00:00 +0000")
    set(items 0)
  elseif(entry STREQUAL "")
    # The preamble before the first version.
  elseif(line MATCHES "^- (.*)$")
    string(APPEND text "  * ${CMAKE_MATCH_1}\n")
    math(EXPR items "${items} + 1")
  elseif(line MATCHES "^  ([^ ].*)$" AND items GREATER 0)
    string(APPEND text "    ${CMAKE_MATCH_1}\n")
  elseif(NOT line STREQUAL "")
    message(FATAL_ERROR "debian-changelog: ${IN}: neither an item nor its further line: ${line}")
  endif()
endforeach()
end_entry()

if(NOT newest STREQUAL VERSION)
  message(FATAL_ERROR
    "debian-changelog: the newest section of ${IN} is `${newest}`, not this version, ${VERSION}")
endif()
string(REPLACE "\n" ";" written "${text}")
foreach(line IN LISTS written)
  if(line MATCHES "^ -- ")
    continue()  # the trailer: maintainer and date, as long as they are
  endif()
  string(LENGTH "${line}" length)
  if(length GREATER 80)
    message(FATAL_ERROR "debian-changelog: longer than 80 characters: ${line}")
  endif()
endforeach()
file(WRITE "${OUT}" "${text}")
