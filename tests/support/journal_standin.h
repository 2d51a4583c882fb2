// A change journal of drive C as NTFS keeps it, for tests: on Windows served
// at the journal backend's seam (platform/win32/journal_test_hooks.h), for
// wine, which has no NTFS volume; on every system through control(). It
// answers the five control codes as NTFS does: the
// structures' sizes checked (87), 1179 with no journal, a new journal id at
// each creation, 1181 below the first USN kept, 122 when no record fits,
// ERROR_HANDLE_EOF at the end of an enumeration, the reason mask and the
// close-only filter, and a read that waits (BytesToWaitForMore, Timeout in
// seconds of clock time) until a record comes. The root folder "C:\" has the
// given reference. One stand-in at a time; its destructor puts the real calls
// back.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/journal.h"

class JournalStandIn {
public:
    // A journal with these records (USN_RECORD_V2 bytes in USN order, the
    // USNs as the records carry them) ending at nextUsn.
    JournalStandIn(std::vector<std::vector<std::uint8_t>> records, std::uint64_t journalId, std::int64_t nextUsn,
                   std::uint64_t rootReference);
    ~JournalStandIn();
    JournalStandIn(const JournalStandIn&) = delete;
    JournalStandIn& operator=(const JournalStandIn&) = delete;

    // The volume has no journal any more (its items stay).
    void removeJournal();
    // The records below `usn` are dropped, as a full journal drops them.
    void dropBefore(std::int64_t usn);
    // Appends the record at the journal's next USN (set in it) and wakes a
    // waiting read; returns that USN.
    std::int64_t append(platform::UsnRecord record);
    // The next `times` calls with this control code fail with `error`.
    void forceError(std::uint32_t controlCode, unsigned long error, int times);
    // One control code as DeviceIoControl on the volume makes it: 0 or the
    // Windows error code.
    long control(std::uint32_t code, const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                 std::uint32_t* returned);
    // The reference of the root folder.
    std::uint64_t rootReference() const;
};
