// Resource identifiers of the host program, shared by its resource script and its code.
#pragma once

#define IDI_ZELFIN 128

// The wait window shown while the device lists are made and the plug-ins start.
#define IDD_WAIT 160
#define IDC_WAIT_TEXT 1100

// The configuration editor (CfgEdtDlg) and its option dialog (OptionDlg).
#define IDD_CONFIG_EDITOR 138
#define IDC_OPTION_LIST 1016
#define IDC_DOWNLOAD_LIST 1018
#define IDC_ADD_OPTION 1023
#define IDC_DELETE_OPTION 1024
#define IDC_MOVE_UP 1025
#define IDC_MOVE_DOWN 1026
#define IDC_EDIT_OPTION 1030
#define IDC_SAVE 1031
#define IDC_OPTIONS_GROUP 1044
#define IDC_DOWNLOADS_GROUP 1045

#define IDD_OPTION 136
#define IDC_OPTION_KEY_TEXT 1021
#define IDC_OPTION_NUMBER 1022
#define IDC_KIND_YESNO 1027
#define IDC_KIND_NUMBER 1028
#define IDC_OPTION_YESNO 1029
#define IDC_KIND_GROUP 1032
#define IDC_OPTION_LABEL 1046
#define IDC_VALUE_LABEL 1047
#define IDC_OPTION_KEYS 1055

// The About box.
#define IDD_ABOUT 100
#define IDC_ABOUT_VERSION 1036
#define IDC_ABOUT_PLUGINS 1037
#define IDC_ABOUT_NOTICE 1038
#define IDC_ABOUT_LINK 1061

// The configured run's dialog (CfgModeDlg).
#define IDD_CFG_MODE 129
#define IDC_RUN_DEVICE_INFO 1004
#define IDC_RUN_LIST 1007
#define IDC_RUN_IMAGE_BAR 1009
#define IDC_RUN_CLOSE 1033
#define IDC_RUN_PLUGIN_TEXT 1038
#define IDC_RUN_INSTRUCTION 1043
#define IDC_RUN_OVERALL_BAR 1048
#define IDC_RUN_TEXT 1049
#define IDC_RUN_OVERALL_LABEL 1051
#define IDC_RUN_IMAGE_LABEL 1052
#define IDC_RUN_START 1057

// The interactive main dialog (ZelfinDlg): 102 with the download/upload choice, 152 without.
#define IDD_MAIN 102
#define IDD_MAIN_DOWNLOAD_ONLY 152
#define IDC_MODE_DOWNLOAD 1000
#define IDC_MODE_UPLOAD 1001
#define IDC_FILE_PATH 1002
#define IDC_BROWSE 1003
#define IDC_MAIN_PROGRESS 1005
#define IDC_DEVICE_CHOICE 1006
#define IDC_START 1010
#define IDC_MAIN_DEVICE_INFO 1012
#define IDC_PROGRESS_TEXT 1035
#define IDC_MODE_GROUP 1040
#define IDC_FILE_GROUP 1041
#define IDC_DEVICE_GROUP 1042

// The device information dialog (DevInfo).
#define IDD_DEVICE_INFO 130
#define IDC_INFO_ROWS 1006
#define IDC_INFO_READERS 1013
#define IDC_INFO_SAVE 1017
#define IDC_INFO_READERS_LABEL 1037
#define IDC_INFO_HEADING 1038
