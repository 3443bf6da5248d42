// Resource ids of cfxwiz.exe: its pages, their controls and its icons.
#pragma once

#define IDI_WIZARD 1
#define IDI_WIZARD_KEYS 2

#define IDD_WIZARD_KEY 101
#define IDD_WIZARD_OPTIONS 102
#define IDD_WIZARD_CONFIRM 103

// Every page: the header band and its texts, and Back (Next is IDOK, which
// reads "Finish" on the last page).
#define IDC_WIZARD_BAND 1000
#define IDC_WIZARD_TITLE 1001
#define IDC_WIZARD_SUBTITLE 1002
#define IDC_WIZARD_ICON 1003
#define IDC_WIZARD_BACK 1004

#define IDC_USE_CERTIFICATE 1010
#define IDC_CERTIFICATE 1011
#define IDC_USE_KEY_FILE 1012
#define IDC_KEY_FILE 1013
#define IDC_BROWSE 1014
#define IDC_PASSWORD 1015
#define IDC_PASSWORD_LABEL 1016
#define IDC_KEY_FILE_LABEL 1017
#define IDC_CHOOSE_CERTIFICATE 1018

#define IDC_ATTACH 1020
#define IDC_ATTACH_NOTE 1021

#define IDC_SUMMARY 1030
