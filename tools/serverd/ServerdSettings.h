#pragma once
// Where kelvra-serverd's settings come from. With a configuration (--config),
// that read-only file decides the server's own values (nickname, port, bind
// address, password, file paths, and its sections TLS, Limits and Web), and
// the state file (--settings) keeps what the server writes back: bans, saved
// paths and presets. Without one, a single settings file in the console's
// layout holds everything, as it always has. Options on the command line win
// over both.
#include "RegLink.h"

#include <QStringList>
#include <memory>
#include <optional>

namespace kelvra {

class TServerdSettings {
public:
    // What the command line says; unset or empty where it says nothing.
    struct TChoices {
        QString ConfigFile;
        QString SettingsFile; // empty: the per-user store
        std::optional<QByteArray> Nick;
        std::optional<QString> Port;
        std::optional<QString> Bind;
    };
    // What the server runs with.
    struct TValues {
        QByteArray Nick;
        QString Port;
        QString Bind; // an IPv4 address or kAnyConnection
        QByteArray Password;
    };

    explicit TServerdSettings(TChoices choices);

    // Reads the configuration and the state file and checks that the state
    // file can be written back. False with one line per problem, each naming
    // its file. warnings gets what the configuration holds that is not read.
    bool Open(QString* error, QStringList* warnings);
    // Reads both files again; false with the reason, and nothing changed,
    // when one of them cannot be read.
    bool Reread(QString* error, QStringList* warnings = nullptr);

    TRegLink& Store() { return *Reg; }
    bool HasConfiguration() const { return !Choices.ConfigFile.isEmpty(); }
    const TChoices& CommandLine() const { return Choices; }

    // False with a message when no nickname is given anywhere, or it is blank.
    bool Values(TValues* values, QString* error) const;

    // The configuration's sections and their values.
    static const QStringList& ConfigurationSections();

private:
    bool ReadConfiguration(std::shared_ptr<TSettingsFile>* config, QString* error) const;
    // What the configuration holds that is not read, one line each.
    QStringList Unread(const TSettingsFile& config) const;

    TChoices Choices;
    std::unique_ptr<TRegLink> Reg;
};

} // namespace kelvra
