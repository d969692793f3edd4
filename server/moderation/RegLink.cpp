#include "RegLink.h"

#include "TextUtil.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace kelvra {

namespace {

QString SetDataError(const QString& name) {
    return QStringLiteral("Failed to set data for '%1'").arg(name);
}

} // namespace

TRegLink::TRegLink(const QString& companyName, const QString& programName)
    : TRegLink(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                           companyName, programName)) {}

TRegLink::TRegLink(std::unique_ptr<QSettings> settings) : Settings(std::move(settings)) {
    // Only the program's own key counts; values of the system-wide or
    // company-wide files must not show through as if they were ours.
    Settings->setFallbacksEnabled(false);
}

std::unique_ptr<TRegLink> TRegLink::AtPath(const QString& filePath) {
    return std::unique_ptr<TRegLink>(
        new TRegLink(std::make_unique<QSettings>(filePath, QSettings::IniFormat)));
}

TRegLink::~TRegLink() {
    // QSettings would write pending values on destruction anyway; do it here so
    // the file gets the owner-only treatment.
    if (HasUnflushed)
        Flush();
}

QString TRegLink::FilePath() const {
    return Settings->fileName();
}

QString TRegLink::Key(const QString& section, const QString& name) {
    return section.isEmpty() ? name : section + QLatin1Char('/') + name;
}

QString TRegLink::Text(const QVariant& value, const QString& def) {
    if (!value.isValid())
        return def;
    // A hand-edited value with unquoted commas comes back as a list.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

QString TRegLink::ReadString(const QString& section, const QString& name,
                             const QString& def) const {
    return Text(Settings->value(Key(section, name)), def);
}

int32_t TRegLink::ReadInteger(const QString& section, const QString& name, int32_t def) const {
    if (!Settings->contains(Key(section, name)))
        return def;
    return ConvertInteger(ReadString(section, name, QString()), def);
}

bool TRegLink::ReadBool(const QString& section, const QString& name, bool def) const {
    return ReadInteger(section, name, def ? 1 : 0) != 0;
}

bool TRegLink::WriteString(const QString& section, const QString& name, const QString& value) {
    // QSettings' status is not looked at here: it stays at FormatError for the
    // object's lifetime once any line of the file could not be read, although
    // such a file is still written (without the line). Flush checks the result.
    //
    // Checking writability touches the file system, so it is done once per
    // batch of writes; a file that goes away later is caught by Flush.
    if (!HasUnflushed) {
        if (!Settings->isWritable()) {
            Error = SetDataError(name);
            return false;
        }
        HasUnflushed = true;
        FirstUnflushed = name;
        // Taken here rather than in Flush: QSettings may write by itself when
        // the event loop runs in between.
        FileBefore = FileIdentity(Settings->fileName());
    }
    Settings->setValue(Key(section, name), value);
    return true;
}

bool TRegLink::WriteInteger(const QString& section, const QString& name, int32_t value) {
    return WriteString(section, name, QString::number(value));
}

bool TRegLink::WriteBool(const QString& section, const QString& name, bool value) {
    return WriteString(section, name, value ? QStringLiteral("1") : QStringLiteral("0"));
}

bool TRegLink::Flush() {
    const QString path = Settings->fileName();
    const bool hadWrites = HasUnflushed;
#ifdef Q_OS_UNIX
    // The file holds the server password: never let it exist world-readable,
    // not even between creation and the chmod below.
    const mode_t oldMask = ::umask(077);
    Settings->sync();
    ::umask(oldMask);
#else
    Settings->sync();
#endif
    // QSettings writes the whole file to a temporary one and renames it, so
    // the file holds either all of this sequence or none of it. Its status
    // never goes back to NoError: after a line it could not read (the file is
    // written all the same, without that line) or one failed write it would
    // fail every later sequence. So once it is not NoError, a new file in
    // place of the old one is what tells that the sequence was stored.
    bool ok = Settings->status() == QSettings::NoError;
    if (!ok) {
        const QByteArray after = FileIdentity(path);
        ok = !hadWrites || (!after.isEmpty() && after != FileBefore);
    }
    if (ok && QFile::exists(path))
        ok = QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!ok)
        Error = SetDataError(FirstUnflushed);
    HasUnflushed = false;
    FirstUnflushed.clear();
    return ok;
}

QByteArray TRegLink::FileIdentity(const QString& path) {
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return QByteArray::number(static_cast<qulonglong>(st.st_dev)) + ':' +
           QByteArray::number(static_cast<qulonglong>(st.st_ino));
#else
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    return QByteArray::number(info.lastModified().toMSecsSinceEpoch()) + ':' +
           QByteArray::number(info.size());
#endif
}

int32_t TRegLink::ConvertInteger(const QString& text, int32_t def) {
    if (text.size() > 2 && text[0] == QLatin1Char('0') &&
        (text[1] == QLatin1Char('x') || text[1] == QLatin1Char('X'))) {
        return StrToInt(QByteArray("$") + ToBytes(text.mid(2))).value_or(def);
    }
    // Decimal only: the "$" hexadecimal form of the shared helper is not ours.
    for (const QChar c : text) {
        if (c == QLatin1Char('$'))
            return def;
        if (c != QLatin1Char(' '))
            break;
    }
    return StrToInt(text).value_or(def);
}

} // namespace kelvra
