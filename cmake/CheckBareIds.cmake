# Fails when a source file writes a template, control, menu, command or icon
# id as a number instead of by its name from ui/ResourceIds.h:
#
#   cmake -DHEADER=<build>/generated/ui/ResourceIds.h -DSRC_DIR=<src> -P CheckBareIds.cmake
#
# Every number the header names is looked for, in code and comments alike (a
# comment that gives a number goes stale as silently as code does), except 1
# and 2, which are everywhere: for those only a number handed straight to a
# call that takes an id, compared with a variable `id`, or given as a case of
# a command handler (a function taking `int id`) counts. A number inside a
# word or joined by a hyphen ("CAST-128", "128-bit") is not an id.

if(NOT HEADER OR NOT SRC_DIR)
  message(FATAL_ERROR "usage: cmake -DHEADER=<ResourceIds.h> -DSRC_DIR=<src> -P CheckBareIds.cmake")
endif()

file(STRINGS "${HEADER}" definitions REGEX "inline constexpr int [A-Za-z_0-9]+ = [0-9]+;")
set(numbers "")
foreach(definition IN LISTS definitions)
  string(REGEX REPLACE ".* = ([0-9]+);.*" "\\1" number "${definition}")
  if(number GREATER 2)
    list(APPEND numbers ${number})
  endif()
endforeach()
list(REMOVE_DUPLICATES numbers)
list(LENGTH numbers count)
if(count LESS 10)
  message(FATAL_ERROR "${HEADER} names only ${count} ids above 2: not the header this expects")
endif()
list(JOIN numbers "|" alternatives)
set(bare_number "(^|[^0-9A-Za-z_.-])(${alternatives})([^0-9A-Za-z_-]|$)")
set(id_call "(Build|Control<[^>]*>|ControlWidget|MenuItem|ContextMenuItem|OnCommand|LoadIconResource|FindControl<[^>]*>)\\(([^(),]*, *)?[0-9]+ *[),]")
set(id_compared "(^|[^A-Za-z0-9_])id [!=]= [0-9]+")
set(handler_start "^[^ /].*\\(int id\\)( const)? {$")

# Only the windowed layers can name a control: the core below them never
# includes the header, so a number there ("128 * 1024") is never an id.
file(GLOB_RECURSE sources "${SRC_DIR}/ui/*.h" "${SRC_DIR}/ui/*.cpp" "${SRC_DIR}/app/*.h" "${SRC_DIR}/app/*.cpp")
set(found "")
foreach(source IN LISTS sources)
  file(READ "${source}" text)
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(REPLACE "[" "<open>" text "${text}")
  string(REPLACE "]" "<close>" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  file(RELATIVE_PATH shown "${SRC_DIR}/.." "${source}")
  set(line_no 0)
  set(in_handler FALSE)
  foreach(line IN LISTS lines)
    math(EXPR line_no "${line_no} + 1")
    if(line MATCHES "${handler_start}")
      set(in_handler TRUE)
    elseif(line MATCHES "^}")
      set(in_handler FALSE)
    endif()
    set(bare_case FALSE)
    if(in_handler AND line MATCHES "^ *case [0-9]+:")
      set(bare_case TRUE)
    endif()
    if(line MATCHES "${bare_number}" OR line MATCHES "${id_call}" OR line MATCHES "${id_compared}"
       OR bare_case)
      string(STRIP "${line}" line)
      string(REPLACE "<semicolon>" ";" line "${line}")
      string(REPLACE "<open>" "[" line "${line}")
      string(REPLACE "<close>" "]" line "${line}")
      string(APPEND found "${shown}:${line_no}: ${line}\n")
    endif()
  endforeach()
endforeach()

if(NOT found STREQUAL "")
  message(FATAL_ERROR "ids written as numbers; use their names from ui/ResourceIds.h:\n${found}")
endif()
list(LENGTH sources files)
message(STATUS "${files} files, ${count} ids: none written as a number")
