# Assembles the live page's template and writes it as a C++ source.
# Run with cmake -P and:
#   -DHTML=<track/page/live.html> -DCSS=<live.css> -DJS=<live.js>
#   -DUPLOT_JS=<uPlot.iife.min.js> -DUPLOT_CSS=<uPlot.min.css> -DUPLOT_LICENSE=<LICENSE>
#   -DOUT=<generated .cpp>
# The template is the HTML with the style sheets and scripts inlined (and
# uPlot's license in a comment), so that every page written is one file.
# It must be ASCII, and nothing inlined may end its element early.
cmake_minimum_required(VERSION 3.25)

foreach(var HTML CSS JS UPLOT_JS UPLOT_CSS UPLOT_LICENSE OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed-page.cmake: ${var} not given")
  endif()
endforeach()

file(READ ${HTML} page)
file(READ ${CSS} css)
file(READ ${JS} js)
file(READ ${UPLOT_JS} uplot_js)
file(READ ${UPLOT_CSS} uplot_css)
file(READ ${UPLOT_LICENSE} uplot_license)

# ends_early(<text> <what> <closing>...): fails when text holds a closing sequence.
function(ends_early text what)
  string(TOLOWER "${text}" lower)
  foreach(closing IN LISTS ARGN)
    string(FIND "${lower}" "${closing}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "embed-page.cmake: ${what} holds \"${closing}\", which would end its element in the page")
    endif()
  endforeach()
endfunction()
ends_early("${uplot_js}" ${UPLOT_JS} "</script" "<!--")
ends_early("${js}" ${JS} "</script" "<!--")
ends_early("${uplot_css}" ${UPLOT_CSS} "</style")
ends_early("${css}" ${CSS} "</style")
ends_early("${uplot_license}" ${UPLOT_LICENSE} "-->" "--!>")

# Our own parts first, then uPlot's, which cannot hold our marks.
string(REPLACE "@PAGE_CSS@" "${css}" page "${page}")
string(REPLACE "@PAGE_JS@" "${js}" page "${page}")
string(REPLACE "@UPLOT_LICENSE@" "${uplot_license}" page "${page}")
string(REPLACE "@UPLOT_CSS@" "${uplot_css}" page "${page}")
string(REPLACE "@UPLOT_JS@" "${uplot_js}" page "${page}")

# The marks that the writer fills, once each and in this order.
foreach(mark @QARVEL_TITLE@ @QARVEL_DATA@)
  string(FIND "${page}" "${mark}" first)
  string(FIND "${page}" "${mark}" last REVERSE)
  if(first EQUAL -1 OR NOT first EQUAL last)
    message(FATAL_ERROR "embed-page.cmake: the page must hold ${mark} exactly once")
  endif()
endforeach()

file(WRITE ${OUT}.txt "${page}")
file(READ ${OUT}.txt hex HEX)
file(REMOVE ${OUT}.txt)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
string(REGEX MATCH "0x[89a-f][0-9a-f]," wide "${hex}")
if(wide)
  message(FATAL_ERROR "embed-page.cmake: the page is not ASCII (${HTML}, ${CSS}, ${JS} or uPlot)")
endif()
file(WRITE ${OUT}.new "// Made by cmake/embed-page.cmake from track/page/ and uPlot; do not edit.
#include \"track/page_template.h\"

extern const char kLivePageTemplate[] = {${hex}0};
")
# Written only when it changed, so that an unchanged page compiles nothing.
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.new)
