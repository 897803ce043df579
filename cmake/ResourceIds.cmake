# Writes the C++ header of every named id in res/: dialog templates, their
# controls and other ids, menus and their commands, icons. The tables are the
# one place an id is numbered; code and tests use the names this header gives.
#
#   cmake -DRES_DIR=<res> -DOUTPUT=<header> -P ResourceIds.cmake
#
# A name stands for one number everywhere, since the header has one
# namespace. Within one table a number has one name; two tables may name the
# same number differently (the main window's log and the browser's status
# list are both 10031). Every id a table defines must be named. The header is
# rewritten only when its text changes, so editing a caption rebuilds nothing.

if(NOT RES_DIR OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DRES_DIR=<res> -DOUTPUT=<header> -P ResourceIds.cmake")
endif()

set(errors "")
set(body "")

# Reads one table and adds its definitions. `kinds` are the line keys that
# define an id in this kind of table.
function(read_table path kinds)
  file(RELATIVE_PATH shown "${RES_DIR}/.." "${path}")
  file(READ "${path}" text)
  # One list element per line: list separators and brackets in texts must
  # not split or join lines.
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(REPLACE "[" "<open>" text "${text}")
  string(REPLACE "]" "<close>" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  list(JOIN kinds "|" keys)
  set(line_no 0)
  set(section "")
  foreach(line IN LISTS lines)
    math(EXPR line_no "${line_no} + 1")
    if(NOT line MATCHES "^[ \t]*(${keys})[ \t]+([^ \t#]+)")
      continue()
    endif()
    set(key "${CMAKE_MATCH_1}")
    set(token "${CMAKE_MATCH_2}")
    if(token STREQUAL "-")
      continue()
    endif()
    if(NOT token MATCHES "^([A-Za-z_][A-Za-z0-9_]*)=([1-9][0-9]*)$")
      string(APPEND errors "${shown}:${line_no}: the ${key} id \"${token}\" needs a name: NAME=NUMBER\n")
      continue()
    endif()
    set(name "${CMAKE_MATCH_1}")
    set(number "${CMAKE_MATCH_2}")
    set(where "${shown}:${line_no}")
    if(DEFINED id_of_${name})
      if(NOT id_of_${name} EQUAL number)
        string(APPEND errors
          "${where}: ${name} is ${number} here but ${id_of_${name}} at ${where_${name}}\n")
      endif()
    else()
      # Names are shared by every table; what a number is named, per table.
      set(id_of_${name} ${number} PARENT_SCOPE)
      set(id_of_${name} ${number})
      set(where_${name} "${where}" PARENT_SCOPE)
      set(where_${name} "${where}")
      string(APPEND section "inline constexpr int ${name} = ${number};\n")
    endif()
    if(DEFINED name_of_${number})
      if(NOT name_of_${number} STREQUAL name)
        string(APPEND errors
          "${where}: ${number} is named ${name} here but ${name_of_${number}} at ${where_of_${number}}\n")
      endif()
    else()
      set(name_of_${number} ${name})
      set(where_of_${number} "${where}")
    endif()
    if(key STREQUAL "icon")
      get_filename_component(folder "${path}" DIRECTORY)
      if(NOT EXISTS "${folder}/${number}.svg")
        string(APPEND errors "${where}: icon ${number} has no ${number}.svg beside this table\n")
      endif()
    endif()
  endforeach()
  if(NOT section STREQUAL "")
    string(APPEND body "\n// ${shown}\n${section}")
  endif()
  set(body "${body}" PARENT_SCOPE)
  set(errors "${errors}" PARENT_SCOPE)
endfunction()

file(GLOB dialogs "${RES_DIR}/dialogs/*.dlg")
file(GLOB menus "${RES_DIR}/menus/*.menu")
file(GLOB icon_tables "${RES_DIR}/icons/*.ids")
list(SORT dialogs COMPARE NATURAL)
list(SORT menus COMPARE NATURAL)
# A dialog's "menu" line only refers to a menu; a menu table defines it.
foreach(table IN LISTS dialogs)
  read_table("${table}" "dialog;control;id")
endforeach()
foreach(table IN LISTS menus)
  read_table("${table}" "menu;item")
endforeach()
foreach(table IN LISTS icon_tables)
  read_table("${table}" "icon")
endforeach()

if(NOT errors STREQUAL "")
  message(FATAL_ERROR "ids in res/ do not agree:\n${errors}")
endif()

set(header "// Made from the tables in res/ at build time (cmake/ResourceIds.cmake).
// An id is numbered only there; change it there, never here.
#pragma once

namespace tavro {
${body}
}  // namespace tavro
")

if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
  if(previous STREQUAL header)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${header}")
