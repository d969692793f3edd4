#pragma once
// Text helpers shared by every subsystem. Texts are single-byte; case is
// ignored for the 26 ASCII letters only.
#include <QByteArray>
#include <QDate>
#include <QString>
#include <QTime>
#include <cstdint>
#include <optional>

namespace kelvra {

// Removes every leading and trailing character of code 32 or less.
QByteArray TrimText(const QByteArray& text);
QByteArray AsciiLower(const QByteArray& text);
bool SameTextAscii(const QByteArray& a, const QByteArray& b);

// Text to a signed 32-bit integer: optional leading blanks, then an optional
// sign and decimal digits, or "$" and hexadecimal digits; nothing after them.
std::optional<int32_t> StrToInt(const QByteArray& text);
// The value of one hexadecimal digit (either case), -1 for any other character.
int HexDigitValue(char16_t c);
inline std::optional<int32_t> StrToInt(const QString& text) {
    return StrToInt(text.toLatin1());
}

// A client's text made safe for one line of a log: each control character
// (bytes 0 to 31 and 127) becomes \r, \n, \t or \xNN, so the text cannot
// break or forge lines. Other bytes stay as they are (code page 1252). A
// backslash is doubled only where it would otherwise read as the start of an
// escape (before r, n, t, x or another backslash), so "C:\dir" stays readable
// and every output still decodes to exactly one input.
QByteArray EscapeControls(const QByteArray& text);
// The same, cut to `shown` bytes first (with "..." after a cut), as the
// socket error log shows a client's name.
QString LogText(const QByteArray& text, qsizetype shown = 64);

// Single-byte texts in and out of Qt strings. The protocol's texts are in the
// Windows code page 1252; its five unassigned bytes map to the control
// characters of the same number, so every byte survives a round trip.
// Characters the code page cannot hold become "?".
QString FromBytes(const QByteArray& b);
QByteArray ToBytes(const QString& s);

// The system locale's long time and short date formats, without a time-zone suffix.
QString LongTimeText(const QTime& t = QTime::currentTime());
QString ShortDateText(const QDate& d = QDate::currentDate());

// Monotonic millisecond tick count truncated to 32 bits (wraps around).
uint32_t TickCount();

} // namespace kelvra
