#include "LoginSettings.h"

#include "ConnectionManager.h"
#include "RegLink.h"

#include <algorithm>

namespace kelvra {

namespace {

const QString kMain = QStringLiteral("Main");
const QString kPorts = QStringLiteral("Ports");

} // namespace

QString TLoginSettings::Port() const {
    const QString port = Current >= 0 ? Presets.value(Current) : QString();
    return port.isEmpty() ? QString::number(kDefaultPort) : port;
}

TLoginSettings ReadLoginSettings(const TRegLink& reg, const QStringList& localAddresses) {
    TLoginSettings s;
    const QString home = reg.ReadString(kMain, QStringLiteral("Home"), kAnyConnection);
    s.BindAddress = kAnyConnection;
    for (const QString& address : localAddresses)
        if (home.compare(address, Qt::CaseInsensitive) == 0)
            s.BindAddress = address;
    s.Password = reg.ReadString(kMain, QStringLiteral("Password"), QString());

    const int num = std::min(reg.ReadInteger(kPorts, QStringLiteral("Num"), 0), kMaxPresets);
    for (int i = 1; i <= num; ++i)
        s.Presets << reg.ReadString(kPorts, QStringLiteral("Preset%1").arg(i), QString());
    if (num > 0) {
        const int def = reg.ReadInteger(kPorts, QStringLiteral("Def"), 1);
        s.Current = def >= 1 && def <= num ? def - 1 : 0;
    }
    return s;
}

bool WriteLoginSettings(TRegLink& reg, QStringList presets, const QString& port,
                        const QString& bindAddress, const QString& password) {
    // A port that cannot be opened is not worth offering again.
    if (!presets.contains(port, Qt::CaseSensitive) && TConnectionManager::ParsePort(port))
        presets << port;
    bool ok = reg.WriteString(kMain, QStringLiteral("Home"), bindAddress) &&
              reg.WriteString(kMain, QStringLiteral("Password"), password) &&
              reg.WriteInteger(kPorts, QStringLiteral("Num"), int(presets.size()));
    int def = 0;
    for (int i = 0; ok && i < presets.size(); ++i) {
        ok = reg.WriteString(kPorts, QStringLiteral("Preset%1").arg(i + 1), presets[i]);
        if (presets[i] == port)
            def = i + 1;
    }
    if (ok && def > 0)
        ok = reg.WriteInteger(kPorts, QStringLiteral("Def"), def);
    return ok && reg.Flush();
}

} // namespace kelvra
