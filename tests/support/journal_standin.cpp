// The journal stand-in: the state of one journal and its control codes, and
// on Windows the seam's three calls in front of them.
#include "tests/support/journal_standin.h"

#if defined(_WIN32)
#include <windows.h>

#include "platform/win32/journal_test_hooks.h"
#endif

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>

#include "platform/clock.h"

namespace {

struct Stored {
    std::int64_t usn = 0;
    platform::UsnRecord record;
    std::vector<std::uint8_t> bytes;
};

// What an enumeration lists of an item: its last record.
struct Item {
    std::uint64_t parent = 0;
    std::u16string name;
    std::uint32_t attributes = 0;
    std::int64_t usn = 0;
};

struct State {
    std::mutex lock;
    std::condition_variable grown;
    bool active = true;
    std::uint64_t journalId = 0;
    std::int64_t firstUsn = 0;
    std::int64_t nextUsn = 0;
    std::uint64_t maximumSize = 0x2000000;
    std::uint64_t allocationDelta = 0x800000;
    std::uint64_t rootReference = 0;
    std::vector<Stored> records;
    std::map<std::uint64_t, Item> items;
    std::map<std::uint32_t, std::pair<long, int>> forced;
    std::set<void*> volumes;  // the handles the seam gave out
    std::set<void*> roots;
    int waiting = 0;  // reads waiting for records
};

State* g_state = nullptr;  // set while a stand-in is installed

void learn(State& s, const platform::UsnRecord& r) {
    if (r.Reason & platform::kUsnReasonFileDelete) {
        s.items.erase(r.FileReferenceNumber);
        return;
    }
    if (r.Reason & platform::kUsnReasonRenameOldName) return;
    s.items[r.FileReferenceNumber] = Item{r.ParentFileReferenceNumber, r.FileName, r.FileAttributes, r.Usn};
}

constexpr long kInvalidFunction = 1;
constexpr long kInvalidParameter = 87;

void putHeader(void* out, std::uint64_t value) { std::memcpy(out, &value, 8); }

long readJournal(State& s, std::unique_lock<std::mutex>& guard, const platform::ReadUsnJournalData& in,
                 std::uint8_t* out, std::uint32_t outSize, std::uint32_t* returned) {
    if (in.UsnJournalID != s.journalId) return kInvalidParameter;
    const std::int64_t start = in.StartUsn == 0 ? s.firstUsn : in.StartUsn;
    if (start < s.firstUsn) return platform::kErrorJournalEntryDeleted;
    auto wanted = [&](const Stored& r) {
        if ((r.record.Reason & in.ReasonMask) == 0) return false;
        return !in.ReturnOnlyOnClose || (r.record.Reason & platform::kUsnReasonClose) != 0;
    };
    auto firstAt = [&](std::int64_t usn) {
        return std::lower_bound(s.records.begin(), s.records.end(), usn,
                                [](const Stored& r, std::int64_t u) { return r.usn < u; });
    };
    if (in.BytesToWaitForMore > 0) {
        // Waits for a record the filter takes, as NTFS does.
        auto ready = [&] {
            if (!s.active || in.UsnJournalID != s.journalId) return true;
            return std::any_of(firstAt(start), s.records.end(), wanted);
        };
        const std::int64_t timeout = in.Timeout ? static_cast<std::int64_t>(in.Timeout) * 1000 : -1;
        ++s.waiting;
        platform::waitFor(guard, s.grown, timeout, ready);
        --s.waiting;
        s.grown.notify_all();
        if (!s.active) return platform::kErrorJournalNotActive;
        if (in.UsnJournalID != s.journalId) return kInvalidParameter;
    }
    std::uint32_t used = 8;
    std::int64_t next = s.nextUsn;
    bool any = false;
    for (auto it = firstAt(start); it != s.records.end(); ++it) {
        if (!wanted(*it)) continue;
        if (used + it->bytes.size() > outSize) {
            if (!any) return platform::kErrorInsufficientBuffer;
            next = it->usn;
            break;
        }
        std::memcpy(out + used, it->bytes.data(), it->bytes.size());
        used += static_cast<std::uint32_t>(it->bytes.size());
        any = true;
    }
    putHeader(out, static_cast<std::uint64_t>(next));
    *returned = used;
    return 0;
}

// Whether the item's folders lead up to the root. The journal names only
// what changed: items in folders it never names (older system folders) are
// not part of the volume the stand-in knows.
bool inKnownTree(const State& s, std::uint64_t reference) {
    for (int depth = 0; depth < 512; ++depth) {
        const auto it = s.items.find(reference);
        if (it == s.items.end()) return false;
        if (it->second.parent == s.rootReference) return true;
        reference = it->second.parent;
    }
    return false;
}

long enumerate(State& s, const platform::MftEnumData& in, std::uint8_t* out, std::uint32_t outSize,
               std::uint32_t* returned) {
    std::uint32_t used = 8;
    std::uint64_t next = 0;
    bool any = false;
    for (auto it = s.items.lower_bound(in.StartFileReferenceNumber); it != s.items.end(); ++it) {
        if (it->second.usn < in.LowUsn || it->second.usn > in.HighUsn) continue;
        if (it->first == s.rootReference || !inKnownTree(s, it->first)) continue;
        platform::UsnRecord r;
        r.FileReferenceNumber = it->first;
        r.ParentFileReferenceNumber = it->second.parent;
        r.Usn = it->second.usn;
        r.FileAttributes = it->second.attributes;
        r.FileName = it->second.name;
        const std::vector<std::uint8_t> bytes = platform::encodeUsnRecord(r);
        if (used + bytes.size() > outSize) {
            if (!any) return platform::kErrorInsufficientBuffer;
            break;
        }
        std::memcpy(out + used, bytes.data(), bytes.size());
        used += static_cast<std::uint32_t>(bytes.size());
        next = it->first + 1;
        any = true;
    }
    if (!any) return platform::kErrorHandleEof;
    putHeader(out, next);
    *returned = used;
    return 0;
}

// One control code on the volume, under the state's lock: 0 or the Windows
// error code.
long control(State& s, std::unique_lock<std::mutex>& guard, std::uint32_t code, const void* inBuffer,
             std::uint32_t inSize, void* outBuffer, std::uint32_t outSize, std::uint32_t* returned) {
    std::uint32_t ignored = 0;
    if (!returned) returned = &ignored;
    *returned = 0;
    auto* out = static_cast<std::uint8_t*>(outBuffer);
    // The structures' sizes come first, as the I/O manager checks them.
    auto needs = [&](std::size_t inNeeded, std::size_t outNeeded) {
        return (inNeeded == 0 || (inBuffer && inSize >= inNeeded)) && (outNeeded == 0 || (out && outSize >= outNeeded));
    };
    switch (code) {
    case platform::kFsctlQueryUsnJournal:
        if (!needs(0, sizeof(platform::UsnJournalData))) return kInvalidParameter;
        break;
    case platform::kFsctlCreateUsnJournal:
        if (!needs(sizeof(platform::CreateUsnJournalData), 0)) return kInvalidParameter;
        break;
    case platform::kFsctlDeleteUsnJournal:
        if (!needs(sizeof(platform::DeleteUsnJournalData), 0)) return kInvalidParameter;
        break;
    case platform::kFsctlReadUsnJournal:
        if (!needs(sizeof(platform::ReadUsnJournalData), 8)) return kInvalidParameter;
        break;
    case platform::kFsctlEnumUsnData:
        if (!needs(sizeof(platform::MftEnumData), 8)) return kInvalidParameter;
        break;
    default:
        return kInvalidFunction;
    }
    if (auto f = s.forced.find(code); f != s.forced.end() && f->second.second != 0) {
        if (f->second.second > 0) --f->second.second;
        return f->second.first;
    }
    switch (code) {
    case platform::kFsctlQueryUsnJournal: {
        if (!s.active) return platform::kErrorJournalNotActive;
        const platform::UsnJournalData data{s.journalId, s.firstUsn,       s.nextUsn,        s.firstUsn,
                                            0x7FFFFFFFFFFF0000LL, s.maximumSize, s.allocationDelta};
        std::memcpy(out, &data, sizeof data);
        *returned = sizeof data;
        return 0;
    }
    case platform::kFsctlCreateUsnJournal: {
        platform::CreateUsnJournalData in;
        std::memcpy(&in, inBuffer, sizeof in);
        if (!s.active) {
            s.active = true;
            s.journalId += 0x10000;  // a new journal, a new id
            s.firstUsn = s.nextUsn;
            s.records.clear();
        }
        s.maximumSize = in.MaximumSize ? in.MaximumSize : 0x2000000;
        s.allocationDelta = in.AllocationDelta ? in.AllocationDelta : 0x400000;
        return 0;
    }
    case platform::kFsctlDeleteUsnJournal: {
        platform::DeleteUsnJournalData in;
        std::memcpy(&in, inBuffer, sizeof in);
        const std::uint32_t known = platform::kUsnDeleteFlagDelete | platform::kUsnDeleteFlagNotify;
        if (in.DeleteFlags == 0 || (in.DeleteFlags & ~known) != 0) return kInvalidParameter;
        if (!(in.DeleteFlags & platform::kUsnDeleteFlagDelete)) return 0;  // no deletion is running
        if (!s.active) return platform::kErrorJournalNotActive;
        if (in.UsnJournalID != s.journalId) return kInvalidParameter;
        s.active = false;
        s.records.clear();
        s.grown.notify_all();
        return 0;
    }
    case platform::kFsctlReadUsnJournal: {
        if (!s.active) return platform::kErrorJournalNotActive;
        platform::ReadUsnJournalData in;
        std::memcpy(&in, inBuffer, sizeof in);
        return readJournal(s, guard, in, out, outSize, returned);
    }
    default: {
        platform::MftEnumData in;
        std::memcpy(&in, inBuffer, sizeof in);
        return enumerate(s, in, out, outSize, returned);
    }
    }
}

#if defined(_WIN32)
bool isVolumePath(const std::wstring& p) {
    return p.size() == 6 && p.compare(0, 4, L"\\\\.\\") == 0 && std::towupper(p[4]) == L'C' && p[5] == L':';
}
bool isRootPath(const std::wstring& p) {
    return (p.size() == 3 || p.size() == 2) && std::towupper(p[0]) == L'C' && p[1] == L':' &&
           (p.size() == 2 || p[2] == L'\\' || p[2] == L'/');
}

HANDLE WINAPI standInCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templ) {
    const std::wstring path = name ? name : L"";
    if (g_state && (isVolumePath(path) || isRootPath(path))) {
        // Any kernel handle serves: CloseHandle ends it as it ends a volume's.
        HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::lock_guard guard(g_state->lock);
        (isVolumePath(path) ? g_state->volumes : g_state->roots).insert(h);
        return h;
    }
    return CreateFileW(name, access, share, security, disposition, flags, templ);
}

BOOL WINAPI standInFileInformation(HANDLE h, LPBY_HANDLE_FILE_INFORMATION info) {
    if (g_state) {
        std::lock_guard guard(g_state->lock);
        if (g_state->roots.erase(h)) {
            *info = BY_HANDLE_FILE_INFORMATION{};
            info->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
            info->nFileIndexHigh = static_cast<DWORD>(g_state->rootReference >> 32);
            info->nFileIndexLow = static_cast<DWORD>(g_state->rootReference);
            info->nNumberOfLinks = 1;
            return TRUE;
        }
    }
    return GetFileInformationByHandle(h, info);
}

BOOL WINAPI standInDeviceIoControl(HANDLE h, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                                   DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    if (!g_state) return DeviceIoControl(h, code, inBuffer, inSize, outBuffer, outSize, returned, overlapped);
    std::unique_lock guard(g_state->lock);
    if (!g_state->volumes.count(h)) {
        guard.unlock();
        return DeviceIoControl(h, code, inBuffer, inSize, outBuffer, outSize, returned, overlapped);
    }
    std::uint32_t got = 0;
    const long error = control(*g_state, guard, code, inBuffer, inSize, outBuffer, outSize, &got);
    if (returned) *returned = got;
    if (error == 0) return TRUE;
    SetLastError(static_cast<DWORD>(error));
    return FALSE;
}
#endif

}  // namespace

JournalStandIn::JournalStandIn(std::vector<std::vector<std::uint8_t>> records, std::uint64_t journalId,
                               std::int64_t nextUsn, std::uint64_t rootReference) {
    auto* s = new State;
    s->journalId = journalId;
    s->nextUsn = nextUsn;
    s->rootReference = rootReference;
    for (auto& bytes : records) {
        Stored stored;
        if (!platform::decodeUsnRecord(bytes, 0, &stored.record)) continue;
        stored.usn = stored.record.Usn;
        stored.bytes = std::move(bytes);
        learn(*s, stored.record);
        s->records.push_back(std::move(stored));
    }
    s->firstUsn = s->records.empty() ? nextUsn : s->records.front().usn;
    g_state = s;
#if defined(_WIN32)
    platform::win32::setVolumeCallsForTests({standInCreateFile, standInDeviceIoControl, standInFileInformation});
#endif
}

JournalStandIn::~JournalStandIn() {
#if defined(_WIN32)
    platform::win32::setVolumeCallsForTests({});
#endif
    State* s = g_state;
    {
        // A read still waiting ends (1179) before the state goes.
        std::unique_lock guard(s->lock);
        s->active = false;
        s->grown.notify_all();
        platform::waitFor(guard, s->grown, -1, [s] { return s->waiting == 0; });
        g_state = nullptr;
    }
    delete s;
}

void JournalStandIn::removeJournal() {
    std::lock_guard guard(g_state->lock);
    g_state->active = false;
    g_state->records.clear();
    g_state->grown.notify_all();
}

void JournalStandIn::dropBefore(std::int64_t usn) {
    std::lock_guard guard(g_state->lock);
    std::erase_if(g_state->records, [usn](const Stored& r) { return r.usn < usn; });
    g_state->firstUsn = std::max(g_state->firstUsn, usn);
}

std::int64_t JournalStandIn::append(platform::UsnRecord record) {
    std::lock_guard guard(g_state->lock);
    State& s = *g_state;
    record.Usn = s.nextUsn;
    Stored stored{record.Usn, record, platform::encodeUsnRecord(record)};
    stored.record.RecordLength = static_cast<std::uint32_t>(stored.bytes.size());
    s.nextUsn += static_cast<std::int64_t>(stored.bytes.size());
    learn(s, stored.record);
    s.records.push_back(std::move(stored));
    s.grown.notify_all();
    return record.Usn;
}

void JournalStandIn::forceError(std::uint32_t controlCode, unsigned long error, int times) {
    std::lock_guard guard(g_state->lock);
    g_state->forced[controlCode] = {static_cast<long>(error), times};
}

long JournalStandIn::control(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                             std::uint32_t outSize, std::uint32_t* returned) {
    std::unique_lock guard(g_state->lock);
    return ::control(*g_state, guard, code, in, inSize, out, outSize, returned);
}

std::uint64_t JournalStandIn::rootReference() const { return g_state->rootReference; }
