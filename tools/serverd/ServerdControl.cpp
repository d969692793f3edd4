#include "ServerdControl.h"

#include "ControlPath.h"

#include <cstdio>

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
            // A server started by hand from a bare shell still serves its users;
            // only kelvra-admin cannot reach it, and the journal says why.
            std::fprintf(stderr,
                         "<4>kelvra-serverd: no control socket for kelvra-admin (%s): give "
                         "--control PATH to have one, or --control none to silence this\n",
                         qPrintable(why));
            return true;
        }
    }
    return Server.Listen(path, error);
}

} // namespace kelvra
