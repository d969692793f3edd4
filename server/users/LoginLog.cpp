#include "LoginLog.h"

#include "StoreLimitSettings.h"
#include "TextUtil.h"

#include <QFile>
#include <QMutex>

#include <atomic>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace kelvra {

namespace {
// A client chooses the user name: without a bound, one KMS_USER can add a
// megabyte to a file that is never trimmed.
std::atomic<qsizetype> Limit{TStoreLimits::kLogTextBytes};
std::atomic<bool> CreateMissing{false};

// The file stays open from one block to the next while its path names it: a
// login storm would otherwise open and close it a thousand times a second.
// A file moved away or deleted (log rotation) is noticed at the next block,
// which opens the path anew.
struct TOpenLog {
    QMutex Lock;
    QFile File;
};

TOpenLog& OpenLog() {
    static TOpenLog log;
    return log;
}

bool StillNamed(const QFile& file, const QString& path) {
    if (!file.isOpen() || file.fileName() != path)
        return false;
#ifdef Q_OS_UNIX
    struct stat named {};
    struct stat held {};
    return ::stat(QFile::encodeName(path).constData(), &named) == 0 &&
           ::fstat(file.handle(), &held) == 0 && named.st_dev == held.st_dev &&
           named.st_ino == held.st_ino;
#else
    return false; // elsewhere the path is opened for every block
#endif
}
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
    if (path.isEmpty())
        return false;
    QByteArray block;
    block += "------------------------\r\n";
    const qsizetype limit = TextLimit();
    block += "User Name : " + Bounded(userName, limit) + "\r\n";
    block += "Nickname : " + Bounded(nickname, limit) + "\r\n";
    block += "Login Time : " + LongTimeText().toLocal8Bit() + "\r\n";
    block += "Login Date : " + ShortDateText().toLocal8Bit() + "\r\n";
    TOpenLog& log = OpenLog();
    QMutexLocker lock(&log.Lock);
    if (!StillNamed(log.File, path)) {
        log.File.close();
        log.File.setFileName(path);
        const QIODevice::OpenMode mode =
            QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered |
            (CreateMissing ? QIODevice::OpenMode() : QIODevice::ExistingOnly);
        if (!log.File.open(mode, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            return false;
    }
    return log.File.write(block) == block.size();
}

} // namespace kelvra
