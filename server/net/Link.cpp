#include "Link.h"

namespace kelvra {

void TLinkTable::Insert(std::unique_ptr<TLink> link) {
    const auto fd = static_cast<size_t>(link->Fd());
    if (fd >= Slots.size())
        Slots.resize(fd + 1);
    if (!Slots[fd])
        ++Live;
    Slots[fd] = std::move(link);
}

std::unique_ptr<TLink> TLinkTable::Take(int fd) {
    if (!Find(fd))
        return nullptr;
    --Live;
    return std::move(Slots[static_cast<size_t>(fd)]);
}

void TLinkTable::Clear() {
    Slots.clear();
    Live = 0;
}

} // namespace kelvra
