#include "ServerdSettings.h"

#include "ConnectionManager.h"
#include "LoginSettings.h"
#include "TextUtil.h"

#include <QDir>
#include <QFileInfo>

namespace kelvra {

namespace {

const QString kServer = QStringLiteral("Server");
const QString kFiles = QStringLiteral("Files");

// The names each section of the configuration reads; empty: checked elsewhere.
QStringList KnownNames(const QString& section) {
    if (section.compare(kServer, Qt::CaseInsensitive) == 0)
        return {"Nickname", "Port", "Bind", "Password"};
    if (section.compare(kFiles, Qt::CaseInsensitive) == 0)
        return {"LoginLog", "MailFile"};
    return {};
}

QString Canonical(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QFileInfo(path).absoluteFilePath() : canonical;
}

QString BindAddress(const QString& text) {
    // 0.0.0.0 is how the rest of the world writes "every address".
    if (text == QLatin1String("0.0.0.0") || text.compare(kAnyConnection, Qt::CaseInsensitive) == 0)
        return kAnyConnection;
    return text;
}

} // namespace

const QStringList& TServerdSettings::ConfigurationSections() {
    static const QStringList sections{"Server", "Files", "TLS", "Limits", "Web"};
    return sections;
}

TServerdSettings::TServerdSettings(TChoices choices) : Choices(std::move(choices)) {
    Reg = Choices.SettingsFile.isEmpty()
              ? std::make_unique<TRegLink>()
              : TRegLink::AtPath(QFileInfo(Choices.SettingsFile).absoluteFilePath());
}

bool TServerdSettings::ReadConfiguration(std::shared_ptr<TSettingsFile>* config,
                                         QString* error) const {
    const QFileInfo info(Choices.ConfigFile);
    if (!info.exists()) {
        *error = QStringLiteral("the configuration %1 does not exist").arg(Choices.ConfigFile);
        return false;
    }
    if (!info.isFile()) {
        *error = QStringLiteral("the configuration %1 is not a file").arg(Choices.ConfigFile);
        return false;
    }
    auto fresh = std::make_shared<TSettingsFile>();
    if (!fresh->Load(info.absoluteFilePath(), error))
        return false;
    *config = std::move(fresh);
    return true;
}

bool TServerdSettings::Open(QString* error, QStringList* warnings) {
    QStringList problems;
    if (HasConfiguration()) {
        std::shared_ptr<TSettingsFile> config;
        QString problem;
        if (!ReadConfiguration(&config, &problem)) {
            problems << problem;
        } else {
            Reg->SetConfiguration(config);
            *warnings << Unread(*config);
        }
        if (Canonical(Choices.ConfigFile) == Canonical(Reg->FilePath()))
            problems << QStringLiteral("%1 is the configuration, which the server never writes: "
                                       "give --settings another file for its state")
                            .arg(Choices.ConfigFile);
    }
    if (!Choices.SettingsFile.isEmpty()) {
        // A mistyped folder would otherwise be created and hide the mistake.
        const QFileInfo file(Reg->FilePath());
        if (!file.absoluteDir().exists())
            problems << QStringLiteral("the folder of the settings file does not exist: %1")
                            .arg(file.absolutePath());
    }
    if (problems.isEmpty()) {
        QString message;
        if (Reg->Open(&message) != TRegLink::TOpenResult::Ok)
            problems << message;
    }
    if (problems.isEmpty())
        return true;
    *error = problems.join(QLatin1Char('\n'));
    return false;
}

QStringList TServerdSettings::Unread(const TSettingsFile& config) const {
    QStringList unread;
    for (const QString& section : config.SectionNames()) {
        if (!ConfigurationSections().contains(section, Qt::CaseInsensitive)) {
            unread << QStringLiteral("the configuration %1 has a group [%2], which is not read: "
                                     "its groups are [%3]")
                          .arg(Choices.ConfigFile,
                               section.isEmpty() ? QStringLiteral("General") : section,
                               ConfigurationSections().join(QStringLiteral("], [")));
            continue;
        }
        const QStringList known = KnownNames(section);
        for (const QString& name : config.Names(section))
            if (!known.isEmpty() && !known.contains(name, Qt::CaseInsensitive))
                unread << QStringLiteral("the configuration %1 has %2 in [%3], which is not "
                                         "read: the names there are %4")
                              .arg(Choices.ConfigFile, name, section,
                                   known.join(QStringLiteral(", ")));
    }
    return unread;
}

bool TServerdSettings::Reread(QString* error, QStringList* warnings) {
    std::shared_ptr<TSettingsFile> config;
    if (HasConfiguration() && !ReadConfiguration(&config, error))
        return false;
    // Nothing is taken from a configuration the server could not start with.
    if (config && !Choices.Nick &&
        TrimText(ToBytes(config->Value(kServer, QStringLiteral("Nickname")).value_or(QString())))
            .isEmpty()) {
        *error = QStringLiteral("no server nickname in [Server] of %1").arg(Choices.ConfigFile);
        return false;
    }
    if (!Reg->Reload(error))
        return false;
    if (config) {
        Reg->SetConfiguration(config);
        if (warnings)
            *warnings << Unread(*config);
    }
    return true;
}

bool TServerdSettings::Values(TValues* values, QString* error) const {
    const TSettingsFile* config = Reg->Configuration();
    const auto fromConfig = [config](const char* name) {
        return config ? config->Value(kServer, QLatin1String(name)) : std::nullopt;
    };
    if (Choices.Nick) {
        values->Nick = *Choices.Nick;
    } else if (const auto nick = fromConfig("Nickname")) {
        values->Nick = ToBytes(*nick);
    } else {
        *error = config ? QStringLiteral("no server nickname: give --nick, or Nickname in "
                                         "[Server] of %1")
                              .arg(Choices.ConfigFile)
                        : QStringLiteral("no server nickname: give --nick");
        return false;
    }
    if (TrimText(values->Nick).isEmpty()) {
        *error = QStringLiteral("the server nickname must not be blank");
        return false;
    }

    if (config) {
        // The configuration alone decides these; the state file's presets are
        // the console's.
        values->Port = fromConfig("Port").value_or(QString::number(kDefaultPort));
        values->Bind = fromConfig("Bind").value_or(kAnyConnection);
        values->Password =
            ToBytes(Reg->ReadString(QStringLiteral("Main"), QStringLiteral("Password"), QString()));
    } else {
        // The answers the console's Server Login dialog would start with.
        const TLoginSettings stored =
            ReadLoginSettings(*Reg, TConnectionManager::LocalIPv4Addresses());
        values->Port = stored.Port();
        values->Bind = stored.BindAddress;
        values->Password = ToBytes(stored.Password);
        // The console's dialog shows an address that is gone as "any"; a
        // service must not quietly open every address instead of the one
        // kept, so it tries that one and says why it cannot.
        const QString home = BindAddress(
            Reg->ReadString(QStringLiteral("Main"), QStringLiteral("Home"), kAnyConnection)
                .trimmed());
        if (!home.isEmpty())
            values->Bind = home;
    }
    if (Choices.Port)
        values->Port = *Choices.Port;
    if (Choices.Bind)
        values->Bind = *Choices.Bind;
    values->Bind = BindAddress(values->Bind.trimmed());
    return true;
}

} // namespace kelvra
