# Renders manual pages as one plain-text file with CRLF line ends, for the
# Windows zip (Notepad shows it as it is).
#
# cmake -DGROFF=/usr/bin/groff -DOUT=MANUAL.txt -DPAGES="a.1;b.1" -P manual-text.cmake
cmake_minimum_required(VERSION 3.25)

set(text "")
foreach(page IN LISTS PAGES)
  # One continuous page (-rcR=1), in plain characters: -Tascii, and grotty's
  # -c -b -u for no overstriking of bold or underlined words.
  execute_process(COMMAND "${GROFF}" -man -rcR=1 -Tascii -P-c -P-b -P-u "${page}"
    OUTPUT_VARIABLE rendered ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
    message(FATAL_ERROR "manual-text: groff failed on ${page} (${status}): ${errors}")
  endif()
  if(NOT text STREQUAL "")
    string(APPEND text "\n\n")
  endif()
  string(APPEND text "${rendered}")
endforeach()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
