// The control and common-control names the dialog toolkit works with: control styles,
// notification codes and file-dialog flags. The window functions, window styles, message-box flags
// and the rest of USER32 come from winsim's winuser.h.
#pragma once
#include <winsim/windows.h>

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// ---- buttons -------------------------------------------------------------------------------
#ifndef BS_PUSHBUTTON
#define BS_PUSHBUTTON 0x0000L
#define BS_DEFPUSHBUTTON 0x0001L
#define BS_CHECKBOX 0x0002L
#define BS_AUTOCHECKBOX 0x0003L
#define BS_RADIOBUTTON 0x0004L
#define BS_3STATE 0x0005L
#define BS_AUTO3STATE 0x0006L
#define BS_GROUPBOX 0x0007L
#define BS_AUTORADIOBUTTON 0x0009L
#define BS_OWNERDRAW 0x000BL
#define BS_TYPEMASK 0x000FL
#define BS_BITMAP 0x0080L
#endif
#ifndef BST_UNCHECKED
#define BST_UNCHECKED 0x0000
#define BST_CHECKED 0x0001
#define BST_INDETERMINATE 0x0002
#endif

// ---- statics, edits, combo boxes, list boxes -----------------------------------------------
#ifndef SS_LEFT
#define SS_LEFT 0x0000L
#define SS_CENTER 0x0001L
#define SS_RIGHT 0x0002L
#define SS_ICON 0x0003L
#define SS_LEFTNOWORDWRAP 0x000CL
#define SS_SIMPLE 0x000BL
#define SS_BITMAP 0x000EL
#define SS_ETCHEDHORZ 0x0010L
#define SS_ETCHEDVERT 0x0011L
#define SS_ETCHEDFRAME 0x0012L
#define SS_TYPEMASK 0x001FL
#define SS_NOPREFIX 0x0080L
#define SS_NOTIFY 0x0100L
#define SS_CENTERIMAGE 0x0200L
#define SS_SUNKEN 0x1000L
#endif
#ifndef ES_LEFT
#define ES_LEFT 0x0000L
#define ES_CENTER 0x0001L
#define ES_RIGHT 0x0002L
#define ES_MULTILINE 0x0004L
#define ES_PASSWORD 0x0020L
#define ES_AUTOVSCROLL 0x0040L
#define ES_AUTOHSCROLL 0x0080L
#define ES_READONLY 0x0800L
#define ES_NUMBER 0x2000L
#endif
#ifndef CBS_DROPDOWN
#define CBS_SIMPLE 0x0001L
#define CBS_DROPDOWN 0x0002L
#define CBS_DROPDOWNLIST 0x0003L
#define CBS_SORT 0x0100L
#define CBS_HASSTRINGS 0x0200L
#endif
#ifndef LBS_SORT
#define LBS_NOTIFY 0x0001L
#define LBS_SORT 0x0002L
#endif
#ifndef CB_ERR
#define CB_OKAY 0
#define CB_ERR (-1)
#define LB_OKAY 0
#define LB_ERR (-1)
#endif

// ---- list views and progress bars (commctrl) -----------------------------------------------
#define WC_LISTVIEWA "SysListView32"
#define PROGRESS_CLASSA "msctls_progress32"
#ifndef LVS_REPORT
#define LVS_ICON 0x0000
#define LVS_REPORT 0x0001
#define LVS_SINGLESEL 0x0004
#define LVS_SHOWSELALWAYS 0x0008
#define LVS_NOCOLUMNHEADER 0x4000
#define LVS_NOSORTHEADER 0x8000
#endif
#ifndef LVS_EX_CHECKBOXES
#define LVS_EX_GRIDLINES 0x00000001
#define LVS_EX_CHECKBOXES 0x00000004
#define LVS_EX_FULLROWSELECT 0x00000020
#endif
#ifndef LVIS_SELECTED
#define LVIS_FOCUSED 0x0001
#define LVIS_SELECTED 0x0002
#define LVIS_STATEIMAGEMASK 0xF000
#endif
// The check box of a row is its state image: 1 unchecked, 2 checked.
#ifndef INDEXTOSTATEIMAGEMASK
#define INDEXTOSTATEIMAGEMASK(i) ((UINT)(i) << 12)
#endif
#ifndef LVIF_STATE
#define LVIF_STATE 0x0008
#endif
#ifndef LVCFMT_LEFT
#define LVCFMT_LEFT 0x0000
#define LVCFMT_RIGHT 0x0001
#define LVCFMT_CENTER 0x0002
#endif
#ifndef PBS_SMOOTH
#define PBS_SMOOTH 0x01
#define PBS_VERTICAL 0x04
#endif

// ---- notification codes --------------------------------------------------------------------
#ifndef BN_CLICKED
#define BN_CLICKED 0
#endif
#ifndef STN_CLICKED
#define STN_CLICKED 0
#endif
#ifndef EN_CHANGE
#define EN_CHANGE 0x0300
#endif
#ifndef CBN_SELCHANGE
#define CBN_SELCHANGE 1
#endif
#ifndef LBN_SELCHANGE
#define LBN_SELCHANGE 1
#endif
#ifndef NM_CLICK
#define NM_CLICK (-2)
#define NM_DBLCLK (-3)
#endif
#ifndef LVN_ITEMCHANGED
#define LVN_ITEMCHANGED (-101)
#endif

// ---- common file dialogs -------------------------------------------------------------------
#ifndef OFN_READONLY
#define OFN_READONLY 0x00000001
#define OFN_OVERWRITEPROMPT 0x00000002
#define OFN_HIDEREADONLY 0x00000004
#define OFN_NOCHANGEDIR 0x00000008
#define OFN_PATHMUSTEXIST 0x00000800
#define OFN_FILEMUSTEXIST 0x00001000
#endif
