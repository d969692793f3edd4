#pragma once
// The login log: five-line blocks appended for every user-information request.
#include <QByteArray>
#include <QString>

namespace kelvra {

namespace LoginLog {
// Creates an empty file when none exists; failures are silent.
void EnsureFile(const QString& path);
// Appends one block; the file must exist (it is not created here). Failures are silent.
// A user name or nickname longer than the text limit is written cut, with a
// marker that gives its full length; control characters in either are written
// escaped, so a block is always five lines.
bool AppendBlock(const QString& path, const QByteArray& userName, const QByteArray& nickname);

// Whether an append creates the file when it is missing (owner-only). The
// headless service sets it, so log rotation that moves the file away loses
// no block; the console keeps the file gone until the operator chooses one.
void SetCreateMissing(bool create);

// The text limit in bytes, for the one login log of the process.
void SetTextLimit(qsizetype bytes);
qsizetype TextLimit();
// text, or its first `limit` bytes followed by "...[cut, <length> bytes]",
// with its control characters escaped (EscapeControls).
QByteArray Bounded(const QByteArray& text, qsizetype limit);
} // namespace LoginLog

} // namespace kelvra
