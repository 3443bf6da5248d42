// Numbers of the dialog templates and of their controls. Plain macros: the
// resource compiler reads this file as well as the compiler.
#pragma once

// Dialog templates.
#define IDD_PROGRESS_MODERN 101
#define IDD_PROGRESS_CLASSIC 108
#define IDD_WAIT 123
#define IDD_INPUT 132

// Progress dialogs: both variants.
#define IDC_PROGRESS_ANIMATION 1001
#define IDC_PROGRESS_BAR 1002
// Modern variant.
#define IDC_PROGRESS_LINE1 1003
#define IDC_PROGRESS_PANEL 1004
#define IDC_PROGRESS_LINE2 1005
// Classic variant.
#define IDC_PROGRESS_CLASSIC_LINE1 1006
#define IDC_PROGRESS_CLASSIC_LINE2 1007

// The etched line under the white band of the input and list dialogs.
#define IDC_BAND_SEPARATOR 1018

// Input dialog. The three edits lie on top of each other; one is shown.
#define IDC_INPUT_PROMPT 1019
#define IDC_INPUT_TEXT 1020
#define IDC_INPUT_PASSWORD 1021
#define IDC_INPUT_PASSWORD_OTHER 1022

// Wait dialog of analysis and defragmentation.
#define IDC_WAIT_ANIMATION 1014
#define IDC_WAIT_TEXT 1015

// The "Coffrex tools" page of a storage file's Properties dialog.
#define IDD_STORAGE_TOOLS 120
#define IDC_TOOLS_VIEW_KEY 1011
#define IDC_TOOLS_DEFRAGMENT 1012
#define IDC_TOOLS_INSTALL_KEY 1013
#define IDC_TOOLS_FREEZE 1017
#define IDC_TOOLS_UNFREEZE 1018
#define IDC_TOOLS_ATTACH_KEY 1021
#define IDC_TOOLS_DETACH_KEY 1022
#define IDC_TOOLS_EXPORT_KEY 1023
#define IDC_TOOLS_UNINSTALL_KEY 1024

// The "List of corrupted files" dialog.
#define IDD_CORRUPTED_FILES 118
#define IDC_CORRUPTED_CLOSE 1002
#define IDC_CORRUPTED_TREE 1003
#define IDC_CORRUPTED_DELETE 1004

// The "General" page of a storage item's Properties.
#define IDD_ITEM_GENERAL 119
#define IDC_ITEM_ICON 1006
#define IDC_ITEM_TYPE 1007
#define IDC_ITEM_NAME 1008
#define IDC_ITEM_COMMENT 1009
#define IDC_ITEM_SIZE 1010
