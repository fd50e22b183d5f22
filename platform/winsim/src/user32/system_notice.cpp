// The notices the system itself sends every top-level window (hidden ones too) and whose answers
// it reads: a suspend query (WM_POWERBROADCAST) or the end of the user session
// (WM_QUERYENDSESSION). Each window's procedure runs on its own thread when that thread next
// takes messages; a window that has not answered by the deadline counts as not answering, as a
// hung program does. Other processes of the lab are reached through their listeners (remote.cpp).
#include <chrono>
#include <cstring>

#include <winsim/winsim.h>

#include "../internal.h"
#include "user32.h"

namespace winsim::user32 {

std::vector<NoticeAnswer> sendNoticeLocal(UINT msg, WPARAM wParam, LPARAM lParam, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    struct Pending {
        NoticeAnswer answer;
        std::shared_ptr<SentMessage> sent;  // null: the calling thread's own window
    };
    std::vector<Pending> pending;
    {
        Lock lock = lockState();
        for (Window* w : windowsLocked()) {
            if (w->messageOnly || w->style & WS_CHILD) continue;
            Pending p;
            p.answer.hwnd = w->hwnd;
            p.answer.className = w->cls ? w->cls->name : std::string();
            if (w->thread != GetCurrentThreadId()) {
                p.sent = std::make_shared<SentMessage>();
                p.sent->hwnd = w->hwnd;
                p.sent->msg = msg;
                p.sent->wParam = wParam;
                p.sent->lParam = lParam;
                p.sent->waited = true;
                if (!queueSentLocked(w->thread, p.sent)) continue;
            }
            pending.push_back(std::move(p));
        }
    }
    for (Pending& p : pending) {
        if (p.sent) continue;
        p.answer.result = callProcedure(p.answer.hwnd, msg, wParam, lParam);
        p.answer.answered = true;
    }
    Lock lock = lockState();
    for (Pending& p : pending) {
        if (!p.sent) continue;
        syncCondition().wait_until(lock, deadline, [&] { return p.sent->done; });
        p.answer.answered = p.sent->done;
        p.answer.result = p.sent->result;
        // A thread that ended before taking the message gave no answer either.
        if (p.answer.answered && !findWindowLocked(p.answer.hwnd)) p.answer.answered = false;
    }
    std::vector<NoticeAnswer> out;
    for (Pending& p : pending) out.push_back(std::move(p.answer));
    return out;
}

}  // namespace winsim::user32

using namespace winsim::user32;

extern "C" {

DWORD WINAPI WinsimSendSystemNotice(UINT msg, WPARAM wParam, LPARAM lParam, DWORD timeoutMs,
                                    WINSIM_NOTICE_ANSWER* answers, DWORD count) {
    if (count && !answers) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (isSyncOnly(msg, wParam)) {
        // A record lParam points to cannot reach another process.
        SetLastError(ERROR_MESSAGE_SYNC_ONLY);
        return 0;
    }
    return winsim::guarded("WinsimSendSystemNotice", DWORD{0}, [&]() -> DWORD {
        const auto timeout = std::chrono::milliseconds(timeoutMs);
        std::vector<NoticeAnswer> all = sendNoticeLocal(msg, wParam, lParam, timeout);
        for (NoticeAnswer& a : remoteSendAll(msg, wParam, lParam, timeout)) all.push_back(std::move(a));
        for (DWORD i = 0; i < count && i < all.size(); ++i) {
            WINSIM_NOTICE_ANSWER& out = answers[i];
            std::memset(&out, 0, sizeof out);
            out.hwnd = all[i].hwnd;
            out.answered = all[i].answered ? TRUE : FALSE;
            out.result = all[i].result;
            std::strncpy(out.className, all[i].className.c_str(), sizeof out.className - 1);
        }
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(all.size());
    });
}

}  // extern "C"
