#pragma once
// Hands freed heap back to the system once a burst of freeing has calmed
// down: bursts (a login announcing thousands of users, a mass close) would
// otherwise leave the freed memory resident between the long-lived records
// that were allocated meanwhile.
#include <QObject>
#include <QTimer>
#include <cstdint>

namespace kelvra {

class THeapTrimmer : public QObject {
public:
    // Trims after this many bytes were freed ...
    static constexpr qsizetype kTrimAfterReleased = 8 * 1024 * 1024;
    // ... once nothing has been freed for this long, so a busy server is not
    // slowed down by it.
    static constexpr int kTrimQuietMs = 100;

    explicit THeapTrimmer(QObject* parent = nullptr);
    void NoteReleased(qsizetype bytes);

private:
    void Trim();

    QTimer Timer;
    qsizetype ReleasedSinceTrim = 0;
    uint32_t LastReleaseAt = 0;
};

} // namespace kelvra
