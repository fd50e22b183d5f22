// USER32: classes and windows with their error paths, the threads' queues (posted and sent
// messages, MsgWaitForMultipleObjects), broadcasts, message boxes without a toolkit, and device
// notifications for a device another process attaches. Each call starts with the last error at a
// sentinel: a success must leave it there, a failure must set the exact code.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <future>
#include <thread>
#include <vector>

#include <lab/hardware.h>
#include <lab/lab.h>
#include <winsim/dbt.h>
#include <winsim/windows.h>
#include <winsim/winsim.h>
#include <winsim/winioctl.h>

#include "run_process.h"
#include "test_lab.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
// A wait that must end because something happened; reaching it is a failure, not a pass.
constexpr auto kCap = std::chrono::seconds(20);

// What window procedures of the tests heard, from whichever thread they ran on.
struct Journal {
    struct Entry {
        HWND hwnd;
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
        DWORD thread;
        GUID cls{};
        std::string name;
    };
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Entry> entries;

    void add(Entry e) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            entries.push_back(std::move(e));
        }
        cv.notify_all();
    }
    // Waits until `pred` holds for the entries; false when the cap passes first.
    bool waitFor(const std::function<bool(const std::vector<Entry>&)>& pred) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, kCap, [&] { return pred(entries); });
    }
    static std::vector<Entry> select(const std::vector<Entry>& from, HWND hwnd, UINT msg) {
        std::vector<Entry> out;
        for (const auto& e : from)
            if (e.hwnd == hwnd && e.msg == msg) out.push_back(e);
        return out;
    }
    std::vector<Entry> of(HWND hwnd, UINT msg) {
        std::lock_guard<std::mutex> lock(mutex);
        return select(entries, hwnd, msg);
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        entries.clear();
    }
};

Journal& journal() {
    static Journal j;
    return j;
}

constexpr UINT kAnswer = WM_APP + 1;     // returns wParam * 2
constexpr UINT kDenyRemove = WM_APP + 2; // sets the window to refuse a device removal

LRESULT CALLBACK recordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Journal::Entry e{hwnd, msg, wParam, lParam, GetCurrentThreadId(), {}, {}};
    if (msg == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
        const auto* r = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
        if (r->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
            r->dbcc_size == offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + std::strlen(r->dbcc_name) + 1) {
            e.cls = r->dbcc_classguid;
            e.name = r->dbcc_name;
        }
    }
    if (msg == WM_CREATE) e.lParam = reinterpret_cast<LPARAM>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    journal().add(e);
    switch (msg) {
        case kAnswer: return static_cast<LRESULT>(wParam * 2);
        case kDenyRemove: SetWindowLongPtrA(hwnd, GWLP_USERDATA, 1); return 0;
        case WM_DEVICECHANGE:
            if (wParam == DBT_DEVICEQUERYREMOVE && GetWindowLongPtrA(hwnd, GWLP_USERDATA)) return BROADCAST_QUERY_DENY;
            return TRUE;
        // A window told to refuse does what a program in the middle of a transfer does.
        case WM_POWERBROADCAST:
            if (wParam == PBT_APMQUERYSUSPEND && GetWindowLongPtrA(hwnd, GWLP_USERDATA)) return BROADCAST_QUERY_DENY;
            return TRUE;
        case WM_QUERYENDSESSION: return GetWindowLongPtrA(hwnd, GWLP_USERDATA) ? FALSE : TRUE;
        case WM_CREATE:  // a window made with -1 as its parameter refuses to be created
            return reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams == reinterpret_cast<void*>(-1) ? -1 : 0;
        default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

const char* kClass = "ZelfinTestWindow";

class User32 : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = recordingProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kClass;
        ASSERT_NE(RegisterClassA(&wc), 0);
    }
    void SetUp() override { journal().clear(); }

    static HWND create(const char* title, HWND parent = nullptr, LPVOID param = nullptr) {
        return CreateWindowExA(0, kClass, title, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, parent, nullptr,
                               GetModuleHandleA(nullptr), param);
    }
};

// A thread with a hidden window of its own, taking messages with GetMessageA until WM_QUIT.
class WindowThread {
public:
    explicit WindowThread(const char* title, std::function<void(HWND)> setup = {}) {
        thread_ = std::thread([this, title, setup] {
            HWND h = CreateWindowExA(0, kClass, title, WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                     GetModuleHandleA(nullptr), nullptr);
            if (setup) setup(h);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                hwnd_ = h;
                id_ = GetCurrentThreadId();
                ready_ = true;
            }
            cv_.notify_all();
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            DestroyWindow(h);
        });
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return ready_; });
    }
    ~WindowThread() {
        PostThreadMessageA(id_, WM_QUIT, 0, 0);
        thread_.join();
    }
    HWND hwnd() const { return hwnd_; }
    DWORD id() const { return id_; }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool ready_ = false;
    HWND hwnd_ = nullptr;
    DWORD id_ = 0;
    std::thread thread_;
};

// ---- classes and windows ----------------------------------------------------------------------

TEST_F(User32, ClassAndWindowCallsSetTheExactErrors) {
    HWND live = create("Live");
    ASSERT_NE(live, nullptr);
    HWND stale = create("Stale");
    ASSERT_TRUE(DestroyWindow(stale));
    WindowThread other("Other thread");

    WNDCLASSA dup{};
    dup.lpfnWndProc = recordingProc;
    dup.hInstance = GetModuleHandleA(nullptr);
    dup.lpszClassName = "zelfintestwindow";  // class names ignore case
    WNDCLASSA odd = dup;
    odd.lpszClassName = "Odd";
    odd.style = 0x00010000;  // CS_IME
    WNDCLASSA fresh = dup;
    fresh.lpszClassName = "Fresh";
    char text[16];

    struct Case {
        const char* what;
        std::function<bool()> call;
        DWORD error;  // 0: succeeds and leaves the last error alone
    };
    const std::vector<Case> cases = {
        {"register a class twice", [&] { return RegisterClassA(&dup) != 0; }, ERROR_CLASS_ALREADY_EXISTS},
        {"register an unsupported style", [&] { return RegisterClassA(&odd) != 0; }, ERROR_NOT_SUPPORTED},
        {"register without a class", [] { return RegisterClassA(nullptr) != 0; }, ERROR_INVALID_PARAMETER},
        {"register a new class", [&] { return RegisterClassA(&fresh) != 0; }, 0},
        {"unregister it", [] { return UnregisterClassA("FRESH", GetModuleHandleA(nullptr)) != FALSE; }, 0},
        {"unregister it again", [] { return UnregisterClassA("Fresh", GetModuleHandleA(nullptr)) != FALSE; },
         ERROR_CLASS_DOES_NOT_EXIST},
        {"unregister a class with windows", [] { return UnregisterClassA(kClass, GetModuleHandleA(nullptr)) != FALSE; },
         ERROR_CLASS_HAS_WINDOWS},
        {"create of an unknown class",
         [] { return CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr) != nullptr; },
         ERROR_CANNOT_FIND_WND_CLASS},
        {"create of another module's class",
         [] { return CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr) != nullptr; },
         ERROR_CANNOT_FIND_WND_CLASS},
        {"create a child without a parent",
         [] { return CreateWindowExA(0, kClass, "", WS_CHILD, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleA(nullptr),
                                     nullptr) != nullptr; },
         ERROR_TLW_WITH_WSCHILD},
        {"create owned by a stale window", [&] { return create("x", stale) != nullptr; }, ERROR_INVALID_WINDOW_HANDLE},
        {"destroy a stale window", [&] { return DestroyWindow(stale) != FALSE; }, ERROR_INVALID_WINDOW_HANDLE},
        {"destroy another thread's window", [&] { return DestroyWindow(other.hwnd()) != FALSE; }, ERROR_ACCESS_DENIED},
        {"post to a stale window", [&] { return PostMessageA(stale, WM_USER, 0, 0) != FALSE; }, ERROR_INVALID_WINDOW_HANDLE},
        {"post a message that carries a pointer",
         [&] { return PostMessageA(live, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("t")) != FALSE; },
         ERROR_MESSAGE_SYNC_ONLY},
        {"send to a stale window", [&] { return SendMessageA(stale, kAnswer, 1, 0) != 0; }, ERROR_INVALID_WINDOW_HANDLE},
        {"text of a stale window", [&] { return GetWindowTextA(stale, text, sizeof text) != 0; },
         ERROR_INVALID_WINDOW_HANDLE},
        {"text of a live window", [&] { return GetWindowTextA(live, text, sizeof text) == 4; }, 0},
        {"a window index out of range", [&] { return GetWindowLongPtrA(live, 0) != 0; }, ERROR_INVALID_INDEX},
        {"post to a thread without a queue", [] { return PostThreadMessageA(0x7ffffff0, WM_USER, 0, 0) != FALSE; },
         ERROR_INVALID_THREAD_ID},
        {"post to a live window", [&] { return PostMessageA(live, WM_USER, 0, 0) != FALSE; }, 0},
        {"dispatch to another thread's window",
         [&] {
             MSG m{};
             m.hwnd = other.hwnd();
             m.message = WM_USER;
             return DispatchMessageA(&m) != 0;
         },
         ERROR_WINDOW_OF_OTHER_THREAD},
        {"wait with an undefined wake mask",
         [] { return MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, 0x80000000) != WAIT_FAILED; }, ERROR_INVALID_FLAGS},
        {"hide a window", [&] { return ShowWindow(live, SW_HIDE) != FALSE; }, ERROR_NOT_SUPPORTED},
        {"message box of unknown flags", [] { return MessageBoxA(nullptr, "x", "y", 0x00800000) != 0; },
         ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SetLastError(kSentinel);
        const bool ok = c.call();
        EXPECT_EQ(ok, c.error == 0) << c.what;
        EXPECT_EQ(GetLastError(), c.error ? c.error : kSentinel) << c.what;
    }
    EXPECT_STREQ(text, "Live");
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    EXPECT_TRUE(DestroyWindow(live));
}

TEST_F(User32, WindowsGetTheirLifeMessagesAndStaleHandlesAreRefused) {
    int marker = 0;
    SetLastError(kSentinel);
    HWND h = create("Hidden Helper", nullptr, &marker);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_FALSE(IsWindowVisible(h));
    auto created = journal().of(h, WM_CREATE);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].lParam, reinterpret_cast<LPARAM>(&marker)) << "lpCreateParams reaches WM_CREATE";
    EXPECT_EQ(journal().of(h, WM_NCCREATE).size(), 1u);

    // Found hidden, by class and title without regard to case; a message-only window never.
    HWND messageOnly = create("Hidden Helper", HWND_MESSAGE);
    ASSERT_NE(messageOnly, nullptr);
    EXPECT_EQ(FindWindowA("zelfintestwindow", "HIDDEN HELPER"), h);
    EXPECT_EQ(FindWindowA(nullptr, "Hidden Helper"), h);
    EXPECT_EQ(FindWindowA("#32770", "Hidden Helper"), nullptr);
    EXPECT_TRUE(SetWindowTextA(h, "Renamed"));
    EXPECT_EQ(FindWindowA(kClass, "Hidden Helper"), nullptr);
    EXPECT_EQ(GetWindowTextLengthA(h), 7);

    EXPECT_TRUE(DestroyWindow(h));
    EXPECT_EQ(journal().of(h, WM_DESTROY).size(), 1u);
    EXPECT_EQ(journal().of(h, WM_NCDESTROY).size(), 1u);
    EXPECT_FALSE(IsWindow(h));
    // The slot's next window has a handle of its own: the old one stays dead.
    HWND next = create("Next");
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, h);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_TRUE(IsWindow(next));

    // WM_CREATE answering -1 takes the window down again.
    journal().clear();
    EXPECT_EQ(create("Refused", nullptr, reinterpret_cast<void*>(-1)), nullptr);
    EXPECT_TRUE(journal().waitFor([](const auto& es) {
        return !es.empty() && es.back().msg == WM_NCDESTROY;
    }));
    EXPECT_EQ(FindWindowA(kClass, "Refused"), nullptr);
    DestroyWindow(next);
    DestroyWindow(messageOnly);
}

// ---- queues -----------------------------------------------------------------------------------

// A thread blocked in MsgWaitForMultipleObjects with INFINITE and what woke it.
struct Waiter {
    explicit Waiter(HANDLE ev) : event(ev) {
        thread = std::thread([this] {
            MSG m;
            PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // gives the thread its queue
            {
                std::lock_guard<std::mutex> lock(mutex);
                id = GetCurrentThreadId();
            }
            cv.notify_all();
            for (int round = 0; round < 2; ++round) {
                SetLastError(kSentinel);
                const DWORD r = MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_ALLINPUT);
                DWORD posted = 0;
                if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) posted = m.message;
                std::lock_guard<std::mutex> lock(mutex);
                results.push_back({r, posted, GetLastError()});
                cv.notify_all();
            }
        });
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return id != 0; });
    }
    struct Result {
        DWORD wait, message, error;
    };
    bool waitResults(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, kCap, [&] { return results.size() >= n; });
    }
    HANDLE event;
    std::mutex mutex;
    std::condition_variable cv;
    DWORD id = 0;
    std::vector<Result> results;
    std::thread thread;
};

TEST_F(User32, APostAndAnEventWakeAThreadInMsgWait) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Waiter w(ev);
    Sleep(100000);  // 100 lab seconds, 0.1 s real: the waiter is asleep by then, or soon after
    SetLastError(kSentinel);
    ASSERT_TRUE(PostThreadMessageA(w.id, WM_USER + 7, 1, 2));
    EXPECT_EQ(GetLastError(), kSentinel);
    ASSERT_TRUE(w.waitResults(1));
    Sleep(100000);
    SetEvent(ev);
    ASSERT_TRUE(w.waitResults(2));
    w.thread.join();
    EXPECT_EQ(w.results[0].wait, WAIT_OBJECT_0 + 1) << "input comes after the handles";
    EXPECT_EQ(w.results[0].message, static_cast<DWORD>(WM_USER + 7));
    EXPECT_EQ(w.results[1].wait, WAIT_OBJECT_0);
    EXPECT_EQ(w.results[1].message, 0u);
    for (const auto& r : w.results) EXPECT_EQ(r.error, kSentinel);
    CloseHandle(ev);

    // Input already looked at does not end a wait; a mask without it does not either.
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_SENDMESSAGE), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE), WAIT_OBJECT_0);
    EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(User32, SendMessageAcrossThreadsRunsOnTheWindowsThread) {
    WindowThread other("Sent To");
    SetLastError(kSentinel);
    EXPECT_EQ(SendMessageA(other.hwnd(), kAnswer, 21, 0), 42);
    EXPECT_EQ(GetLastError(), kSentinel);
    auto heard = journal().of(other.hwnd(), kAnswer);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].thread, other.id());

    // A send to a window of the calling thread calls the procedure at once.
    HWND own = create("Own");
    EXPECT_EQ(SendMessageA(own, kAnswer, 5, 0), 10);
    EXPECT_EQ(journal().of(own, kAnswer).at(0).thread, GetCurrentThreadId());

    // A posted message reaches the other thread's procedure through its GetMessageA loop.
    ASSERT_TRUE(PostMessageA(other.hwnd(), WM_USER + 3, 9, 0));
    EXPECT_TRUE(journal().waitFor([&](const auto& es) {
        for (const auto& e : es)
            if (e.hwnd == other.hwnd() && e.msg == WM_USER + 3 && e.wParam == 9 && e.thread == other.id()) return true;
        return false;
    }));
    DestroyWindow(own);
}

TEST_F(User32, GetMessageEndsWithTheQuitMessageAfterWhatWasPosted) {
    std::vector<UINT> got;
    int code = 0;
    std::thread t([&] {
        MSG m;
        // A thread gets its queue with its first USER32 call; before that a post to it fails.
        EXPECT_FALSE(PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0));
        PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
        PostThreadMessageA(GetCurrentThreadId(), WM_USER + 1, 0, 0);
        PostQuitMessage(3);
        PostThreadMessageA(GetCurrentThreadId(), WM_USER + 2, 0, 0);
        while (GetMessageA(&m, nullptr, 0, 0) > 0) got.push_back(m.message);
        code = static_cast<int>(m.wParam);
    });
    t.join();
    EXPECT_EQ(got, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
    EXPECT_EQ(code, 3);
}

TEST_F(User32, QueryRemoveBroadcastStopsAtTheFirstWindowThatRefuses) {
    HWND grants = create("Grants");
    WindowThread refuses("Refuses");
    SendMessageA(refuses.hwnd(), kDenyRemove, 0, 0);
    DEV_BROADCAST_HDR hdr{static_cast<DWORD>(sizeof(DEV_BROADCAST_HDR)), DBT_DEVTYP_VOLUME, 0};
    DWORD to = BSM_APPLICATIONS;
    SetLastError(kSentinel);
    EXPECT_EQ(BroadcastSystemMessageA(BSF_QUERY, &to, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE,
                                      reinterpret_cast<LPARAM>(&hdr)),
              0);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(journal().of(grants, WM_DEVICECHANGE).size(), 1u);
    EXPECT_EQ(journal().of(refuses.hwnd(), WM_DEVICECHANGE).size(), 1u);

    struct Case {
        DWORD flags, recipients, error;
    };
    for (const Case& c : {Case{BSF_QUERY, BSM_APPLICATIONS, 0}, Case{BSF_FLUSHDISK, BSM_APPLICATIONS, ERROR_NOT_SUPPORTED},
                          Case{BSF_QUERY, BSM_VXDS, ERROR_NOT_SUPPORTED},
                          Case{BSF_POSTMESSAGE, BSM_APPLICATIONS, ERROR_MESSAGE_SYNC_ONLY}}) {
        DWORD r = c.recipients;
        SetLastError(kSentinel);
        const long result = BroadcastSystemMessageA(c.flags, &r, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE,
                                                    reinterpret_cast<LPARAM>(&hdr));
        EXPECT_EQ(GetLastError(), c.error ? c.error : kSentinel) << c.flags;
        EXPECT_EQ(result, c.error ? -1 : 0) << c.flags;  // the refusing window is still there
    }
    DestroyWindow(grants);
}

TEST_F(User32, MessageBoxWithoutToolkitGoesToStandardError) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxA(nullptr, "The log file cannot be created.", "Zelfin", MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "Go on?", nullptr, MB_YESNO), IDYES);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Zelfin: The log file cannot be created.\nError: Go on?\n");
}

// ---- device notifications ---------------------------------------------------------------------

std::string labTool(const std::string& args) {
    const auto r = testsupport::runCommand(testsupport::binPath("zelfin-lab") + " " + args + " 2>&1");
    EXPECT_EQ(r.exitCode, 0) << args << ": " << r.output;
    std::string out = r.output;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

DEV_BROADCAST_DEVICEINTERFACE_A filterFor(const GUID& cls) {
    DEV_BROADCAST_DEVICEINTERFACE_A f{};
    f.dbcc_size = sizeof f;
    f.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    f.dbcc_classguid = cls;
    return f;
}

TEST_F(User32, AHiddenWindowHearsOfADeviceAnotherProcessAttaches) {
    const std::string lab = lab::Lab::current().root().string();
    lab::Lab::current().hardware();  // the PC as it is before the other process changes it
    // {7c5b3a91-...}: a class no device of the lab has.
    const GUID nobody = {0x7c5b3a91, 0x1d2e, 0x4f60, {0x9a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71}};
    HDEVNOTIFY cdroms = nullptr, none = nullptr, all = nullptr;
    auto cdFilter = filterFor(GUID_DEVINTERFACE_CDROM);
    auto noFilter = filterFor(nobody);
    WindowThread listener("CD Listener", [&](HWND h) {
        SetLastError(kSentinel);
        cdroms = RegisterDeviceNotificationA(h, &cdFilter, DEVICE_NOTIFY_WINDOW_HANDLE);
        none = RegisterDeviceNotificationA(h, &noFilter, DEVICE_NOTIFY_WINDOW_HANDLE);
        EXPECT_EQ(GetLastError(), kSentinel);
    });
    ASSERT_NE(cdroms, nullptr);
    ASSERT_NE(none, nullptr);
    // A second window, on another thread, hears every class: once it has heard of the CD-ROM's
    // removal, whatever the first window was going to hear has been sent too.
    WindowThread witness("Witness", [&](HWND h) {
        all = RegisterDeviceNotificationA(h, &noFilter, DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
    });
    ASSERT_NE(all, nullptr);

    const std::string id = labTool("attach " + lab + " cdrom --drive none");
    auto cdEvents = [&](const std::vector<Journal::Entry>& from, WPARAM event) {
        std::vector<Journal::Entry> out;
        for (const auto& e : Journal::select(from, listener.hwnd(), WM_DEVICECHANGE))
            if (e.wParam == event) out.push_back(e);
        return out;
    };
    std::vector<Journal::Entry> heard;
    ASSERT_TRUE(journal().waitFor([&](const auto& es) {
        heard = cdEvents(es, DBT_DEVICEARRIVAL);
        return !heard.empty();
    })) << "no arrival for " << id;
    const auto arrival = heard.at(0);
    EXPECT_TRUE(sameGuid(arrival.cls, GUID_DEVINTERFACE_CDROM));
    EXPECT_EQ(arrival.thread, listener.id()) << "sent on the window's own thread";
    auto iface = lab::Lab::current().hardware().interfaceByPath(arrival.name);
    ASSERT_TRUE(iface.has_value()) << arrival.name;
    EXPECT_TRUE(sameGuid(iface->interfaceClass, GUID_DEVINTERFACE_CDROM));

    labTool("detach " + lab + " " + id);
    ASSERT_TRUE(journal().waitFor([&](const auto& es) {
        heard = cdEvents(es, DBT_DEVICEREMOVECOMPLETE);
        return !heard.empty();
    }));
    EXPECT_EQ(heard.at(0).name, arrival.name);
    for (const auto& e : journal().of(listener.hwnd(), WM_DEVICECHANGE))
        EXPECT_TRUE(sameGuid(e.cls, GUID_DEVINTERFACE_CDROM)) << "only the class it registered for: " << e.name;

    // Unregistered, the window hears nothing more, though the witness does.
    SetLastError(kSentinel);
    EXPECT_TRUE(UnregisterDeviceNotification(cdroms));
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_FALSE(UnregisterDeviceNotification(cdroms));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    journal().clear();
    const std::string again = labTool("attach " + lab + " cdrom --drive none");
    labTool("detach " + lab + " " + again);
    ASSERT_TRUE(journal().waitFor([&](const auto& es) {
        for (const auto& e : es)
            if (e.hwnd == witness.hwnd() && e.wParam == DBT_DEVICEREMOVECOMPLETE &&
                sameGuid(e.cls, GUID_DEVINTERFACE_CDROM))
                return true;
        return false;
    }));
    SendMessageA(listener.hwnd(), WM_NULL, 0, 0);  // whatever was queued for it has been taken
    EXPECT_TRUE(journal().of(listener.hwnd(), WM_DEVICECHANGE).empty());
    EXPECT_TRUE(UnregisterDeviceNotification(none));
    EXPECT_TRUE(UnregisterDeviceNotification(all));
}

TEST_F(User32, SystemNoticesReachTheWindowsOfOtherProcessesAndTheirRefusalsAreCounted) {
    const std::string lab = lab::Lab::current().root().string();
    WindowThread busy("Busy", [](HWND h) { SetWindowLongPtrA(h, GWLP_USERDATA, 1); });
    WindowThread idle("Idle");
    auto handle = [](HWND h) {
        char text[32];
        std::snprintf(text, sizeof text, "window %llx ", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
        return std::string(text);
    };
    struct Case {
        const char* event;
        UINT msg;
        WPARAM wParam;
        int exitCode;
        const char* busyAnswer;
        const char* idleAnswer;
        const char* summary;
    };
    const Case cases[] = {
        {"query-suspend", WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 3, "refuses (0x424d5144)", "agrees (0x1)",
         "query-suspend: refused by 1 window"},
        {"query-end-session", WM_QUERYENDSESSION, 0, 3, "refuses (0x0)", "agrees (0x1)",
         "query-end-session: refused by 1 window"},
        {"resume", WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0, "agrees (0x1)", "agrees (0x1)", "resume: sent"},
    };
    for (const Case& c : cases) {
        journal().clear();
        const auto r = testsupport::runCommand(testsupport::binPath("zelfin-lab") + " notify " + lab + " " + c.event);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        EXPECT_NE(r.output.find(handle(busy.hwnd()) + "(ZelfinTestWindow): " + c.busyAnswer), std::string::npos)
            << c.event << ": " << r.output;
        EXPECT_NE(r.output.find(handle(idle.hwnd()) + "(ZelfinTestWindow): " + c.idleAnswer), std::string::npos)
            << c.event << ": " << r.output;
        EXPECT_NE(r.output.find(c.summary), std::string::npos) << r.output;
        const auto heard = journal().of(busy.hwnd(), c.msg);
        ASSERT_EQ(heard.size(), 1u) << c.event;
        EXPECT_EQ(heard[0].wParam, c.wParam);
        EXPECT_EQ(heard[0].thread, busy.id()) << "on the window's own thread";
    }
    const auto r = testsupport::runCommand(testsupport::binPath("zelfin-lab") + " notify " + lab + " hibernate", true);
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("unknown event: hibernate"), std::string::npos) << r.output;
}

TEST_F(User32, ASystemNoticeDoesNotWaitForeverForAWindowWhoseThreadTakesNoMessages) {
    std::promise<void> release;
    std::promise<HWND> made;
    std::thread stuck([&] {
        made.set_value(create("Stuck"));
        release.get_future().wait();  // takes no messages until released
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    });
    const HWND stuckWindow = made.get_future().get();
    HWND own = create("Own");
    WINSIM_NOTICE_ANSWER answers[8];
    SetLastError(kSentinel);
    const DWORD n = WinsimSendSystemNotice(WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 0, 50, answers, 8);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    int found = 0;
    for (DWORD i = 0; i < n && i < 8; ++i) {
        if (answers[i].hwnd == stuckWindow) {
            ++found;
            EXPECT_FALSE(answers[i].answered);
        }
        if (answers[i].hwnd == own) {
            ++found;
            EXPECT_TRUE(answers[i].answered) << "the caller's own window answers at once";
            EXPECT_EQ(answers[i].result, TRUE);
        }
    }
    EXPECT_EQ(found, 2);
    SetLastError(kSentinel);
    EXPECT_EQ(WinsimSendSystemNotice(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, 50, nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MESSAGE_SYNC_ONLY)) << "a record cannot travel";
    release.set_value();
    stuck.join();
    DestroyWindow(own);
}

TEST_F(User32, DeviceNotificationRequestsItDoesNotServeAreRefused) {
    HWND h = create("Notified");
    auto filter = filterFor(GUID_DEVINTERFACE_CDROM);
    auto shortFilter = filter;
    shortFilter.dbcc_size = sizeof(DEV_BROADCAST_HDR);
    DEV_BROADCAST_HDR handleFilter{static_cast<DWORD>(sizeof(DEV_BROADCAST_HANDLE)), DBT_DEVTYP_HANDLE, 0};
    struct Case {
        const char* what;
        HANDLE recipient;
        void* filter;
        DWORD flags, error;
    };
    for (const Case& c : {Case{"service handle", h, &filter, DEVICE_NOTIFY_SERVICE_HANDLE, ERROR_NOT_SUPPORTED},
                          Case{"handle filter", h, &handleFilter, 0, ERROR_NOT_SUPPORTED},
                          Case{"short filter", h, &shortFilter, 0, ERROR_INVALID_DATA},
                          Case{"no filter", h, nullptr, 0, ERROR_INVALID_PARAMETER},
                          Case{"no window", nullptr, &filter, 0, ERROR_INVALID_WINDOW_HANDLE}}) {
        SetLastError(kSentinel);
        EXPECT_EQ(RegisterDeviceNotificationA(c.recipient, c.filter, c.flags), nullptr) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    DestroyWindow(h);
}

}  // namespace
