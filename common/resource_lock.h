// Resource lock table: serialises access to shared objects by their address.
//
// An object is "locked" while its address is in the table. The table is
// guarded by one process-wide mutex; the lock is neither re-entrant nor tied
// to a thread, so a holder must never lock the same object twice, and any
// thread may unlock.
#pragma once

#include <cstdint>

// Operations of HandleResource.
constexpr int RESOURCE_LOCK = 1;
constexpr int RESOURCE_UNLOCK = 2;

// Result codes of HandleResource, SynchronizeObject and UnsynchronizeObject.
constexpr int RESOURCE_LOCKED = 1;    // the object was entered in the table
constexpr int RESOURCE_BUSY = 2;      // already locked (lock) or not locked (unlock)
constexpr int RESOURCE_UNLOCKED = 4;  // the object was removed from the table

// Blocks until the object has been entered in the table, backing off
// between tries by the process-wide back-off counter (at most 1 ms).
void SynchronizeResource(const void* object);
// Removes the object; logs an alert when it was not locked.
void UnsynchronizeResource(const void* object);
// Takes the table mutex and performs one lock or unlock operation.
int HandleResource(const void* object, int operation);
// The two table operations; the caller holds the table mutex (HandleResource).
int SynchronizeObject(const void* object);
int UnsynchronizeObject(const void* object);

// The back-off counter in microseconds (shared by all threads, never reset).
std::int32_t ResourceLockBackoffMicros();

// Scoped holder of a resource lock: locks on construction, unlocks on
// destruction, so every path out of a block releases it.
class ResourceLockGuard {
public:
    explicit ResourceLockGuard(const void* object) : object_(object) { SynchronizeResource(object_); }
    ~ResourceLockGuard() { UnsynchronizeResource(object_); }
    ResourceLockGuard(const ResourceLockGuard&) = delete;
    ResourceLockGuard& operator=(const ResourceLockGuard&) = delete;

private:
    const void* object_;
};
