# The id header's generator on copies of res/ with the faults a table edit
# can bring in: each must stop the build with the line at fault, and the
# tables as they are must give the header the code compiles against.
#
#   cmake -DRES_DIR=<res> -DGENERATOR=<ResourceIds.cmake> -DWORK_DIR=<scratch> -P resourceids_test.cmake

set(failures "")

# Runs the generator on res/ with `file` (relative to res/) changed by
# replacing `from` with `to`; `expect` is "ok" or a text the error must hold.
function(check label file from to expect)
  set(copy "${WORK_DIR}/${label}")
  file(REMOVE_RECURSE "${copy}")
  file(MAKE_DIRECTORY "${copy}/icons")
  file(COPY "${RES_DIR}/dialogs" "${RES_DIR}/menus" DESTINATION "${copy}")
  file(GLOB icon_files "${RES_DIR}/icons/*.ids" "${RES_DIR}/icons/*.svg")
  file(COPY ${icon_files} DESTINATION "${copy}/icons")
  if(NOT file STREQUAL "")
    file(READ "${copy}/${file}" text)
    string(FIND "${text}" "${from}" at)
    if(at LESS 0)
      string(APPEND failures "${label}: \"${from}\" is not in ${file}\n")
      set(failures "${failures}" PARENT_SCOPE)
      return()
    endif()
    string(REPLACE "${from}" "${to}" text "${text}")
    file(WRITE "${copy}/${file}" "${text}")
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DRES_DIR=${copy} -DOUTPUT=${copy}/ResourceIds.h -P ${GENERATOR}
    RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_QUIET)
  string(REGEX REPLACE "[ \t\r\n]+" " " error "${error}")
  if(expect STREQUAL "ok")
    if(NOT result EQUAL 0)
      string(APPEND failures "${label}: failed: ${error}\n")
    else()
      file(READ "${copy}/ResourceIds.h" header)
      foreach(line IN ITEMS "inline constexpr int IDC_TOGGLE = 10008;"
                            "inline constexpr int IDOK = 1;"
                            "inline constexpr int IDM_CANSEL = 32788;"
                            "inline constexpr int IDI_FOLDER = 10002;")
        string(FIND "${header}" "${line}" at)
        if(at LESS 0)
          string(APPEND failures "${label}: the header lacks \"${line}\"\n")
        endif()
      endforeach()
      # Each name once, though several tables give IDOK and IDC_SERVER.
      string(REGEX MATCHALL "int IDOK =" oks "${header}")
      list(LENGTH oks ok_count)
      if(NOT ok_count EQUAL 1)
        string(APPEND failures "${label}: IDOK defined ${ok_count} times\n")
      endif()
    endif()
  elseif(result EQUAL 0)
    string(APPEND failures "${label}: accepted\n")
  else()
    string(FIND "${error}" "${expect}" at)
    if(at LESS 0)
      string(APPEND failures "${label}: the error lacks \"${expect}\": ${error}\n")
    endif()
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

check(as_they_are "" "" "" ok)
# The settings dialog's server field renumbered, the browser's left alone.
check(name_with_two_ids dialogs/130.dlg "IDC_SERVER=10018" "IDC_SERVER=10040"
  "dialogs/130.dlg:20: IDC_SERVER is 10040 here but 10018 at name_with_two_ids/dialogs/129.dlg:16")
check(id_with_two_names dialogs/103.dlg "IDC_WAN_ADDRESS=1045" "IDC_WAN_ADDRESS=1046"
  "dialogs/103.dlg:13: 1046 is named IDC_WAN_ADDRESS here but IDC_LAN_ADDRESS at id_with_two_names/dialogs/103.dlg:11")
check(id_line_with_a_control_name dialogs/130.dlg "IDC_LIST=10011" "IDC_LIST=10018"
  "10018 is named IDC_LIST here but IDC_SERVER")
check(unnamed_control dialogs/141.dlg "IDC_FERNO=1051" "1051" "141.dlg:11: the control id \"1051\" needs a name")
check(unnamed_command menus/140.menu "IDM_VIEW=32781" "32781" "140.menu:9: the item id \"32781\" needs a name")
check(icon_without_picture icons/icons.ids "IDI_UP=10003" "IDI_UP=10093" "icon 10093 has no 10093.svg")
# The same number under two names in two tables is allowed: the log and
# the browser's status list are both 10031.
check(same_number_in_two_tables dialogs/103.dlg "IDC_LOG=10031" "IDC_LOG=10031" ok)

if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${failures}")
endif()
