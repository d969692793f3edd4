#include "TextUtil.h"

#include <QElapsedTimer>
#include <QLocale>

#include <algorithm>

namespace kelvra {

namespace {

// Bytes 0x80 to 0x9F of code page 1252; the other bytes are their own code point.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

QString FromBytes(const QByteArray& b) {
    QString out(b.size(), Qt::Uninitialized);
    QChar* d = out.data();
    for (qsizetype i = 0; i < b.size(); ++i) {
        const auto c = static_cast<uint8_t>(b[i]);
        d[i] = (c >= 0x80 && c <= 0x9F) ? QChar(kHighControls[c - 0x80]) : QChar(c);
    }
    return out;
}

QByteArray ToBytes(const QString& s) {
    QByteArray out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t u = s[i].unicode();
        char c = '?';
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            c = static_cast<char>(u);
        } else if (QChar::isHighSurrogate(u) && i + 1 < s.size() && s[i + 1].isLowSurrogate()) {
            ++i; // one character, one "?"
        } else {
            for (int k = 0; k < 32; ++k)
                if (kHighControls[k] == u) {
                    c = static_cast<char>(0x80 + k);
                    break;
                }
        }
        out.append(c);
    }
    return out;
}

QByteArray EscapeControls(const QByteArray& text) {
    static const char kHex[] = "0123456789ABCDEF";
    const auto isControl = [](uint8_t c) { return c < 0x20 || c == 0x7F; };
    const auto first = std::find_if(text.begin(), text.end(), [&](char c) {
        return isControl(static_cast<uint8_t>(c)) || c == '\\';
    });
    if (first == text.end())
        return text;
    QByteArray out;
    out.reserve(text.size() + 16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c == '\\') {
            // What follows in the output: a control starts an escape itself.
            const bool last = i + 1 == text.size();
            const char next = last ? '\0' : text[i + 1];
            const bool ambiguous =
                !last && (isControl(static_cast<uint8_t>(next)) || next == '\\' || next == 'r' ||
                          next == 'n' || next == 't' || next == 'x');
            out += ambiguous ? "\\\\" : "\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (isControl(c)) {
            const char escaped[] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
            out.append(escaped, 4);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

QString LogText(const QByteArray& text, qsizetype shown) {
    if (text.size() <= shown)
        return FromBytes(EscapeControls(text));
    return FromBytes(EscapeControls(text.left(shown)) + "...");
}

QByteArray TrimText(const QByteArray& text) {
    qsizetype b = 0;
    qsizetype e = text.size();
    while (b < e && static_cast<uint8_t>(text[b]) <= 32)
        ++b;
    while (e > b && static_cast<uint8_t>(text[e - 1]) <= 32)
        --e;
    if (b == 0 && e == text.size())
        return text;
    return text.mid(b, e - b);
}

QByteArray AsciiLower(const QByteArray& text) {
    QByteArray out = text;
    for (qsizetype i = 0; i < out.size(); ++i) {
        const char c = out[i];
        if (c >= 'A' && c <= 'Z')
            out[i] = static_cast<char>(c + ('a' - 'A'));
    }
    return out;
}

bool SameTextAscii(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

std::optional<int32_t> StrToInt(const QByteArray& text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    if (i >= n)
        return std::nullopt;
    if (text[i] == '$') {
        ++i;
        if (i >= n)
            return std::nullopt;
        uint64_t v = 0;
        for (; i < n; ++i) {
            const char c = text[i];
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return std::nullopt;
            v = v * 16 + static_cast<uint64_t>(d);
            if (v > 0xFFFFFFFFull)
                return std::nullopt;
        }
        return static_cast<int32_t>(static_cast<uint32_t>(v));
    }
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= n)
        return std::nullopt;
    int64_t v = 0;
    for (; i < n; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
        if (v > 2147483648LL)
            return std::nullopt;
    }
    if (negative)
        v = -v;
    if (v > 2147483647LL || v < -2147483648LL)
        return std::nullopt;
    return static_cast<int32_t>(v);
}

namespace {
QString WithoutTimeZone(QString format) {
    format.remove(QLatin1Char('t'));
    return format.trimmed();
}
} // namespace

QString LongTimeText(const QTime& t) {
    static const QString format =
        WithoutTimeZone(QLocale::system().timeFormat(QLocale::LongFormat));
    return QLocale::system().toString(t, format);
}

QString ShortDateText(const QDate& d) {
    return QLocale::system().toString(d, QLocale::ShortFormat);
}

uint32_t TickCount() {
    static QElapsedTimer clock = [] {
        QElapsedTimer c;
        c.start();
        return c;
    }();
    return static_cast<uint32_t>(static_cast<quint64>(clock.elapsed()));
}

int HexDigitValue(char16_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace kelvra
