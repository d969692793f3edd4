// kelvra-server: the chat server with its operator console. The server is
// configured through the Server Login dialog and the settings store; the only
// options are --help and --version, which open no window.
#include "ConsoleIcons.h"
#include "MainForm.h"
#include "MessageBoxes.h"
#include "SignalPipe.h"

#include <QApplication>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kUsage = "usage: kelvra-server [--help | --version]\n";

// Whether a window can be opened here at all: the toolkit would otherwise
// abort with a message about platform plugins.
bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

[[noreturn]] void NoDisplay(const char* detail) {
    std::fprintf(stderr,
                 "kelvra-server: no display to open the console on%s; use kelvra-serverd to run "
                 "the server without a window\n",
                 detail);
    std::fflush(stderr);
    // Not exit(): the toolkit may be half built when this runs.
    std::_Exit(1);
}

// While the toolkit opens the display its messages are held back: when the
// display does not answer (DISPLAY naming a dead server) it ends the process
// with an abort, and the user gets the plain message of a missing display
// instead. Once the display is open the held messages are shown.
QStringList heldMessages;

void HoldStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        const QByteArray display = qgetenv("DISPLAY");
        const QByteArray detail = display.isEmpty()
                                      ? QByteArray(" (the window system does not answer)")
                                      : " (DISPLAY=" + display + " does not answer)";
        NoDisplay(detail.constData());
    }
    heldMessages << qFormatLogMessage(type, context, text);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        if (std::strcmp(argv[1], "--version") == 0 && argc == 2) {
            std::printf("kelvra-server %s\n", KELVRA_VERSION);
            return 0;
        }
        if (std::strcmp(argv[1], "--help") == 0 && argc == 2) {
            std::printf("%s\nThe chat server with its operator console, in one window. It asks for "
                        "the server's\nnickname and port at start; settings, bans and the "
                        "window's place are kept in\n$XDG_CONFIG_HOME/Dravenholt/Kelvra Chat "
                        "Server.conf. For a machine without a\ndisplay, run kelvra-serverd.\n",
                        kUsage);
            return 0;
        }
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!HasDisplay())
        NoDisplay("");

    const QtMessageHandler previousHandler = qInstallMessageHandler(HoldStartupMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(previousHandler);
    for (const QString& message : std::as_const(heldMessages))
        std::fprintf(stderr, "%s\n", qPrintable(message));
    heldMessages.clear();
    // Only the name: a display name would be appended to every window title by
    // the window system, and the message box captions must read exactly.
    QApplication::setApplicationName(kelvra::AppTitle());
    QApplication::setApplicationVersion(QStringLiteral(KELVRA_VERSION));
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
        return form.SettingsRefused() ? 1 : 0;
    return app.exec();
}
