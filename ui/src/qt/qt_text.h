// Text and size conversions between the toolkit (UTF-8, dialog units) and Qt.
#pragma once
#include <QString>
#include <string>

namespace ui::detail {

inline QString toQ(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

inline std::string fromQ(const QString& q) {
    const QByteArray b = q.toUtf8();
    return std::string(b.constData(), static_cast<size_t>(b.size()));
}

// MulDiv as Windows converts dialog units: value * base / per, rounded.
inline int scaled(int value, int base, int per) {
    const long long p = static_cast<long long>(value) * base;
    return static_cast<int>(p >= 0 ? (p + per / 2) / per : -((-p + per / 2) / per));
}

// A static text as Windows draws it: "&x" underlines x (shown here without the mark), "&&" is
// one ampersand.
inline QString staticText(const std::string& text, bool noPrefix) {
    if (noPrefix) return toQ(text);
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&') {
            if (i + 1 < text.size()) out += text[++i];  // "&x" shows x, "&&" shows &
            continue;
        }
        out += text[i];
    }
    return toQ(out);
}

}  // namespace ui::detail
