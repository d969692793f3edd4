#include "ControlPath.h"

#include <QFileInfo>

namespace kelvra {

namespace {

// The first directory systemd lists in RUNTIME_DIRECTORY (it may list several).
QString SystemdRuntimeDirectory() {
    const QString dirs = qEnvironmentVariable("RUNTIME_DIRECTORY");
    return dirs.section(QLatin1Char(':'), 0, 0);
}

} // namespace

QString DefaultControlPath(QString* error) {
    const QString service = SystemdRuntimeDirectory();
    if (!service.isEmpty())
        return service + QStringLiteral("/control");
    const QString user = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!user.isEmpty())
        return user + QStringLiteral("/kelvra/control");
    if (error)
        *error = QStringLiteral("neither RUNTIME_DIRECTORY nor XDG_RUNTIME_DIR is set");
    return QString();
}

QString DefaultAdminSocketPath(QString* error) {
    QString why;
    const QString path = DefaultControlPath(&why);
    const QString service = QString::fromLatin1(kServiceControlPath);
    if (!path.isEmpty() && (QFileInfo::exists(path) || !QFileInfo::exists(service)))
        return path;
    if (QFileInfo::exists(service))
        return service;
    if (error)
        *error = why + QStringLiteral(", and ") + service + QStringLiteral(" does not exist");
    return QString();
}

} // namespace kelvra
