#pragma once
// kelvra-serverd's control socket: where it goes (--control) and the
// operations it answers with.
#include "ControlOps.h"
#include "ControlServer.h"

#include <QString>
#include <string>

namespace kelvra {

class TServerRuntime;

class TServerdControl {
public:
    explicit TServerdControl(TServerRuntime& runtime);

    // The hooks (reload, link kind) are set here before Start.
    TControlOps& Ops() { return Operations; }

    // option: the --control value; a path, "none" for no socket, or empty for
    // the default under the runtime directory. False with the reason.
    bool Start(const std::string& option, QString* error);
    QString Path() const { return Server.Path(); }

private:
    TControlOps Operations;
    TControlServer Server;
};

} // namespace kelvra
