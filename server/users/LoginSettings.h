#pragma once
// The Server Login answers kept in the settings store: the port presets, the
// address to bind and the server password. Read and written here for both the
// console's dialog and the headless server, so they agree on every rule.
#include <QString>
#include <QStringList>

namespace kelvra {

class TRegLink;

inline const QString kAnyConnection = QStringLiteral("<Any Connection>");
constexpr int kDefaultPort = 1024;
// More presets than this are not read (a damaged count).
constexpr int kMaxPresets = 1000;

struct TLoginSettings {
    QStringList Presets; // "Ports"/"Preset1".."PresetNum"
    int Current = -1;    // the preset shown first; -1 when there are none
    QString BindAddress; // "Main"/"Home": a local address or kAnyConnection
    QString Password;    // "Main"/"Password"

    // The port the dialog shows first: the current preset, or 1024 when there
    // is none or it is blank.
    QString Port() const;
};

// localAddresses: this machine's IPv4 addresses; a stored address that is not
// one of them reads as kAnyConnection. A "Def" naming no preset selects the first.
TLoginSettings ReadLoginSettings(const TRegLink& reg, const QStringList& localAddresses);

// Keeps the answers: the chosen port joins the presets (when new and usable)
// and becomes "Def". False with the store's error when a write failed.
bool WriteLoginSettings(TRegLink& reg, QStringList presets, const QString& port,
                        const QString& bindAddress, const QString& password);

} // namespace kelvra
