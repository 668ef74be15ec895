// Ids of the settings dialog (resource 23456) and its controls.
#pragma once

#define IDD_SETTINGS          23456
#define IDC_SET_RESET         1013
#define IDC_SET_INCLUDE       1014
#define IDC_SET_EXCLUDE       1015
#define IDC_SET_FILTERLIST    1016
#define IDC_SET_HIGHLIGHT     1017
#define IDC_SET_TRIGGER       1018
#define IDC_SET_AUTOSTART     1003
#define IDC_SET_AUTOSTOP      1004
#define IDC_SET_TOPMOST       1005
#define IDC_SET_MAXLINES      1023
#define IDC_SET_FILEDIR       1024
#define IDC_SET_DELLINES      1025
#define IDC_SET_SELECTED      1026
#define IDC_SET_HISTORY       1027
#define IDC_SET_EXECCMD       1028
#define IDC_SET_MARK          1030
#define IDC_SET_TEST          1032
#define IDC_SET_STOPTRACE     1033
#define IDC_SET_STOPSCROLL    1034
#define IDC_SET_STOPFILE      1035
#define IDC_SET_EXECUTE       1036
#define IDC_SET_ONCE          1038
