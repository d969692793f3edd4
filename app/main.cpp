// kelvra-server: the chat server with its operator console. No options: the
// server is configured through the Server Login dialog and the settings store.
#include "ConsoleIcons.h"
#include "MainForm.h"
#include "MessageBoxes.h"
#include "SignalPipe.h"

#include <QApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Only the name: a display name would be appended to every window title by
    // the window system, and the message box captions must read exactly.
    QApplication::setApplicationName(kelvra::AppTitle());
    QApplication::setWindowIcon(kelvra::ConsoleIcons::App());
    // A client that vanishes must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    kelvra::TMainForm form;
    // The end of a desktop session, a service manager and kill close the
    // server in order, without the question; a second signal ends it at once.
    kelvra::TSignalPipe signalPipe;
    if (!signalPipe.Install())
        std::fprintf(stderr, "kelvra-server: cannot install the signal handlers\n");
    QObject::connect(&signalPipe, &kelvra::TSignalPipe::Received, &form, [&form] {
        // Leaves every event loop, those of open dialogs too.
        QCoreApplication::exit(form.CloseForSignal());
    });
    if (!form.Startup())
        return 0;
    return app.exec();
}
