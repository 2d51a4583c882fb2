// The resident memory of this process, for benchmarks that report what a
// structure costs.
#pragma once

#include <fstream>
#include <string>

namespace bench_support {

// VmRSS from /proc/self/status, in KiB (0 when it cannot be read).
inline long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

}  // namespace bench_support
