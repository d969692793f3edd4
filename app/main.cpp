// kelvra-server: the chat server with its operator console. No options: the
// server is configured through the Server Login dialog and the settings store.
#include "ConsoleIcons.h"
#include "MainForm.h"
#include "MessageBoxes.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Only the name: a display name would be appended to every window title by
    // the window system, and the message box captions must read exactly.
    QApplication::setApplicationName(kelvra::AppTitle());
    QApplication::setWindowIcon(kelvra::ConsoleIcons::App());

    kelvra::TMainForm form;
    if (!form.Startup())
        return 0;
    return app.exec();
}
