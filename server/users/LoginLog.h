#pragma once
// The login log: five-line blocks appended for every user-information request.
#include <QByteArray>
#include <QString>

namespace kelvra {

namespace LoginLog {
// Creates an empty file when none exists; failures are silent.
void EnsureFile(const QString& path);
// Appends one block; the file must exist (it is not created here). Failures are silent.
bool AppendBlock(const QString& path, const QByteArray& userName, const QByteArray& nickname);
} // namespace LoginLog

} // namespace kelvra
