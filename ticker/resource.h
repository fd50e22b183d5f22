// Resource identifiers of the Ticker program.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_TICKER_DIALOG 102

#define IDC_PROGRESS 1000
#define IDC_TEXT 1001
