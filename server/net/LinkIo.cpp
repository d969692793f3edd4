#include "LinkIo.h"

#include "SendEngine.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvra {

TPlainIo::~TPlainIo() {
    if (Descriptor >= 0)
        ::close(Descriptor);
}

TIoResult TPlainIo::Read(char* buffer, qsizetype size) {
    for (;;) {
        const ssize_t n = ::recv(Descriptor, buffer, static_cast<size_t>(size), 0);
        if (n > 0)
            return TIoResult::Moved(n);
        if (n == 0)
            return TIoResult::Ended();
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return TIoResult::Blocked();
        return TIoResult::Broken();
    }
}

TIoResult TPlainIo::Write(const iovec* parts, int count) {
    return TSendEngine::SendNow(Descriptor, parts, count);
}

} // namespace kelvra
