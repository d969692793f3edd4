#pragma once
// SIGTERM, SIGINT and SIGHUP turned into an event of the Qt loop through a self-pipe,
// so the shutdown runs on the server's thread like any other event. A second
// signal that ends the process ends it at once with 128 + the signal number.
#include <QObject>

class QSocketNotifier;

namespace kelvra {

class TSignalPipe : public QObject {
    Q_OBJECT
public:
    explicit TSignalPipe(QObject* parent = nullptr);
    ~TSignalPipe() override;

    // False (with errno set) when the pipe or the handlers cannot be installed.
    // With hangUpReloads, SIGHUP asks for a reload, as often as it comes,
    // instead of ending the process.
    bool Install(bool hangUpReloads = false);

signals:
    void Received(int signalNumber);
    void ReloadRequested();

private:
    void OnReadable();

    QSocketNotifier* Notifier = nullptr;
    bool Ended = false;
};

} // namespace kelvra
