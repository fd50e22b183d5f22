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
