#pragma once
// Process set-up shared by the tools.
#include <sys/resource.h>

namespace kelvra {

// Thousands of connections need thousands of descriptors: take the hard limit.
// Returns the soft limit in force afterwards.
inline rlim_t RaiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            return raised.rlim_cur;
    }
    return limit.rlim_cur;
}

} // namespace kelvra
