#include "TextUtil.h"

#include <QElapsedTimer>
#include <QLocale>

namespace kelvra {

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
    static const QString format = WithoutTimeZone(QLocale::system().timeFormat(QLocale::LongFormat));
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

} // namespace kelvra
