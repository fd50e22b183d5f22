// The umbrella header of winsim, the Win32 subset the system is written against.
#pragma once
#include "wintypes.h"
#include "winerror.h"
#include "winbase.h"
#include "winnls.h"
#include "winreg.h"
#include "winver.h"
#include "winuser.h"
#include "winsvc.h"
