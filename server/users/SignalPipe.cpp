#include "SignalPipe.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kelvra {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int gPipe[2] = {-1, -1};
volatile sig_atomic_t gSignalCount = 0;
volatile sig_atomic_t gHangUpReloads = 0;

void OnSignal(int signo) {
    // The three signals are blocked while any handler runs, so the count is safe.
    if (!(signo == SIGHUP && gHangUpReloads) && gSignalCount++ > 0)
        _exit(128 + signo);
    const int saved = errno;
    const char byte = static_cast<char>(signo);
    // A full pipe already holds a reload request: losing this byte is fine.
    [[maybe_unused]] const ssize_t n = write(gPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

TSignalPipe::TSignalPipe(QObject* parent) : QObject(parent) {}

TSignalPipe::~TSignalPipe() {
    delete Notifier;
    for (int signo : kSignals)
        signal(signo, SIG_DFL);
    gHangUpReloads = 0;
}

bool TSignalPipe::Install(bool hangUpReloads) {
    if (gPipe[0] < 0 && pipe2(gPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    gHangUpReloads = hangUpReloads ? 1 : 0;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signo : kSignals)
        sigaddset(&action.sa_mask, signo);
    action.sa_flags = SA_RESTART;
    for (int signo : kSignals)
        if (sigaction(signo, &action, nullptr) != 0)
            return false;
    Notifier = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TSignalPipe::OnReadable);
    return true;
}

void TSignalPipe::OnReadable() {
    char bytes[64];
    const ssize_t n = read(gPipe[0], bytes, sizeof bytes);
    bool reload = false;
    int end = 0;
    for (ssize_t i = 0; i < n; ++i) {
        const int signo = static_cast<unsigned char>(bytes[i]);
        if (signo == SIGHUP && gHangUpReloads)
            reload = true; // several at once are one reload
        else if (end == 0)
            end = signo;
    }
    if (Ended)
        return;
    if (end != 0) {
        // Later ending signals are handled inside the handler; one shutdown is enough.
        Ended = true;
        Notifier->setEnabled(false);
        emit Received(end);
        return;
    }
    if (reload)
        emit ReloadRequested();
}

} // namespace kelvra
