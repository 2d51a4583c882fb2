// Background priority of one thread on Linux: on Linux a thread has a nice
// value and an I/O priority of its own, set through its thread id.
#include "platform/threads.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

bool lowerCurrentThreadPriority() {
#if defined(__linux__)
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    const bool lowered = setpriority(PRIO_PROCESS, tid, 19) == 0;
    // IOPRIO_WHO_PROCESS with a thread id; class best-effort, level 7 (the
    // lowest that still gets the disk when others use it).
    constexpr int kWhoProcess = 1;
    constexpr int kClassBestEffort = 2;
    constexpr int kClassShift = 13;
    syscall(SYS_ioprio_set, kWhoProcess, static_cast<int>(tid), (kClassBestEffort << kClassShift) | 7);
    return lowered;
#else
    return false;  // elsewhere a nice value belongs to the whole process
#endif
}

}  // namespace platform
