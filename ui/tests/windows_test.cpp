// The window functions across the processes of one lab: a second program finds the first one's
// dialog by its title, raises it and closes it; the traces of a program that died are ignored
// and cleared away.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include <lab/lab.h>
#include <ui/ui.h>

#include "child_process.h"
#include "headless_env.h"
#include "run_process.h"
#include "test_dialog.h"

namespace {

namespace fs = std::filesystem;
using uitest::ChildProcess;
using uitest::kCap;

// A program holding a dialog titled `title` open (its script waits for the dialog to close).
struct Holder {
    explicit Holder(const std::string& title)
        : script(writeScript()), app(ZELFIN_UI_TEST_APP, {"hold", title}, {"ZELFIN_UI_SCRIPT=" + script}) {}

    static std::string writeScript() {
        const fs::path file = fs::path(testsupport::testLabDir()).parent_path() / "hold.script";
        std::ofstream(file) << "wait-closed\n";
        return file.string();
    }

    // The handle the program printed once its dialog was open.
    HWND waitOpen() {
        if (!app.waitFor(0, "\n", kCap)) return nullptr;
        const size_t at = app.out().find("open ");
        if (at == std::string::npos) return nullptr;
        return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::stoull(app.out().substr(at + 5), nullptr, 16)));
    }

    std::string script;
    ChildProcess app;
};

int runFind(const std::string& title) {
    return testsupport::runCommand(std::string(ZELFIN_UI_TEST_APP) + " find '" + title + "'").exitCode;
}

TEST(UiWindows, ASecondProgramFindsRaisesAndClosesTheFirstOnesDialog) {
    Holder first("Raise Me");
    const HWND h = first.waitOpen();
    ASSERT_NE(h, nullptr) << first.app.err();
    EXPECT_EQ(FindWindowA(nullptr, "raise me"), h);
    EXPECT_TRUE(IsWindow(h));
    char title[64];
    EXPECT_EQ(GetWindowTextA(h, title, sizeof title), 8);
    EXPECT_STREQ(title, "Raise Me");

    // What a second copy of the host does: find, restore, bring to the front.
    EXPECT_EQ(runFind("Raise Me"), 0);
    EXPECT_TRUE(first.app.waitFor(1, "Raise Me: restored\nRaise Me: brought to the front\n", kCap)) << first.app.err();

    EXPECT_TRUE(PostMessageA(h, WM_CLOSE, 0, 0));
    EXPECT_EQ(first.app.wait(kCap), IDCANCEL);
    EXPECT_EQ(FindWindowA(nullptr, "Raise Me"), nullptr);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_EQ(runFind("Raise Me"), 1);
}

TEST(UiWindows, TracesOfProgramsThatDiedAreIgnoredAndRemoved) {
    const fs::path dir = lab::Lab::current().runDir() / "windows";
    fs::create_directories(dir);
    // A socket nobody listens on, as a program that died leaves it.
    const fs::path fake = dir / "999999.sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(fake.string().size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, fake.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);

    Holder killed("Killed Holder");
    ASSERT_NE(killed.waitOpen(), nullptr) << killed.app.err();
    killed.app.kill();

    EXPECT_EQ(FindWindowA(nullptr, "Killed Holder"), nullptr);
    EXPECT_FALSE(fs::exists(fake));
    // Only this program's own socket is left.
    size_t others = 0;
    for (const auto& e : fs::directory_iterator(dir))
        others += e.path().extension() == ".sock" && e.path().stem() != std::to_string(::getpid());
    EXPECT_EQ(others, 0u);
}

TEST(UiWindows, RequestsTheToolkitDoesNotCarryFail) {
    ui::Dialog d(ui::makeDialog("Local", 80, 30));
    ASSERT_TRUE(d.create());
    const HWND h = d.hwnd();
    SetLastError(0);
    EXPECT_FALSE(ShowWindow(h, SW_HIDE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    // A message whose parameter points into the sender's memory cannot be posted.
    EXPECT_FALSE(PostMessageA(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("x")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MESSAGE_SYNC_ONLY));
    EXPECT_FALSE(SetForegroundWindow(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    // A handle of a process that does not exist.
    EXPECT_FALSE(SetForegroundWindow(reinterpret_cast<HWND>(uintptr_t{999998} << 32 | 1)));
    EXPECT_EQ(GetSystemMetrics(SM_CXICON), 32);
    // The local window is raised by its own interface thread.
    testing::internal::CaptureStderr();
    EXPECT_TRUE(SetForegroundWindow(h));
    d.destroy();  // served after the raise, which was posted first
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Local: brought to the front\n");
}

}  // namespace
