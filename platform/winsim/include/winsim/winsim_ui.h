// winsim's own hooks for a dialog toolkit (not Win32): a thread whose loop is not GetMessageA,
// and the toolkit's message boxes.
#pragma once
#include "winuser.h"

// Called whenever a message is posted or sent to the thread's queue, on the thread that posts or
// sends it. It must return at once and call nothing of winsim: its job is to make the thread's
// own loop call PeekMessageA (PM_REMOVE) and DispatchMessageA until the queue is empty, which
// also answers the messages sent to it.
typedef void(CALLBACK* WINSIM_QUEUE_WAKE)(void* context);
// Sets (or, with null, clears) the calling thread's hook. After a clear returns the old hook is
// not called any more. Any messages already waiting wake the new hook at once.
WINSIM_API BOOL WINAPI WinsimSetQueueWake(WINSIM_QUEUE_WAKE wake, void* context);

// Shows MessageBoxA's boxes once the flags are known to be valid; null gives the boxes back to
// standard error.
typedef int(CALLBACK* WINSIM_MESSAGE_BOX)(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
WINSIM_API void WINAPI WinsimSetMessageBoxHandler(WINSIM_MESSAGE_BOX handler);
