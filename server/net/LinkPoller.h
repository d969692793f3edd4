#pragma once
// Readiness of every client link's descriptor through one epoll set, watched
// by a single socket notifier: the event loop then polls one descriptor per
// pass instead of one per connection. Level-triggered, like a notifier, so a
// link read only partly, paused or not read at all behaves the same.
// Elsewhere (no epoll) each descriptor gets its own pair of notifiers.
#include <QSocketNotifier>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#if defined(__linux__) && !defined(KELVRA_POLL_NOTIFIERS)
#define KELVRA_EPOLL 1
#endif

namespace kelvra {

class TLinkPoller {
public:
    using THandler = std::function<void(int fd)>;
    // Events per epoll_wait, and calls per activation: one pass stays bounded
    // and whatever is left is reported again in the next pass.
    static constexpr int kBatch = 256;
    static constexpr int kBatchesPerPass = 4;

    TLinkPoller(THandler onRead, THandler onWrite);
    ~TLinkPoller();
    TLinkPoller(const TLinkPoller&) = delete;
    TLinkPoller& operator=(const TLinkPoller&) = delete;

    // Starts watching fd with the given interest; false (errno set) when the
    // system refused it.
    bool Watch(int fd, bool read, bool write);
    // Changes the interest of a watched descriptor; no system call when it
    // stays the same. Ignored for a descriptor not watched.
    void SetRead(int fd, bool on);
    void SetWrite(int fd, bool on);
    // Stops watching fd: call before it is closed. Events already taken for
    // it are dropped, even when the number is watched again meanwhile.
    void Forget(int fd);
    // Serves what is ready now, a bounded batch; the notifier calls it.
    // Returns how many events it took from the system.
    int Poll();

private:
    enum : uint8_t { kRead = 1, kWrite = 2 };
    struct TSlot {
        bool Watched = false;
        uint8_t Want = 0;
        uint32_t Generation = 0; // tells a reused number from its former link
#ifndef KELVRA_EPOLL
        std::unique_ptr<QSocketNotifier> Reader;
        std::unique_ptr<QSocketNotifier> Writer;
#endif
    };
    TSlot* Slot(int fd);
    // The slot for a descriptor about to be watched, no longer watching
    // what it held; nullptr (errno set) for a bad descriptor.
    TSlot* FreshSlot(int fd);
    void Apply(int fd, TSlot& slot, uint8_t want);
    // The back end's part of Forget: stop watching the descriptor.
    void Detach(int fd, TSlot& slot);

    THandler OnRead;
    THandler OnWrite;
    std::vector<TSlot> Slots;
#ifdef KELVRA_EPOLL
    int EpollFd = -1;
    int CreateError = 0;
    std::unique_ptr<QSocketNotifier> Notifier;
#endif
};

} // namespace kelvra
