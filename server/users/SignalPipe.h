#pragma once
// SIGTERM, SIGINT and SIGHUP turned into an event of the Qt loop through a self-pipe,
// so the shutdown runs on the server's thread like any other event. A second
// signal ends the process at once with 128 + the signal number.
#include <QObject>

class QSocketNotifier;

namespace kelvra {

class TSignalPipe : public QObject {
    Q_OBJECT
public:
    explicit TSignalPipe(QObject* parent = nullptr);
    ~TSignalPipe() override;

    enum TMode {
        CloseOnAll,    // each of the three asks for the close
        HangUpReloads, // SIGHUP asks for a reload instead, as often as it comes
    };
    // False (with errno set) when the pipe or the handlers cannot be installed.
    bool Install(TMode mode = CloseOnAll);

signals:
    void Received(int signalNumber);
    void ReloadRequested();

private:
    void OnReadable();

    QSocketNotifier* Notifier = nullptr;
};

} // namespace kelvra
