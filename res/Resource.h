// Numeric identifiers of commands, controls, dialogs, menus, pictures, timers and strings.
// These are the values the program dispatches and loads by.
#pragma once

// Dialog templates
#define IDD_ABOUTBOX            100
#define IDD_FERNAPP_DIALOG      102
#define IDD_VIEWBACKUP          129
#define IDD_ERRORDLG            134
#define IDD_OPTIONS             136
#define IDD_OWPROMPT            141

// Menus and toolbar
#define IDR_SETMENU             132
#define IDR_VIEWMENU            133
#define IDR_TRAYMENU            134
#define IDR_VIEWTOOLBAR         130

// Icons
#define IDR_MAINFRAME           128
#define IDI_DRIVE               135
#define IDI_NODRIVE             136
#define IDI_ERRORROW            137
#define IDI_FULLSET             138
#define IDI_QUICKSET            139
#define IDI_ERRORBIG            140
#define IDI_QUESTION            141
#define IDI_FOLDER              142
#define IDI_FILE                143

// Bitmaps: toolbar strip 130, button pictures 133 to 168
#define IDB_VIEWTOOLBAR         130
#define IDB_FIRST_BUTTON        133
#define IDB_LAST_BUTTON         168

// Standard dialog commands
#define IDOK                    1
#define IDCANCEL                2

// Main dialog controls and commands
#define IDC_LIST_SETS           1000
#define IDC_STATUS              1001
#define IDC_QUICKBACKUP         1002
#define IDC_SCHEDULE            1003
#define IDC_DELETE              1004
#define IDC_RESTORE             1005
#define IDC_VIEW                1006
#define IDC_PROGRESS            1007
#define IDC_DRIVEINFO           1008
#define IDC_FULLBACKUP          1009
#define IDC_ABOUT               1010
#define IDC_DRIVENAME           1015
#define IDC_CANCELRUN           1016
#define IDC_DRIVEICON           1017
#define IDC_MINIMIZE            3
#define ID_TRAY_OPEN            32785

// Options dialog controls
#define IDC_ENABLE_FULL         1018
#define IDC_ENABLE_QUICK        1019
#define IDC_FULL_TEXT           1020
#define IDC_FULL_DAYS           1021
#define IDC_QUICK_TEXT          1022
#define IDC_QUICK_DAYS          1023
#define IDC_QUICK_SPIN          1024
#define IDC_FULL_SPIN           1025
#define IDC_PURGE_DAYS          1026

// Overwrite prompt controls
#define IDC_OW_YES              1025
#define IDC_OW_YESTOALL         1026
#define IDC_OW_NOTOALL          1027
#define IDC_OW_FILENAME         1028

// Error list control
#define IDC_ERRORLIST           1000

// Viewer controls and commands
#define IDC_TREE                1002
#define IDC_VIEW_STATUS         1003
#define ID_RESTORE_CHECKED      32771
#define ID_COPY_TO_CLIPBOARD    32772
#define ID_PREVIEW              32779
#define AFX_IDW_TOOLBAR         0xE800

// Main dialog timers
#define TIMER_BLINK             2
#define TIMER_STATUS            3
#define TIMER_SCHEDULE          4

// Tray and window messages, system-menu command
#define ID_TRAY_ICON            9002
#define WM_TRAY_NOTIFY          9003
#define WM_HIDE_TO_TRAY         9004
#define IDM_ABOUTBOX            16
#define WM_CHECK_CHANGED        0x402

// Device-change event codes
#define DBT_DEVICEARRIVAL         0x8000
#define DBT_DEVICEQUERYREMOVE     0x8001
#define DBT_DEVICEREMOVECOMPLETE  0x8004

// Strings
#define IDS_ABOUTBOX            101
#define IDS_FILE_NONE           61856   // "No error occurred."
#define IDS_FILE_GENERIC        61857
#define IDS_FILE_NOTFOUND       61858
#define IDS_FILE_BADPATH        61859
#define IDS_FILE_TOOMANYOPEN    61860
#define IDS_FILE_ACCESSDENIED   61861
#define IDS_FILE_INVALIDFILE    61862
#define IDS_FILE_REMOVECURRENT  61863
#define IDS_FILE_DIRFULL        61864
#define IDS_FILE_BADSEEK        61865
#define IDS_FILE_HARDIO         61866
#define IDS_FILE_SHARING        61867
#define IDS_FILE_LOCKING        61868
#define IDS_FILE_DISKFULL       61869
#define IDS_FILE_ENDOFFILE      61870
// Added after the table above: causes whose nearest text there would mislead.
#define IDS_FILE_EXISTS         61871   // "File already exists. Cannot overwrite."
#define IDS_FILE_ISFOLDER       61872
#define IDS_FILE_NAMETOOLONG    61873
