#include "LoginLog.h"

#include "StoreLimitSettings.h"
#include "TextUtil.h"

#include <QFile>

#include <atomic>

namespace kelvra {

namespace {
// A client chooses the user name: without a bound, one KMS_USER can add a
// megabyte to a file that is never trimmed.
std::atomic<qsizetype> Limit{TStoreLimits::kLogTextBytes};
std::atomic<bool> CreateMissing{false};
} // namespace

void LoginLog::SetCreateMissing(bool create) {
    CreateMissing = create;
}

void LoginLog::SetTextLimit(qsizetype bytes) {
    Limit = bytes;
}

qsizetype LoginLog::TextLimit() {
    return Limit;
}

QByteArray LoginLog::Bounded(const QByteArray& text, qsizetype limit) {
    // Cut first: an escape is never split, and the limit counts the client's bytes.
    if (text.size() <= limit)
        return EscapeControls(text);
    return EscapeControls(text.left(limit)) + "...[cut, " + QByteArray::number(text.size()) +
           " bytes]";
}

void LoginLog::EnsureFile(const QString& path) {
    if (path.isEmpty() || QFile::exists(path))
        return;
    QFile file(path);
    // Who logged on under which name is for the operator's eyes only.
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                  QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        file.close();
}

bool LoginLog::AppendBlock(const QString& path, const QByteArray& userName,
                           const QByteArray& nickname) {
    QFile file(path);
    const QIODevice::OpenMode mode =
        QIODevice::WriteOnly | QIODevice::Append |
        (CreateMissing ? QIODevice::OpenMode() : QIODevice::ExistingOnly);
    if (path.isEmpty() || !file.open(mode, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    QByteArray block;
    block += "------------------------\r\n";
    const qsizetype limit = TextLimit();
    block += "User Name : " + Bounded(userName, limit) + "\r\n";
    block += "Nickname : " + Bounded(nickname, limit) + "\r\n";
    block += "Login Time : " + LongTimeText().toLocal8Bit() + "\r\n";
    block += "Login Date : " + ShortDateText().toLocal8Bit() + "\r\n";
    const bool ok = file.write(block) == block.size();
    file.close();
    return ok;
}

} // namespace kelvra
