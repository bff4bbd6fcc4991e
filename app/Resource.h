#pragma once

// Numbers of the program's resources, as the dialog templates, the string table and the
// window menu use them.

// Icon: the application icon.
constexpr unsigned IDR_MAINFRAME = 128;

// String: the text of the About item of the main dialog's window menu.
constexpr unsigned IDS_ABOUTBOX = 101;

// Command id of the About item; window-menu commands leave the low four bits free.
constexpr unsigned IDM_ABOUTBOX = 0x0010;

// Controls of the main dialog.
constexpr int IDC_BUTTON_PORT_LISTEN = 1000;
constexpr int IDC_BUTTON_SOCKET_DUPLICATE = 1001;
constexpr int IDC_EDIT_LOG = 1002;
constexpr int IDC_STATIC_STATUS = 1003;

// Controls of the port dialog.
constexpr int IDC_EDIT_PORT = 1002;
