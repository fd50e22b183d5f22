// The USER32 and common-control names the dialog toolkit works with: control styles, notification
// codes, message-box flags, file-dialog flags, and the few window functions that reach across
// processes (the single-instance rule finds and raises the running copy's window).
#pragma once
#include <winsim/windows.h>

#ifdef __cplusplus
#define ZELFIN_UI_API extern "C" __attribute__((visibility("default")))
#else
#define ZELFIN_UI_API extern __attribute__((visibility("default")))
#endif

// ---- dialog ids ----------------------------------------------------------------------------
#ifndef IDOK
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#endif
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// ---- window and dialog styles --------------------------------------------------------------
#ifndef WS_POPUP
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_MINIMIZE 0x20000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_DLGFRAME 0x00400000L
#define WS_VSCROLL 0x00200000L
#define WS_HSCROLL 0x00100000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_MINIMIZEBOX 0x00020000L
#define WS_MAXIMIZEBOX 0x00010000L
#define WS_EX_DLGMODALFRAME 0x00000001L
#define WS_EX_TOPMOST 0x00000008L
#define WS_EX_TOOLWINDOW 0x00000080L
#define WS_EX_CLIENTEDGE 0x00000200L
#define WS_EX_STATICEDGE 0x00020000L
#define WS_EX_APPWINDOW 0x00040000L
#define DS_SETFONT 0x0040L
#define DS_MODALFRAME 0x0080L
#define DS_SETFOREGROUND 0x0200L
#define DS_CENTER 0x0800L
#define DS_SHELLFONT 0x0048L
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

// ---- message boxes -------------------------------------------------------------------------
#ifndef MB_OK
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ABORTRETRYIGNORE 0x00000002L
#define MB_YESNOCANCEL 0x00000003L
#define MB_YESNO 0x00000004L
#define MB_RETRYCANCEL 0x00000005L
#define MB_TYPEMASK 0x0000000FL
#define MB_ICONHAND 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONMASK 0x000000F0L
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_DEFBUTTON1 0x00000000L
#define MB_DEFBUTTON2 0x00000100L
#define MB_DEFBUTTON3 0x00000200L
#define MB_DEFMASK 0x00000F00L
#define MB_APPLMODAL 0x00000000L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_TASKMODAL 0x00002000L
#define MB_SETFOREGROUND 0x00010000L
#define MB_TOPMOST 0x00040000L
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

// ---- windows -------------------------------------------------------------------------------
#ifndef SW_HIDE
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOW 5
#define SW_RESTORE 9
#endif
#ifndef WM_CLOSE
#define WM_CLOSE 0x0010
#endif
#ifndef SM_CXICON
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define SM_CXICON 11
#define SM_CYICON 12
#endif
#ifndef USER_TIMER_MINIMUM
#define USER_TIMER_MINIMUM 0x0000000A
#endif

// A message box: the text, caption and flags as Windows takes them; owned by `hWnd` (a dialog of
// this process) or by nobody. Returns the id of the button chosen (IDOK, IDYES, IDNO, ...), or 0
// with ERROR_NOT_SUPPORTED for flags it does not know. Any thread may call it.
ZELFIN_UI_API int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// The top-level dialog titled `lpWindowName` of any process of this lab (case is ignored), this
// process's own first. The class, when given, must be the dialog class "#32770".
ZELFIN_UI_API HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName);
// SW_RESTORE, SW_SHOW and SW_SHOWNORMAL ask the window's process to restore and show it; other
// commands fail with ERROR_NOT_SUPPORTED. Returns nonzero when the window exists.
ZELFIN_UI_API BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow);
// Asks the window's process to bring it to the front.
ZELFIN_UI_API BOOL WINAPI SetForegroundWindow(HWND hWnd);
// Only WM_CLOSE is carried, to a window of any process of the lab: it closes the dialog as its
// system-menu close would.
ZELFIN_UI_API BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
ZELFIN_UI_API BOOL WINAPI IsWindow(HWND hWnd);
ZELFIN_UI_API int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);
// SM_CXICON / SM_CYICON (32) and the screen size.
ZELFIN_UI_API int WINAPI GetSystemMetrics(int nIndex);
