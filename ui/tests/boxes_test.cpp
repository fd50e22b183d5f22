// Message boxes and file dialogs without an operator: printed, and answered from the lists of
// answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <ui/ui.h>

#include "headless_env.h"

namespace {

struct BoxCase {
    const char* answers;
    UINT type;
    std::vector<int> expected;  // one box per entry
};
void PrintTo(const BoxCase& c, std::ostream* os) { *os << '"' << c.answers << "\" type " << c.type; }

class UiMessageBoxes : public ::testing::TestWithParam<BoxCase> {};

TEST_P(UiMessageBoxes, TakeTheNextAnswerThatFits) {
    const BoxCase& c = GetParam();
    ui::headless::setMessageBoxAnswers(c.answers);
    for (int expected : c.expected) EXPECT_EQ(MessageBoxA(nullptr, "Go on?", "Zelfin", c.type), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UiMessageBoxes,
    ::testing::Values(BoxCase{"", MB_OK | MB_ICONERROR, {IDOK, IDOK}},
                      BoxCase{"yes,no", MB_YESNO | MB_ICONQUESTION, {IDYES, IDNO, IDYES}},  // used up: Yes
                      BoxCase{" No , YES ", MB_YESNO | MB_ICONEXCLAMATION, {IDNO, IDYES}},
                      BoxCase{"no", MB_OK, {IDOK}},  // does not fit an OK box: its only button
                      BoxCase{"cancel,ok", MB_OKCANCEL | MB_DEFBUTTON2, {IDCANCEL, IDOK, IDOK}},
                      BoxCase{"ignore,retry", MB_ABORTRETRYIGNORE, {IDIGNORE, IDRETRY, IDABORT}},
                      BoxCase{"cancel", MB_YESNOCANCEL, {IDCANCEL, IDYES}}));

TEST(UiMessageBox, IsPrintedAsCaptionAndText) {
    ui::headless::setMessageBoxAnswers("");
    testing::internal::CaptureStderr();
    MessageBoxA(nullptr, "The log file cannot be created.", "Zelfin", MB_OK | MB_ICONERROR);
    MessageBoxA(nullptr, "no caption", nullptr, MB_OK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Zelfin: The log file cannot be created.\nError: no caption\n");
}

TEST(UiMessageBox, UnknownFlagsAreRefused) {
    for (UINT type : {0x6u, 0x50u, 0x400u, 0x00100000u}) {
        SetLastError(0);
        EXPECT_EQ(MessageBoxA(nullptr, "x", "y", type), 0) << type;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
}

TEST(UiFileDialog, SplitsFiltersOfEitherForm) {
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(ui::splitFilter("Bin Files (*.bin)|*.bin|All Files (*.*)|*.*|"),
              (Pairs{{"Bin Files (*.bin)", "*.bin"}, {"All Files (*.*)", "*.*"}}));
    EXPECT_EQ(ui::splitFilter("Text Files (*.txt)|*.txt|All Files (*.*)|*.*||"),
              (Pairs{{"Text Files (*.txt)", "*.txt"}, {"All Files (*.*)", "*.*"}}));
    EXPECT_EQ(ui::splitFilter(std::string("Images\0*.bin;*.sig\0\0", 20)), (Pairs{{"Images", "*.bin;*.sig"}}));
    EXPECT_TRUE(ui::splitFilter("").empty());
}

TEST(UiFileDialog, TakesTheQueuedAnswersAndConfirmsAsAsked) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("zelfin-ui-files-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string existing = (dir / "UPLOAD.BIN").string();
    std::ofstream(existing) << "x";
    const std::string fresh = (dir / "new.bin").string();

    ui::FileDialogRequest save;
    save.save = true;
    save.filter = "Bin Files (*.bin)|*.bin|All Files (*.*)|*.*|";
    save.initialName = "UPLOAD.BIN";
    save.flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    // The operator refuses to replace the existing file and picks a new one.
    ui::headless::setMessageBoxAnswers("no");
    ui::headless::queueFileAnswer(existing);
    ui::headless::queueFileAnswer(fresh);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ui::fileDialog(save), fresh);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Save As: " + existing + "\nSave As: " + existing +
                                                          " already exists. Do you want to replace it?\nSave As: " +
                                                          fresh + "\n");

    ui::FileDialogRequest open;
    open.flags = OFN_FILEMUSTEXIST | OFN_NOCHANGEDIR;
    ui::headless::queueFileAnswer(std::nullopt);
    EXPECT_EQ(ui::fileDialog(open), std::nullopt);
    EXPECT_EQ(ui::fileDialog(open), std::nullopt);  // nothing queued: cancelled

    // Without OFN_NOCHANGEDIR the file's folder becomes the current directory.
    char before[MAX_PATH];
    GetCurrentDirectoryA(sizeof before, before);
    ui::headless::queueFileAnswer(existing);
    EXPECT_EQ(ui::fileDialog(ui::FileDialogRequest{}), existing);
    EXPECT_NE(GetFileAttributesA("UPLOAD.BIN"), INVALID_FILE_ATTRIBUTES);
    SetCurrentDirectoryA(before);
    fs::remove_all(dir);
}

}  // namespace
