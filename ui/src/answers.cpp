#include "answers.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <vector>

#include <ui/driver.h>

namespace ui::detail {

namespace {

std::mutex g_mutex;
bool g_answersRead = false;
std::deque<std::string> g_answers;
bool g_filesRead = false;
std::deque<std::optional<std::string>> g_files;

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(sep, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

void setAnswersLocked(const std::string& list) {
    g_answers.clear();
    for (const std::string& a : split(list, ','))
        if (!trim(a).empty()) g_answers.push_back(trim(a));
    g_answersRead = true;
}

void readFilesLocked() {
    if (g_filesRead) return;
    g_filesRead = true;
    const char* env = std::getenv("ZELFIN_UI_FILES");
    if (!env || !*env) return;
    // '|' cannot occur in a Windows path; an empty entry cancels that dialog.
    for (const std::string& f : split(env, '|'))
        g_files.push_back(f.empty() ? std::nullopt : std::optional<std::string>(f));
}

struct Word {
    const char* text;
    int id;
};
constexpr Word kWords[] = {{"ok", IDOK},       {"cancel", IDCANCEL}, {"yes", IDYES},      {"no", IDNO},
                           {"abort", IDABORT}, {"retry", IDRETRY},   {"ignore", IDIGNORE}};

const char* wordFor(int id) {
    for (const Word& w : kWords)
        if (w.id == id) return w.text;
    return "?";
}

std::vector<int> buttonsOf(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OKCANCEL: return {IDOK, IDCANCEL};
        case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
        case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
        case MB_YESNO: return {IDYES, IDNO};
        case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
        default: return {IDOK};
    }
}

}  // namespace

int takeMessageBoxAnswer(UINT type) {
    const std::vector<int> buttons = buttonsOf(type);
    std::string word;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_answersRead) {
            const char* env = std::getenv("ZELFIN_UI_ANSWERS");
            setAnswersLocked(env ? env : "");
        }
        if (g_answers.empty()) return buttons.front();
        word = g_answers.front();
        g_answers.pop_front();
    }
    for (const Word& w : kWords) {
        if (::strcasecmp(w.text, word.c_str()) != 0) continue;
        for (int b : buttons)
            if (b == w.id) return b;
    }
    reportLine("zelfin-ui: the answer \"" + word + "\" does not fit this box; taking " + wordFor(buttons.front()));
    return buttons.front();
}

std::optional<std::optional<std::string>> takeFileAnswer() {
    std::lock_guard<std::mutex> lock(g_mutex);
    readFilesLocked();
    if (g_files.empty()) return std::nullopt;
    auto answer = g_files.front();
    g_files.pop_front();
    return answer;
}

void reportLine(const std::string& line) {
    static std::mutex m;
    std::lock_guard<std::mutex> lock(m);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace ui::detail

namespace ui::headless {

void setMessageBoxAnswers(const std::string& commaList) {
    std::lock_guard<std::mutex> lock(detail::g_mutex);
    detail::setAnswersLocked(commaList);
}

void queueFileAnswer(std::optional<std::string> path) {
    std::lock_guard<std::mutex> lock(detail::g_mutex);
    detail::readFilesLocked();
    detail::g_files.push_back(std::move(path));
}

}  // namespace ui::headless
