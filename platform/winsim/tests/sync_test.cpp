// Waits, threads and the lab clock. The test programs run at a lab time scale of 1000, so that
// lab seconds cost real milliseconds; every bound below leaves a margin of ten times or more.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include <lab/lab.h>

#include "test_lab.h"
#include <winsim/windows.h>

namespace {

using Clock = std::chrono::steady_clock;

double realMs(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

TEST(LabClock, WaitsRunOnLabTime) {
    ASSERT_STREQ(getenv("ZELFIN_TIME_SCALE"), "1000");
    LARGE_INTEGER f, a, b;
    ASSERT_TRUE(QueryPerformanceFrequency(&f));
    QueryPerformanceCounter(&a);
    auto start = Clock::now();
    Sleep(20000);  // 20 lab seconds: 20 real milliseconds
    const double slept = realMs(start);
    QueryPerformanceCounter(&b);
    EXPECT_GE(slept, 19.0);
    EXPECT_LT(slept, 2000.0);
    EXPECT_GE(static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart), 20.0)
        << "the counter measures the lab time that passed";

    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 30000), static_cast<DWORD>(WAIT_TIMEOUT));
    const double waited = realMs(start);
    EXPECT_GE(waited, 29.0);
    EXPECT_LT(waited, 3000.0);
    CloseHandle(ev);
}

DWORD WINAPI setLater(LPVOID param) {
    Sleep(1000);
    SetEvent(static_cast<HANDLE>(param));
    return 7;
}

TEST(Sync, EventsThreadsAndExitCodes) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD tid = 0;
    HANDLE th = CreateThread(nullptr, 0, setLater, ev, 0, &tid);
    ASSERT_NE(th, nullptr);
    EXPECT_NE(tid, 0u);
    // The thread signals after 1 lab second; the wait allows 1,000.
    EXPECT_EQ(WaitForSingleObject(ev, 1000000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "auto-reset";
    EXPECT_EQ(WaitForSingleObject(th, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(th, &code));
    EXPECT_EQ(code, 7u);

    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const HANDLE both[] = {ev, manual};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0) << "manual reset stays set";
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(CreateThread(nullptr, 0, setLater, ev, CREATE_SUSPENDED, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    for (HANDLE h : {ev, th, manual}) EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_FAILED);
}

std::string probeSection(const char* name, const char* labDir = nullptr) {
    std::string cmd = std::string(labDir ? "ZELFIN_LAB='" + std::string(labDir) + "' " : "") + WINSIM_PROBE +
                      " section " + name;
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    char buf[128];
    while (p && std::fgets(buf, sizeof buf, p)) out += buf;
    if (p) ::pclose(p);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

TEST(Sections, NamedSectionIsSharedByTheProcessesOfOneLab) {
    EXPECT_EQ(probeSection("ZELFIN"), "new");
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 32, "ZELFIN");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(probeSection("ZELFIN"), "exists");
    EXPECT_EQ(probeSection("OTHER"), "new");

    char otherLab[] = "/tmp/winsim-other-lab-XXXXXX";
    ASSERT_NE(::mkdtemp(otherLab), nullptr);
    lab::Lab::create(otherLab, "empty");  // a lab named by ZELFIN_LAB must be one already
    EXPECT_EQ(probeSection("ZELFIN", otherLab), "new") << "another lab is another PC";
    std::filesystem::remove_all(otherLab);

    auto* mem = static_cast<char*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(mem, nullptr);
    mem[0] = 'Z';
    HANDLE second = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 32, "ZELFIN");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    auto* view = static_cast<char*>(MapViewOfFile(second, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[0], 'Z');
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(UnmapViewOfFile(mem));
    CloseHandle(second);
    CloseHandle(h);
    EXPECT_EQ(probeSection("ZELFIN"), "new") << "gone once every handle is closed";
}

}  // namespace
