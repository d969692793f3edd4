#include "LinkPoller.h"

#include <algorithm>
#include <cerrno>

#ifdef KELVRA_EPOLL
#include <sys/epoll.h>
#include <unistd.h>
#endif

namespace kelvra {

TLinkPoller::TLinkPoller(THandler onRead, THandler onWrite)
    : OnRead(std::move(onRead)), OnWrite(std::move(onWrite)) {}

TLinkPoller::TSlot* TLinkPoller::Slot(int fd) {
    return fd >= 0 && static_cast<size_t>(fd) < Slots.size() ? &Slots[static_cast<size_t>(fd)]
                                                             : nullptr;
}

TLinkPoller::TSlot* TLinkPoller::FreshSlot(int fd) {
    if (fd < 0) {
        errno = EBADF;
        return nullptr;
    }
    Forget(fd);
    if (static_cast<size_t>(fd) >= Slots.size())
        Slots.resize(static_cast<size_t>(fd) + 1);
    return &Slots[static_cast<size_t>(fd)];
}

void TLinkPoller::Forget(int fd) {
    TSlot* slot = Slot(fd);
    if (!slot || !slot->Watched)
        return;
    slot->Watched = false;
    slot->Want = 0;
    Detach(fd, *slot);
}

void TLinkPoller::SetRead(int fd, bool on) {
    if (TSlot* slot = Slot(fd); slot && slot->Watched)
        Apply(fd, *slot, on ? (slot->Want | kRead) : (slot->Want & ~kRead));
}

void TLinkPoller::SetWrite(int fd, bool on) {
    if (TSlot* slot = Slot(fd); slot && slot->Watched)
        Apply(fd, *slot, on ? (slot->Want | kWrite) : (slot->Want & ~kWrite));
}

#ifdef KELVRA_EPOLL

namespace {

epoll_event EventFor(int fd, uint32_t generation, bool read, bool write) {
    epoll_event ev{};
    ev.events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
    // Hang-ups and errors are reported whatever is asked; with nothing asked
    // they would come back on every pass (a notifier that is off is not
    // polled at all), so they are taken once and the next change re-arms.
    if (ev.events == 0)
        ev.events = EPOLLONESHOT;
    ev.data.u64 = (static_cast<uint64_t>(generation) << 32) | static_cast<uint32_t>(fd);
    return ev;
}

} // namespace

TLinkPoller::~TLinkPoller() {
    Notifier.reset();
    if (EpollFd >= 0)
        ::close(EpollFd);
}

bool TLinkPoller::Watch(int fd, bool read, bool write) {
    if (EpollFd < 0 && CreateError == 0) {
        // Made with the first link: a manager that never has one needs none.
        EpollFd = epoll_create1(EPOLL_CLOEXEC);
        if (EpollFd < 0) {
            CreateError = errno;
        } else {
            Notifier = std::make_unique<QSocketNotifier>(EpollFd, QSocketNotifier::Read);
            QObject::connect(Notifier.get(), &QSocketNotifier::activated, Notifier.get(),
                             [this] { Poll(); });
        }
    }
    if (EpollFd < 0) {
        errno = CreateError;
        return false;
    }
    TSlot* fresh = FreshSlot(fd);
    if (!fresh)
        return false;
    TSlot& slot = *fresh;
    ++slot.Generation;
    const uint8_t want = (read ? kRead : 0) | (write ? kWrite : 0);
    epoll_event ev = EventFor(fd, slot.Generation, read, write);
    if (epoll_ctl(EpollFd, EPOLL_CTL_ADD, fd, &ev) != 0)
        return false;
    slot.Watched = true;
    slot.Want = want;
    return true;
}

void TLinkPoller::Apply(int fd, TSlot& slot, uint8_t want) {
    if (want == slot.Want)
        return;
    slot.Want = want;
    epoll_event ev = EventFor(fd, slot.Generation, want & kRead, want & kWrite);
    // MOD allocates nothing; it fails only for a descriptor not in the set,
    // which Watch and Forget rule out.
    epoll_ctl(EpollFd, EPOLL_CTL_MOD, fd, &ev);
}

void TLinkPoller::Detach(int fd, TSlot&) {
    epoll_ctl(EpollFd, EPOLL_CTL_DEL, fd, nullptr);
}

int TLinkPoller::Poll() {
    if (EpollFd < 0)
        return 0;
    // Each event is checked against the descriptor's state now: a handler
    // may end another link of the batch, reuse its number for a new one, or
    // turn its interest off; a nested event loop may poll meanwhile (hence
    // the batch on the stack).
    const auto current = [this](int fd, uint32_t generation, uint8_t bit) {
        const TSlot* slot = Slot(fd);
        return slot && slot->Watched && slot->Generation == generation && (slot->Want & bit);
    };
    epoll_event events[kBatch];
    int taken = 0;
    for (int round = 0; round < kBatchesPerPass; ++round) {
        const int n = epoll_wait(EpollFd, events, kBatch, 0);
        taken += std::max(n, 0);
        for (int i = 0; i < n; ++i) {
            const int fd = static_cast<int>(static_cast<uint32_t>(events[i].data.u64));
            const auto generation = static_cast<uint32_t>(events[i].data.u64 >> 32);
            const uint32_t got = events[i].events;
            const bool broken = (got & (EPOLLHUP | EPOLLERR)) != 0;
            if ((broken || (got & EPOLLIN)) && current(fd, generation, kRead))
                OnRead(fd);
            if ((broken || (got & EPOLLOUT)) && current(fd, generation, kWrite))
                OnWrite(fd);
        }
        if (n < kBatch)
            break;
    }
    return taken;
}

#else // one pair of notifiers per descriptor

TLinkPoller::~TLinkPoller() = default;

bool TLinkPoller::Watch(int fd, bool read, bool write) {
    TSlot* fresh = FreshSlot(fd);
    if (!fresh)
        return false;
    TSlot& slot = *fresh;
    slot.Reader = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    slot.Writer = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    QObject::connect(slot.Reader.get(), &QSocketNotifier::activated, slot.Reader.get(),
                     [this, fd] { OnRead(fd); });
    QObject::connect(slot.Writer.get(), &QSocketNotifier::activated, slot.Writer.get(),
                     [this, fd] { OnWrite(fd); });
    slot.Watched = true;
    slot.Want = kRead | kWrite;
    Apply(fd, slot, (read ? kRead : 0) | (write ? kWrite : 0));
    return true;
}

void TLinkPoller::Apply(int, TSlot& slot, uint8_t want) {
    if (want == slot.Want)
        return;
    slot.Want = want;
    slot.Reader->setEnabled((want & kRead) != 0);
    slot.Writer->setEnabled((want & kWrite) != 0);
}

void TLinkPoller::Detach(int, TSlot& slot) {
    slot.Reader.reset();
    slot.Writer.reset();
}

int TLinkPoller::Poll() {
    return 0;
}

#endif

} // namespace kelvra
