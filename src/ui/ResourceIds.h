// Ids of the templates, menus, controls and commands, as the tables in res/
// number them.
#pragma once

namespace tavro {

// Templates and menus.
inline constexpr int IDD_MAIN = 103;
inline constexpr int IDR_MAINMENU = 138;

// Main window controls.
inline constexpr int IDC_WAN_ADDRESS = 1045;
inline constexpr int IDC_LAN_ADDRESS = 1046;
inline constexpr int IDC_LOG = 10031;

// Commands of the menu bar and the popup menus. 1 and 2 are the dialog's own
// OK and Cancel.
inline constexpr int IDOK_COMMAND = 1;
inline constexpr int IDCANCEL_COMMAND = 2;
inline constexpr int IDM_SETTING = 32773;
inline constexpr int ID_TRAYICON = 32776;
inline constexpr int IDM_PUBLISH = 32778;
inline constexpr int IDM_UNPUBLISH = 32779;
inline constexpr int IDM_UPDATE = 32780;
inline constexpr int IDM_VIEW = 32781;
inline constexpr int IDM_EXIT = 32782;
inline constexpr int IDM_COPY = 32783;
inline constexpr int IDM_HELP = 32784;
inline constexpr int IDM_VERSION = 32785;
inline constexpr int IDM_PROJECT = 32786;
inline constexpr int IDM_WRITELOG = 32787;
inline constexpr int IDM_CANSEL = 32788;

}  // namespace tavro
