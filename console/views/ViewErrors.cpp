#include "ViewErrors.h"

#include "ConsoleIcons.h"
#include "LogModel.h"

namespace kelvra {

TviewErrors::TviewErrors(QWidget* parent)
    : TLogWindow(QStringLiteral("Winsock Errors"), ConsoleIcons::Error(), parent),
      Log(new TErrorLogModel(ConsoleIcons::Error(), this)) {
    // Not scrolled to new rows: the operator reads errors at his own pace.
    Attach(Log, {75, 75, 75, 198}, false);
    connect(this, &QMdiSubWindow::windowStateChanged, this, &TviewErrors::FormShow);
}

void TviewErrors::AddSocketError(int code, const QString& function) {
    const QTime now = QTime::currentTime();
    if (code != 0)
        Log->AddRow({now, code, TErrorRow::Socket, function});
    else
        Log->AddRow({now, 0, TErrorRow::NoCode, function});
}

void TviewErrors::AddClientFailure(const QString& text) {
    Log->AddRow({QTime::currentTime(), 0, TErrorRow::Client, text});
}

void TviewErrors::FormShow(Qt::WindowStates oldState, Qt::WindowStates newState) {
    if (Activated || oldState.testFlag(Qt::WindowActive) || !newState.testFlag(Qt::WindowActive))
        return;
    Activated = true;
    emit FirstActivated();
}

} // namespace kelvra
