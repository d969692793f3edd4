#include "RegLink.h"

#include "TextUtil.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>

namespace kelvra {

namespace {

QString SetDataError(const QString& name) {
    return QStringLiteral("Failed to set data for '%1'").arg(name);
}

QString KeyOf(const QString& section, const QString& name) {
    return section.toLower() + QLatin1Char('\n') + name.toLower();
}

// What a configuration decides: these sections whole, and these values of
// the store under the configuration's own names.
bool ConfigurationSection(const QString& section) {
    for (const char* name : {"Server", "Files", "TLS", "Limits", "Web"})
        if (section.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

struct TAlias {
    const char* Section;
    const char* Name;
    const char* ConfigSection;
    const char* ConfigName;
};
constexpr TAlias kAliases[] = {
    {"", "Logfile", "Files", "LoginLog"},
    {"", "Mailfile", "Files", "MailFile"},
    {"Main", "Home", "Server", "Bind"},
    {"Main", "Password", "Server", "Password"},
};

} // namespace

TRegLink::TRegLink(const QString& companyName, const QString& programName)
    : TRegLink(TAtPath{}, QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                              QLatin1Char('/') + companyName + QLatin1Char('/') + programName +
                              QStringLiteral(".conf")) {}

std::unique_ptr<TRegLink> TRegLink::AtPath(const QString& filePath) {
    return std::unique_ptr<TRegLink>(new TRegLink(TAtPath{}, filePath));
}

TRegLink::~TRegLink() {
    if (!Pending.empty())
        Flush();
}

TRegLink::TOpenResult TRegLink::Open(QString* message) {
    if (QFileInfo(Path).isDir()) {
        *message = QStringLiteral("%1 is a folder, not a settings file: nothing can be saved there")
                       .arg(Path);
        return TOpenResult::NotWritable;
    }
    Loaded = false;
    Refresh();
    if (!Refusal.isEmpty()) {
        *message = Refusal;
        return TOpenResult::Refused;
    }
    const QString problem = PathWriteProblem(Path, TWriteMode::Replace, true);
    if (!problem.isEmpty()) {
        *message = QStringLiteral("the settings cannot be saved: %1").arg(problem);
        return TOpenResult::NotWritable;
    }
    return TOpenResult::Ok;
}

bool TRegLink::Reload(QString* error) {
    TSettingsFile fresh;
    if (!fresh.Load(Path, error))
        return false;
    Doc = std::move(fresh);
    DocIdentity = FileIdentity(Path);
    Loaded = true;
    Refusal.clear();
    return true;
}

void TRegLink::SetConfiguration(std::shared_ptr<const TSettingsFile> config) {
    Config = std::move(config);
}

QByteArray TRegLink::FileIdentity(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return QByteArray::number(static_cast<qulonglong>(st.st_dev)) + ':' +
           QByteArray::number(static_cast<qulonglong>(st.st_ino)) + ':' +
           QByteArray::number(static_cast<qlonglong>(st.st_size)) + ':' +
           QByteArray::number(static_cast<qlonglong>(st.st_mtim.tv_sec)) + '.' +
           QByteArray::number(static_cast<qlonglong>(st.st_mtim.tv_nsec));
}

void TRegLink::Refresh() const {
    const QByteArray identity = FileIdentity(Path);
    if (Loaded && identity == DocIdentity)
        return;
    TSettingsFile fresh;
    QString error;
    if (fresh.Load(Path, &error)) {
        Doc = std::move(fresh);
        Refusal.clear();
    } else {
        Refusal = error;
    }
    DocIdentity = identity;
    Loaded = true;
}

std::optional<QString> TRegLink::Lookup(const QString& section, const QString& name) const {
    if (Config) {
        for (const TAlias& alias : kAliases)
            if (section.compare(QLatin1String(alias.Section), Qt::CaseInsensitive) == 0 &&
                name.compare(QLatin1String(alias.Name), Qt::CaseInsensitive) == 0)
                return Config->Value(QLatin1String(alias.ConfigSection),
                                     QLatin1String(alias.ConfigName));
        if (ConfigurationSection(section))
            return Config->Value(section, name);
    }
    if (!Pending.empty()) {
        const auto found = PendingIndex.constFind(KeyOf(section, name));
        if (found != PendingIndex.cend())
            return Pending[*found].Value;
    }
    Refresh();
    return Doc.Value(section, name);
}

QString TRegLink::ReadString(const QString& section, const QString& name,
                             const QString& def) const {
    return Lookup(section, name).value_or(def);
}

int32_t TRegLink::ReadInteger(const QString& section, const QString& name, int32_t def) const {
    const std::optional<QString> text = Lookup(section, name);
    return text ? ConvertInteger(*text, def) : def;
}

bool TRegLink::ReadBool(const QString& section, const QString& name, bool def) const {
    return ReadInteger(section, name, def ? 1 : 0) != 0;
}

bool TRegLink::WriteString(const QString& section, const QString& name, const QString& value) {
    // Checking the file system once per sequence of writes; a file that goes
    // away later is caught by Flush.
    if (Pending.empty()) {
        Refresh();
        if (!Refusal.isEmpty() || !PathWriteProblem(Path, TWriteMode::Replace, true).isEmpty()) {
            Error = SetDataError(name);
            return false;
        }
    }
    PendingIndex.insert(KeyOf(section, name), Pending.size());
    Pending.push_back({section, name, value});
    return true;
}

bool TRegLink::WriteInteger(const QString& section, const QString& name, int32_t value) {
    return WriteString(section, name, QString::number(value));
}

bool TRegLink::WriteBool(const QString& section, const QString& name, bool value) {
    return WriteString(section, name, value ? QStringLiteral("1") : QStringLiteral("0"));
}

bool TRegLink::Flush() {
    if (Pending.empty())
        return true;
    const QString first = Pending.front().Name;
    // On top of the file as it is now; a file that stopped being a settings
    // file meanwhile is left alone.
    Refresh();
    bool ok = Refusal.isEmpty();
    if (ok) {
        TSettingsFile next = Doc;
        for (const TWrite& write : Pending)
            next.SetValue(write.Section, write.Name, write.Value);
        QString error;
        ok = next.Save(Path, &error);
        if (ok) {
            Doc = std::move(next);
            DocIdentity = FileIdentity(Path);
        }
    }
    if (!ok)
        Error = SetDataError(first);
    Pending.clear();
    PendingIndex.clear();
    return ok;
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
