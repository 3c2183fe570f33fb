// Numeric identifiers of the tray menu's commands and the dialogs' controls.
// Every control carries its id as its object name, so the ids stay the way
// to find a control.
#pragma once

namespace ids {

// Tray menu (IDR_TRAYMENU).
inline constexpr int ID_MENU_SETTINGS = 32777;
inline constexpr int ID_MENU_SERVER_START = 32778;
inline constexpr int ID_MENU_SERVER_STOP = 32779;
inline constexpr int ID_MENU_EXIT = 32780;

// Buttons shared by both dialogs.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

// Main settings dialog.
inline constexpr int IDC_CHECK_AUTOSTART = 1004;
inline constexpr int IDC_EDIT_USERID = 1006;
inline constexpr int IDC_EDIT_PASSWORD = 1007;
inline constexpr int IDC_EDIT_HOMEPATH = 1008;
inline constexpr int IDC_CHECK_ANONYMOUS = 1009;
inline constexpr int IDC_BUTTON_BROWSE = 1010;
inline constexpr int IDC_STATIC_VERSION = 1011;
inline constexpr int IDC_STATIC_IPADDRESS = 1012;
inline constexpr int IDC_BUTTON_NETWORK = 1013;

// Network settings dialog.
inline constexpr int IDC_EDIT_PORT = 1002;
inline constexpr int IDC_EDIT_TIMEOUT = 1003;
inline constexpr int IDC_COMBO_IPADDRESS = 1015;
inline constexpr int IDC_CHECK_PLAINSCAN = 1016;
// Its FTPS group, an addition below the template's controls.
inline constexpr int IDC_GROUP_TLS = 1017;
inline constexpr int IDC_RADIO_TLS_OFF = 1018;  // 1018 + TlsMode
inline constexpr int IDC_RADIO_TLS_OFFERED = 1019;
inline constexpr int IDC_RADIO_TLS_REQUIRED = 1020;
inline constexpr int IDC_EDIT_TLS_FINGERPRINT = 1021;
inline constexpr int IDC_BUTTON_TLS_EXPORT = 1022;
inline constexpr int IDC_CHECK_TLS_LEGACY = 1023;

}  // namespace ids
