// BroadcastSystemMessageA to the applications: what a query to remove a device needs. A sent
// broadcast reaches the top-level windows of this process (a record its lParam points to cannot
// travel to another process); a posted one reaches those of every process of the lab.
#include "user32.h"

namespace {

constexpr DWORD kSupportedFlags = BSF_QUERY | BSF_IGNORECURRENTTASK | BSF_POSTMESSAGE | BSF_NOHANG | BSF_FORCEIFHUNG |
                                  BSF_NOTIMEOUTIFNOTHUNG | BSF_ALLOWSFW;

}  // namespace

using namespace winsim::user32;

extern "C" {

long WINAPI BroadcastSystemMessageA(DWORD flags, LPDWORD info, UINT msg, WPARAM wParam, LPARAM lParam) {
    const DWORD recipients = info ? *info : BSM_ALLCOMPONENTS;
    if ((flags & ~kSupportedFlags) || (recipients & ~static_cast<DWORD>(BSM_APPLICATIONS))) {
        traceRefused("BroadcastSystemMessageA", flags & ~kSupportedFlags ? "flags" : "recipients",
                     flags & ~kSupportedFlags ? flags & ~kSupportedFlags : recipients);
        SetLastError(ERROR_NOT_SUPPORTED);
        return -1;
    }
    if ((flags & BSF_QUERY) && (flags & BSF_POSTMESSAGE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (info) *info = BSM_APPLICATIONS;
    if (flags & BSF_POSTMESSAGE) {
        if (isSyncOnly(msg, wParam)) {
            SetLastError(ERROR_MESSAGE_SYNC_ONLY);
            return -1;
        }
        if (!(flags & BSF_IGNORECURRENTTASK)) {
            Lock lock = lockState();
            for (Window* w : windowsLocked())
                if (!w->messageOnly) postLocked(*w, msg, wParam, lParam);
        }
        remotePostAll(msg, wParam, lParam);
        return 1;
    }
    if (flags & BSF_IGNORECURRENTTASK) return 1;
    std::vector<HWND> targets;
    {
        Lock lock = lockState();
        for (Window* w : windowsLocked())
            if (!w->messageOnly) targets.push_back(w->hwnd);
    }
    // Each window in turn; with BSF_QUERY the first that refuses ends the broadcast.
    for (HWND h : targets) {
        const LRESULT r = SendMessageA(h, msg, wParam, lParam);
        if ((flags & BSF_QUERY) && r == BROADCAST_QUERY_DENY) return 0;
    }
    return 1;
}

}  // extern "C"
