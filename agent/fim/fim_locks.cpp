#include "agent/fim/fim_locks.h"

std::mutex& pathMapLock() {
    static std::mutex lock;
    return lock;
}
std::recursive_mutex& rulesLock() {
    static std::recursive_mutex lock;
    return lock;
}
std::recursive_mutex& changeListLock() {
    static std::recursive_mutex lock;
    return lock;
}
std::mutex& removedListLock() {
    static std::mutex lock;
    return lock;
}
std::mutex& newItemLock() {
    static std::mutex lock;
    return lock;
}
std::mutex& driveSetLock() {
    static std::mutex lock;
    return lock;
}
