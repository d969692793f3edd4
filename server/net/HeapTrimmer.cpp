#include "HeapTrimmer.h"

#include "OutBuffer.h"
#include "TextUtil.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kelvra {

THeapTrimmer::THeapTrimmer(QObject* parent) : QObject(parent) {
    Timer.setSingleShot(true);
    connect(&Timer, &QTimer::timeout, this, [this] { Trim(); });
}

void THeapTrimmer::NoteReleased(qsizetype bytes) {
    ReleasedSinceTrim += bytes;
    LastReleaseAt = TickCount();
    if (ReleasedSinceTrim >= kTrimAfterReleased && !Timer.isActive())
        Timer.start(kTrimQuietMs);
}

void THeapTrimmer::Trim() {
    const uint32_t quietFor = TickCount() - LastReleaseAt;
    if (quietFor < static_cast<uint32_t>(kTrimQuietMs)) {
        Timer.start(kTrimQuietMs - static_cast<int>(quietFor));
        return;
    }
    ReleasedSinceTrim = 0;
    TOutBuffer::EmptyPool();
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace kelvra
