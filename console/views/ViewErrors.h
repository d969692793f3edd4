#pragma once
// "Winsock Errors": failed socket calls, and failures caused by client input
// (shown here rather than in a modal box, so a client cannot block the console).
#include "LogWindow.h"

namespace kelvra {

class TErrorLogModel;

class TviewErrors : public TLogWindow {
    Q_OBJECT
public:
    explicit TviewErrors(QWidget* parent = nullptr);

    // code 0: the failure has no code; the row then reads "NA", "NA", function.
    void AddSocketError(int code, const QString& function);
    void AddClientFailure(const QString& text);

signals:
    // The first time the window becomes the active child; the frame tiles then.
    void FirstActivated();

private:
    void FormShow(Qt::WindowStates oldState, Qt::WindowStates newState);

    TErrorLogModel* Log;
    bool Activated = false;
};

} // namespace kelvra
