// Background priority of one thread on Windows: the background mode lowers
// its CPU, I/O and memory priority; the lowest CPU priority where that mode
// is refused.
#include "platform/threads.h"

#include <windows.h>

namespace platform {

bool lowerCurrentThreadPriority() {
    if (SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN)) return true;
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST) != 0;
}

}  // namespace platform
