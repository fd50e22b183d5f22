// Ids of the toolkit's test dialog, shared by its resource script and the tests.
#pragma once

#define IDD_TEST 300
#define IDI_TEST 301

#define IDC_HEADING 1001
#define IDC_MODE_GROUP 1002
#define IDC_DOWNLOAD 1003
#define IDC_UPLOAD 1004
#define IDC_OPTIONS_GROUP 1005
#define IDC_BACKUP 1006
#define IDC_RETRIES 1007
#define IDC_PATH 1008
#define IDC_BROWSE 1009
#define IDC_READERS 1010
#define IDC_LIST 1011
#define IDC_MOVE_UP 1012
#define IDC_MOVE_DOWN 1013
#define IDC_PROGRESS 1014
#define IDC_STATUS 1015
#define IDC_START 1016
#define IDC_LINK 1017
