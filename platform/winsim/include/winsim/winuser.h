// The USER32 subset that is not part of the dialog toolkit: string resources.
#pragma once
#include "wintypes.h"

WINSIM_API int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
WINSIM_API int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
