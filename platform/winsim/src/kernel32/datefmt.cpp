// Locale date and time pictures ("ddMMMyyyy", "HH:mm:ss") for English and German.
#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"

using namespace winsim;

namespace {

struct LocaleNames {
    const char* months[12];
    const char* monthAbbrev[12];
    const char* days[7];
    const char* dayAbbrev[7];
    const char* shortDate;
    const char* longDate;
    const char* time;
    const char* am;
    const char* pm;
};

const LocaleNames kEnglish = {
    {"January", "February", "March", "April", "May", "June", "July", "August", "September", "October", "November",
     "December"},
    {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"},
    {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"},
    {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"},
    "M/d/yyyy",
    "dddd, MMMM d, yyyy",
    "h:mm:ss tt",
    "AM",
    "PM"};

const LocaleNames kGerman = {
    {"Januar", "Februar", "M\xC3\xA4rz", "April", "Mai", "Juni", "Juli", "August", "September", "Oktober", "November",
     "Dezember"},
    {"Jan", "Feb", "M\xC3\xA4r", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"},
    {"Sonntag", "Montag", "Dienstag", "Mittwoch", "Donnerstag", "Freitag", "Samstag"},
    {"So", "Mo", "Di", "Mi", "Do", "Fr", "Sa"},
    "dd.MM.yyyy",
    "dddd, d. MMMM yyyy",
    "HH:mm:ss",
    "",
    ""};

const LocaleNames* localeFor(LCID locale) {
    LANGID lang = static_cast<LANGID>(locale & 0xFFFF);
    if (lang == LANG_USER_DEFAULT || lang == LANG_SYSTEM_DEFAULT || lang == 0) lang = currentLab().uiLanguage();
    if (PRIMARYLANGID(lang) == LANG_GERMAN) return &kGerman;
    if (PRIMARYLANGID(lang) == LANG_ENGLISH) return &kEnglish;
    return nullptr;
}

std::string num(int v, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*d", width, v);
    return buf;
}

// Expands a picture; letters outside `pictureLetters` and quoted text are copied as they are.
std::string expand(const char* picture, const char* pictureLetters, const SYSTEMTIME& st, const LocaleNames& names,
                   DWORD flags) {
    std::string out;
    for (const char* p = picture; *p;) {
        if (*p == '\'') {
            ++p;
            while (*p) {
                if (*p == '\'' && p[1] == '\'') {
                    out += '\'';
                    p += 2;
                } else if (*p == '\'') {
                    ++p;
                    break;
                } else {
                    out += *p++;
                }
            }
            continue;
        }
        if (!std::strchr(pictureLetters, *p)) {
            out += *p++;
            continue;
        }
        const char c = *p;
        int n = 0;
        while (p[n] == c) ++n;
        p += n;
        switch (c) {
        case 'd':
            if (n == 1) out += std::to_string(st.wDay);
            else if (n == 2) out += num(st.wDay, 2);
            else if (n == 3) out += names.dayAbbrev[st.wDayOfWeek % 7];
            else out += names.days[st.wDayOfWeek % 7];
            break;
        case 'M': {
            const int m = (st.wMonth >= 1 && st.wMonth <= 12) ? st.wMonth : 1;
            if (n == 1) out += std::to_string(m);
            else if (n == 2) out += num(m, 2);
            else if (n == 3) out += names.monthAbbrev[m - 1];
            else out += names.months[m - 1];
            break;
        }
        case 'y':
            if (n == 1) out += std::to_string(st.wYear % 100);
            else if (n == 2) out += num(st.wYear % 100, 2);
            else out += num(st.wYear, 4);
            break;
        case 'g': break;  // no era in these calendars
        case 'h': {
            int h = (flags & TIME_FORCE24HOURFORMAT) ? st.wHour : st.wHour % 12;
            if (!(flags & TIME_FORCE24HOURFORMAT) && h == 0) h = 12;
            out += n == 1 ? std::to_string(h) : num(h, 2);
            break;
        }
        case 'H': out += n == 1 ? std::to_string(st.wHour) : num(st.wHour, 2); break;
        case 'm':
            out += n == 1 ? std::to_string(st.wMinute) : num(st.wMinute, 2);
            break;
        case 's':
            out += n == 1 ? std::to_string(st.wSecond) : num(st.wSecond, 2);
            break;
        case 't': {
            if (flags & TIME_FORCE24HOURFORMAT) break;
            const char* marker = st.wHour < 12 ? names.am : names.pm;
            out += n == 1 ? std::string(marker, marker[0] ? 1 : 0) : marker;
            break;
        }
        }
    }
    return out;
}

int finish(const std::string& text, LPSTR buffer, int size) {
    if (size < 0 || (size > 0 && !buffer)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (size == 0) return static_cast<int>(text.size() + 1);
    if (static_cast<size_t>(size) < text.size() + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size() + 1);
}

bool currentOr(const SYSTEMTIME* given, SYSTEMTIME* out) {
    if (given) {
        *out = *given;
        return true;
    }
    GetLocalTime(out);
    return true;
}

}  // namespace

extern "C" {

int WINAPI GetDateFormatA(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCSTR format, LPSTR buffer, int size) {
    const LocaleNames* names = localeFor(locale);
    if (!names) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((format && (flags & ~LOCALE_NOUSEROVERRIDE)) ||
        (flags & ~static_cast<DWORD>(DATE_SHORTDATE | DATE_LONGDATE | LOCALE_NOUSEROVERRIDE)) ||
        ((flags & DATE_SHORTDATE) && (flags & DATE_LONGDATE))) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    SYSTEMTIME st;
    currentOr(date, &st);
    if (st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 || st.wDay > 31) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* picture = format ? format : (flags & DATE_LONGDATE) ? names->longDate : names->shortDate;
    return finish(expand(picture, "dMyg", st, *names, 0), buffer, size);
}

int WINAPI GetTimeFormatA(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR format, LPSTR buffer, int size) {
    const LocaleNames* names = localeFor(locale);
    if (!names) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags & ~static_cast<DWORD>(TIME_NOSECONDS | TIME_FORCE24HOURFORMAT | LOCALE_NOUSEROVERRIDE)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    SYSTEMTIME st;
    currentOr(time, &st);
    std::string picture = format ? format : names->time;
    if (flags & TIME_NOSECONDS) {
        const size_t s = picture.find(":ss");
        if (s != std::string::npos) picture.erase(s, 3);
    }
    return finish(expand(picture.c_str(), "hHmst", st, *names, flags), buffer, size);
}

}  // extern "C"
