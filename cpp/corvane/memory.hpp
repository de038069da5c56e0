// How much memory the process may use, for refusing hostile lengths before
// allocating: a buffer that cannot fit would otherwise be granted by the
// kernel's overcommit and then fill the machine as it is written.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>

namespace corvane {

// Bytes the process may use at most: the machine's physical memory, or the
// address-space or data-segment limit where one is set lower.
inline std::uint64_t memory_budget() {
    static const std::uint64_t physical = [] {
        const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
        return (pages > 0 && page > 0) ? (std::uint64_t) pages * (std::uint64_t) page : UINT64_MAX;
    }();
    std::uint64_t budget = physical;
    for (int res : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit lim{};
        if (getrlimit(res, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < budget)
            budget = (std::uint64_t) lim.rlim_cur;
    }
    return budget;
}

// Whether `count` items of `item_bytes` bytes each can fit in that budget.
inline bool fits_in_memory(std::uint64_t count, std::uint64_t item_bytes) {
    return item_bytes == 0 || count <= memory_budget() / item_bytes;
}

}  // namespace corvane
