#include "ServerdControl.h"

#include "ControlPath.h"

namespace kelvra {

TServerdControl::TServerdControl(TServerRuntime& runtime)
    : Operations(runtime),
      Server([this](const QByteArray& line) { return Operations.HandleLine(line); }) {
    Operations.Version = QStringLiteral(KELVRA_VERSION);
}

bool TServerdControl::Start(const std::string& option, QString* error) {
    if (option == "none")
        return true;
    QString path = QString::fromStdString(option);
    if (path.isEmpty()) {
        QString why;
        path = DefaultControlPath(&why);
        if (path.isEmpty()) {
            *error = QStringLiteral("no folder for the control socket (%1): give --control PATH, "
                                    "or --control none to run without one")
                         .arg(why);
            return false;
        }
    }
    return Server.Listen(path, error);
}

} // namespace kelvra
