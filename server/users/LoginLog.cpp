#include "LoginLog.h"

#include "TextUtil.h"

#include <QFile>

namespace kelvra {

void LoginLog::EnsureFile(const QString& path) {
    if (path.isEmpty() || QFile::exists(path))
        return;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        file.close();
}

bool LoginLog::AppendBlock(const QString& path, const QByteArray& userName,
                           const QByteArray& nickname) {
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly))
        return false;
    QByteArray block;
    block += "------------------------\r\n";
    block += "User Name : " + userName + "\r\n";
    block += "Nickname : " + nickname + "\r\n";
    block += "Login Time : " + LongTimeText().toLocal8Bit() + "\r\n";
    block += "Login Date : " + ShortDateText().toLocal8Bit() + "\r\n";
    const bool ok = file.write(block) == block.size();
    file.close();
    return ok;
}

} // namespace kelvra
