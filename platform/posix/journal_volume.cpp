// A volume of the POSIX change journal: what happens to the journal and the
// catalogue when items change, whether a watcher reports the change or a
// walk finds it.
//
// Reasons follow NTFS. A file opened for writing gathers its reasons while
// it is open: every new reason writes a record carrying all reasons so far,
// and its last close writes the record with USN_REASON_CLOSE. A change made
// without an open file (mkdir, rmdir, unlink, rename, chmod, chown, utimes)
// is one closed record; a rename first writes its own RENAME_OLD_NAME record
// under the old name. A file whose close never shows (a hard link, a file
// still held open) is closed after kIdleCloseMillis without events, and every
// open change is closed when the last handle on the volume goes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/posix/journal_volume.h"
#include "platform/posix/windows_names.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/volumes.h"

namespace platform::usnjournal {

namespace {

constexpr std::int64_t kIdleCloseMillis = 5000;
constexpr std::int64_t kCatalogSaveMillis = 10000;
// How often folders the watcher cannot watch are walked for their changes.
constexpr std::int64_t kUnwatchedWalkMillis = 5000;

std::int64_t nowFileTime() {
    const std::int64_t ms = nowMillis();
    return fileTimeFromUnix(ms / 1000, (ms % 1000) * 1000000);
}

struct DirCloser {
    void operator()(DIR* d) const {
        if (d) closedir(d);
    }
};

}  // namespace

bool inotifyForced() {
    const char* env = std::getenv("AMBRIK_JOURNAL_WATCHER");
    if (env && std::strcmp(env, "inotify") == 0) return true;
    RegistryKey key(nullptr, nullptr);
    if (regOpenKey(RegistryRoot::LocalMachine, kVolumesKey, RegistryAccess::QueryValue, &key) != kErrorSuccess)
        return false;
    RegistryValue value;
    if (regQueryValue(key, "Watcher", &value) != kErrorSuccess) return false;
    std::string lower;
    for (char c : value.data) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == "inotify";
}

// ---------------------------------------------------------------- lifecycle

long Volume::start() {
    struct stat root {};
    if (stat(directory.c_str(), &root) != 0 || !S_ISDIR(root.st_mode)) return kErrorFileNotFound;
    struct stat jd {};
    if (stat(journalDir.c_str(), &jd) == 0) {
        journalDirDevice = jd.st_dev;
        journalDirIno = jd.st_ino;
    }
    std::unique_lock<std::mutex> lock(mutex);
    device = root.st_dev;
    rootIno = root.st_ino;
    journal.reset(journalDir + std::string(1, letter) + ".journal");
    journal.load();
    std::uint64_t savedJournalId = 0;
    std::int64_t savedNextUsn = 0;
    const bool known =
        catalog.load(journalDir + std::string(1, letter) + ".items", device, rootIno, &savedJournalId, &savedNextUsn);
    pending_.clear();
    batch_.clear();
    unwatched_.clear();
    reportedCauses_.clear();
    badNameFolders_.clear();
    if (known) replayJournal(savedJournalId, savedNextUsn);
    // The watcher starts before the walk, so that a change made during the
    // walk is seen by one or the other (the event functions skip what the
    // walk already recorded); the recursive watcher adds its watches as the
    // walk reaches each directory.
    watcher_.reset();
    lock.unlock();
    std::unique_ptr<Watcher> watcher;
    if (!inotifyForced()) {
        watcher = makeFanotifyWatcher(*this);
        if (!watcher->start()) watcher.reset();
    }
    if (!watcher) {
        watcher = makeInotifyWatcher(*this);
        if (!watcher->start()) watcher.reset();
    }
    lock.lock();
    watcher_ = std::move(watcher);
    reconcile(known);
    commit();
    saveCatalog();
    lastUnwatchedWalkMillis_ = nowMillis();
    running = true;
    return kErrorSuccess;
}

void Volume::stop() {
    std::unique_ptr<Watcher> watcher;
    {
        std::lock_guard<std::mutex> lock(mutex);
        watcher = std::move(watcher_);
    }
    if (watcher) {
        watcher->flush();
        watcher->stop();
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = pending_.begin(); it != pending_.end();) {
        Item* item = catalog.find(it->first);
        const std::uint32_t reasons = it->second.reasons;
        it = pending_.erase(it);
        if (item) emit(*item, reasons | kUsnReasonClose);
    }
    commit();
    saveCatalog();
    journal.reset("");
    catalog.clear();
    unwatched_.clear();
    running = false;
    recordsAdded.notify_all();
}

void Volume::saveCatalog() {
    catalog.save(journalDir + std::string(1, letter) + ".items", device, rootIno, journal.journalId(),
                 journal.nextUsn());
    catalogDirty_ = false;
    lastSaveMillis_ = nowMillis();
}

void Volume::replayJournal(std::uint64_t journalId, std::int64_t fromUsn) {
    if (!journal.active() || journal.journalId() != journalId || fromUsn >= journal.nextUsn()) return;
    ReadUsnJournalData in{};
    in.StartUsn = fromUsn;
    in.ReasonMask = 0xFFFFFFFF;
    in.UsnJournalID = journalId;
    std::vector<std::uint8_t> out(1 << 20);
    std::map<std::uint64_t, std::uint32_t> open;  // reasons of changes without their close yet
    std::set<std::uint64_t> touched;
    std::uint64_t created = 0;
    for (;;) {
        std::uint32_t got = 0;
        long rc = journal.read(in, out.data(), static_cast<std::uint32_t>(out.size()), &got);
        if (rc == kErrorJournalEntryDeleted && in.StartUsn != 0) {
            in.StartUsn = 0;  // the oldest of them are gone: apply what is left
            continue;
        }
        if (rc != kErrorSuccess) break;
        const std::span<const std::uint8_t> bytes(out.data(), got);
        const std::vector<UsnRecord> records = decodeUsnOutput(bytes);
        if (records.empty()) break;
        in.StartUsn = static_cast<std::int64_t>(usnOutputHeader(bytes));
        for (const UsnRecord& r : records) {
            const std::uint64_t ref = r.FileReferenceNumber;
            const std::string name = utf16ToUtf8(r.FileName);
            Item* item = catalog.find(ref);
            if (!item && (r.Reason & kUsnReasonFileCreate) && catalog.find(r.ParentFileReferenceNumber) &&
                !catalog.findChild(r.ParentFileReferenceNumber, name)) {
                Observed seen;
                const std::string parentPath = pathOf(r.ParentFileReferenceNumber);
                const std::string full = parentPath == "/" ? "/" + name : parentPath + "/" + name;
                if (parentPath.empty() || !observe(AT_FDCWD, full.c_str(), &seen) || catalog.findIno(seen.ino)) {
                    seen = Observed{};  // gone, or its inode belongs to another item now: the walk tells
                    seen.kind = (r.FileAttributes & kFileAttributeDirectory) ? ItemKind::Directory : ItemKind::File;
                }
                if (catalog.restore(ref, r.ParentFileReferenceNumber, name, seen)) ++created;
                item = catalog.find(ref);
            } else if (item && (r.Reason & kUsnReasonRenameNewName) && catalog.find(r.ParentFileReferenceNumber) &&
                       !catalog.findChild(r.ParentFileReferenceNumber, name)) {
                catalog.rename(*item, r.ParentFileReferenceNumber, name);
            }
            if (!item) continue;
            item->lastUsn = r.Usn;
            if ((r.Reason & kUsnReasonFileDelete) && (r.Reason & kUsnReasonClose)) {
                // Children were deleted first; any left over go with it.
                std::vector<std::uint64_t> order{ref};
                for (std::size_t i = 0; i < order.size(); ++i)
                    for (std::uint64_t child : catalog.children(order[i])) order.push_back(child);
                for (std::uint64_t gone : order) {
                    catalog.erase(gone);
                    touched.erase(gone);
                    open.erase(gone);
                }
                continue;
            }
            touched.insert(ref);
            if (r.Reason & kUsnReasonClose) open.erase(ref);
            else open[ref] = r.Reason;
        }
    }
    catalog.skipReferences(created);
    // The items the records touched take what they hold now, so the walk
    // reports only what changed after the last record.
    for (std::uint64_t ref : touched) {
        Item* item = catalog.find(ref);
        if (!item) continue;
        const std::string path = pathOf(ref);
        Observed seen;
        if (path.empty() || !observe(AT_FDCWD, path.c_str(), &seen) || seen.kind != item->kind) continue;
        if (item->ino == 0 && !catalog.findIno(seen.ino)) catalog.setIno(*item, seen.ino);
        if (item->ino != seen.ino) continue;
        item->btimeNs = seen.btimeNs;
        compare(*item, seen, true, path);
    }
    for (const auto& [ref, reasons] : open)
        if (Item* item = catalog.find(ref)) emit(*item, reasons | kUsnReasonClose);
    catalogDirty_ = true;
}

bool Volume::acceptName(std::uint64_t parent, const std::string& name) {
    if (posix::windowsCanHoldName(name)) return true;
    if (badNameFolders_.insert(parent).second)
        reportDiagnostic("\n Change journal of drive " + std::string(1, letter) + ": the folder " + pathOf(parent) +
                         " holds names Windows cannot hold (a control character, a backslash or bytes that are "
                         "not UTF-8); those items are not journaled.");
    return false;
}

void Volume::flushWatcher() {
    Watcher* watcher = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        watcher = watcher_.get();
    }
    // The watcher lives until stop(), which needs the last handle; the
    // caller's handle keeps it alive here.
    if (watcher) watcher->flush();
}

void Volume::holdWatcher(bool held, bool dropHeld) {
    Watcher* watcher = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        watcher = watcher_.get();
    }
    if (watcher) watcher->hold(held, dropHeld);
}

std::string Volume::watcherName() {
    std::lock_guard<std::mutex> lock(mutex);
    return watcher_ ? watcher_->name() : "none";
}

// ---------------------------------------------------------------- control codes

long Volume::query(UsnJournalData* data) {
    std::lock_guard<std::mutex> lock(mutex);
    return journal.query(data);
}

long Volume::create(const CreateUsnJournalData& data) {
    std::lock_guard<std::mutex> lock(mutex);
    const bool wasActive = journal.active();
    const long rc = journal.create(data.MaximumSize, data.AllocationDelta);
    if (rc == kErrorSuccess && !wasActive) {
        // A new journal starts its USNs again; older marks mean nothing to it.
        for (auto& [ref, item] : catalog.mutableItems()) item.lastUsn = 0;
        catalogDirty_ = true;
    }
    return rc;
}

long Volume::remove(const DeleteUsnJournalData& data) {
    const std::uint32_t flags = data.DeleteFlags;
    if (flags == 0 || (flags & ~(kUsnDeleteFlagDelete | kUsnDeleteFlagNotify)) != 0) return kErrorInvalidParameter;
    std::lock_guard<std::mutex> lock(mutex);
    if (!(flags & kUsnDeleteFlagDelete)) return kErrorSuccess;  // deletions here complete at once
    const long rc = journal.remove(data.UsnJournalID);
    if (rc == kErrorSuccess) {
        pending_.clear();
        recordsAdded.notify_all();
    }
    return rc;
}

long Volume::read(const ReadUsnJournalData& in, std::uint8_t* out, std::uint32_t outSize,
                  std::uint32_t* bytesReturned) {
    std::unique_lock<std::mutex> lock(mutex);
    const long rc = journal.read(in, out, outSize, bytesReturned);
    if (rc != kErrorSuccess || in.BytesToWaitForMore == 0 || *bytesReturned > kUsnOutputHeaderSize) return rc;
    // Wait for records beyond the start, up to Timeout seconds (0: no limit).
    const std::int64_t start = in.StartUsn;
    const std::uint64_t id = in.UsnJournalID;
    auto more = [&] { return !running || !journal.active() || journal.journalId() != id || journal.nextUsn() > start; };
    const std::int64_t timeout = in.Timeout == 0 ? -1 : static_cast<std::int64_t>(in.Timeout) * 1000;
    platform::waitFor(lock, recordsAdded, timeout, more);
    return journal.read(in, out, outSize, bytesReturned);
}

long Volume::enumerate(const MftEnumData& in, std::uint8_t* out, std::uint32_t outSize,
                       std::uint32_t* bytesReturned) {
    *bytesReturned = 0;
    std::lock_guard<std::mutex> lock(mutex);
    const auto& items = catalog.items();
    std::vector<std::uint8_t> bytes;
    bytes.reserve(outSize);
    bytes.resize(kUsnOutputHeaderSize);
    std::uint64_t next = in.StartFileReferenceNumber;
    bool any = false;
    for (auto it = items.lower_bound(in.StartFileReferenceNumber); it != items.end(); ++it) {
        const Item& item = it->second;
        if (item.ref == catalog.rootRef) continue;
        if (item.lastUsn < in.LowUsn || item.lastUsn > in.HighUsn) continue;
        UsnRecord r;
        r.FileReferenceNumber = item.ref;
        r.ParentFileReferenceNumber = item.parent;
        r.Usn = item.lastUsn;
        r.FileAttributes = fileAttributesOf(item);
        r.FileName = utf8ToUtf16(item.name);
        if (bytes.size() + usnRecordLength(r.FileName.size()) > outSize) {
            if (!any) return kErrorInsufficientBuffer;
            break;
        }
        appendUsnRecord(&bytes, r);
        next = item.ref + 1;
        any = true;
    }
    if (!any) return kErrorHandleEof;
    std::memcpy(bytes.data(), &next, 8);
    std::memcpy(out, bytes.data(), bytes.size());
    *bytesReturned = static_cast<std::uint32_t>(bytes.size());
    return kErrorSuccess;
}

long Volume::fileIndexOf(const std::string& localPath, const struct stat& st, std::uint64_t* index) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (static_cast<std::uint64_t>(st.st_dev) == device) {
                if (static_cast<std::uint64_t>(st.st_ino) == rootIno) {
                    *index = catalog.rootRef;
                    return kErrorSuccess;
                }
                if (Item* item = catalog.findIno(st.st_ino)) {
                    *index = item->ref;
                    return kErrorSuccess;
                }
            }
        }
        // Just created: the watcher may not have caught up yet.
        flushWatcher();
    }
    (void)localPath;
    return kErrorFileNotFound;
}

// ---------------------------------------------------------------- records

void Volume::emitAs(const Item& item, std::uint64_t parent, const std::string& name, std::uint32_t reasons) {
    if (!journal.active()) return;
    UsnRecord r;
    r.FileReferenceNumber = item.ref;
    r.ParentFileReferenceNumber = parent;
    r.TimeStamp = nowFileTime();
    r.Reason = reasons;
    r.FileAttributes = fileAttributesOf(item);
    r.FileName = utf8ToUtf16(name);
    batch_.push_back(std::move(r));
}

void Volume::emit(const Item& item, std::uint32_t reasons) { emitAs(item, item.parent, item.name, reasons); }

void Volume::note(Item& item, std::uint32_t reasons, bool keepOpen) {
    auto it = pending_.find(item.ref);
    if (it == pending_.end()) {
        if (!keepOpen) {
            emit(item, reasons | kUsnReasonClose);
            return;
        }
        pending_[item.ref] = Pending{reasons, nowMillis()};
        emit(item, reasons);
        return;
    }
    Pending& p = it->second;
    const std::uint32_t added = reasons & ~p.reasons;
    p.reasons |= reasons;
    p.lastEventMillis = nowMillis();
    if (!keepOpen) {
        const std::uint32_t all = p.reasons;
        pending_.erase(it);
        emit(item, all | kUsnReasonClose);
    } else if (added) {
        emit(item, p.reasons);
    }
}

void Volume::closeChange(Item& item) {
    auto it = pending_.find(item.ref);
    if (it == pending_.end()) return;
    const std::uint32_t all = it->second.reasons;
    pending_.erase(it);
    emit(item, all | kUsnReasonClose);
}

void Volume::commit() {
    const std::int64_t now = nowMillis();
    itemsWatched.store(catalog.size(), std::memory_order_relaxed);
    unwatchedFolders.store(unwatched_.size(), std::memory_order_relaxed);
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (now - it->second.lastEventMillis < kIdleCloseMillis) {
            ++it;
            continue;
        }
        Item* item = catalog.find(it->first);
        const std::uint32_t all = it->second.reasons;
        it = pending_.erase(it);
        if (item) emit(*item, all | kUsnReasonClose);
    }
    if (!batch_.empty()) {
        journal.append(batch_);
        for (const UsnRecord& r : batch_)
            if (Item* item = catalog.find(r.FileReferenceNumber)) item->lastUsn = r.Usn;
        batch_.clear();
        catalogDirty_ = true;
        recordsAdded.notify_all();
    }
    if (catalogDirty_ && now - lastSaveMillis_ >= kCatalogSaveMillis) saveCatalog();
}

// ---------------------------------------------------------------- catalogue changes

std::string Volume::pathOf(std::uint64_t ref) {
    std::vector<const std::string*> names;
    std::uint64_t at = ref;
    for (std::size_t depth = 0; at != catalog.rootRef; ++depth) {
        const Item* item = catalog.find(at);
        if (!item || depth > 4096) return {};
        names.push_back(&item->name);
        at = item->parent;
    }
    std::string path = directory;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (path.back() != '/') path += '/';
        path += **it;
    }
    return path;
}

Item* Volume::addObserved(std::uint64_t parent, const std::string& name, const Observed* seen, bool isDirectory) {
    Observed unknown;
    unknown.kind = isDirectory ? ItemKind::Directory : ItemKind::File;
    Item& item = catalog.add(parent, name, seen ? *seen : unknown);
    catalogDirty_ = true;
    return &item;
}

// Reports a new item and, for a directory, everything already inside it
// (a directory moved in, or filled before its watch was in place).
void Volume::createTree(Item& root, bool reportChildren) {
    if (root.kind != ItemKind::Directory) return;
    std::vector<std::uint64_t> stack{root.ref};
    while (!stack.empty()) {
        const std::uint64_t dirRef = stack.back();
        stack.pop_back();
        const std::string path = pathOf(dirRef);
        if (path.empty()) continue;
        watchDirectory(dirRef, path);
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
        if (!dir) {
            close(fd);
            continue;
        }
        while (dirent* entry = readdir(dir.get())) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            if (!acceptName(dirRef, name)) continue;
            Observed seen;
            if (!observe(fd, name, &seen) || seen.device != device || isExcluded(seen.device, seen.ino)) continue;
            Item* existing = catalog.findChild(dirRef, name);
            if (existing && existing->ino == seen.ino) continue;
            if (existing) deleteTree(*existing);
            // An item that moved here before this directory was examined
            // (its rename event named a folder not watched yet).
            if (Item* moved = catalog.findIno(seen.ino);
                moved && moved->kind == seen.kind && moved->ref != catalog.rootRef && moved->ref != dirRef) {
                emit(*moved, kUsnReasonRenameOldName);
                catalog.rename(*moved, dirRef, name);
                moved->ctimeNs = seen.ctimeNs;
                note(*moved, kUsnReasonRenameNewName, pending_.count(moved->ref) != 0);
                continue;
            }
            Item& item = *addObserved(dirRef, name, &seen, false);
            if (item.kind == ItemKind::File) item.aclDigest = aclDigest(fd, name);
            if (reportChildren)
                emit(item, kUsnReasonFileCreate |
                               (item.size > 0 && item.kind != ItemKind::Directory ? kUsnReasonDataExtend : 0) |
                               kUsnReasonClose);
            if (item.kind == ItemKind::Directory) {
                item.aclDigest = aclDigest(fd, name);
                stack.push_back(item.ref);
            }
        }
    }
}

// Reports the deletion of an item and of everything the catalogue has below
// it, deepest first, and forgets them.
void Volume::deleteTree(Item& top) {
    std::vector<std::uint64_t> order{top.ref};
    for (std::size_t i = 0; i < order.size(); ++i)
        for (std::uint64_t child : catalog.children(order[i])) order.push_back(child);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        Item* item = catalog.find(*it);
        if (!item) continue;
        note(*item, kUsnReasonFileDelete, false);
        if (item->kind == ItemKind::Directory) unwatchDirectory(item->ref);
        catalog.erase(*it);
    }
    catalogDirty_ = true;
}

// What changed between the catalogue's view of an item and the file system's.
std::uint32_t Volume::compare(Item& item, const Observed& seen, bool checkAcl, const std::string& path) {
    std::uint32_t reasons = 0;
    if (item.kind == ItemKind::File || item.kind == ItemKind::Other) {
        if (seen.size > item.size)
            reasons |= kUsnReasonDataExtend;
        else if (seen.size < item.size)
            reasons |= kUsnReasonDataTruncation;
        else if (seen.mtimeNs != item.mtimeNs)
            reasons |= kUsnReasonDataOverwrite;
    }
    if ((seen.mode & 07777) != (item.mode & 07777) || seen.uid != item.uid || seen.gid != item.gid)
        reasons |= kUsnReasonSecurityChange;
    if (checkAcl && seen.ctimeNs != item.ctimeNs && !path.empty()) {
        const std::size_t slash = path.rfind('/');
        const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
        const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            const std::uint64_t digest = aclDigest(fd, path.c_str() + slash + 1);
            close(fd);
            if (digest != item.aclDigest) reasons |= kUsnReasonSecurityChange;
            item.aclDigest = digest;
        }
    }
    item.size = seen.size;
    item.mtimeNs = seen.mtimeNs;
    item.ctimeNs = seen.ctimeNs;
    item.mode = seen.mode;
    item.uid = seen.uid;
    item.gid = seen.gid;
    catalogDirty_ = true;
    return reasons;
}

// Walks the volume and brings the catalogue in line with it. With `report`,
// every difference is written as closed records: renames and moves, new
// items (parents before children), changed contents and security, and at the
// end the items that are gone (children before parents).
void Volume::reconcile(bool report, std::uint64_t top) {
    const std::uint32_t mark = ++walkMark_;
    std::vector<std::pair<std::uint64_t, std::string>> stack;
    if (top) {
        Item* start = catalog.find(top);
        std::string path = start ? pathOf(top) : std::string();
        if (path.empty()) return;
        start->mark = mark;
        stack.emplace_back(top, std::move(path));
    } else {
        Item* root = catalog.find(catalog.rootRef);
        if (!root || root->ino != rootIno) {
            catalog.clear();
            unwatched_.clear();
            Observed seen;
            observe(AT_FDCWD, directory.c_str(), &seen);
            seen.ino = rootIno;
            seen.kind = ItemKind::Directory;
            root = &catalog.add(0, "", seen);
            catalog.rootRef = root->ref;
            report = false;
        }
        root->mark = mark;
        stack.emplace_back(root->ref, directory);
    }
    std::vector<std::uint64_t> unreadable;
    while (!stack.empty()) {
        auto [dirRef, path] = std::move(stack.back());
        stack.pop_back();
        watchDirectory(dirRef, path);
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        // A folder walked on its own that is gone is left to its parent's
        // events or walk, which report it with what it held.
        if (fd < 0 && dirRef == top) return;
        if (fd < 0) {
            // A folder that cannot be read keeps what the catalogue knows of it.
            if (errno != ENOENT && errno != ENOTDIR) unreadable.push_back(dirRef);
            continue;
        }
        std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
        if (!dir) {
            close(fd);
            unreadable.push_back(dirRef);
            continue;
        }
        while (dirent* entry = readdir(dir.get())) {
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            if (!acceptName(dirRef, name)) continue;
            Observed seen;
            if (!observe(fd, name, &seen) || seen.device != device || isExcluded(seen.device, seen.ino)) continue;
            Item* item = catalog.findIno(seen.ino);
            if (item && (item->mark == mark || item->kind != seen.kind ||
                         (item->btimeNs && seen.btimeNs && item->btimeNs != seen.btimeNs) ||
                         item->ref == catalog.rootRef))
                item = nullptr;  // the inode number now belongs to another item
            if (!item) {
                // An item of the same name that is not this inode was replaced.
                item = addObserved(dirRef, name, &seen, false);
                item->aclDigest = aclDigest(fd, name);
                item->mark = mark;
                if (report)
                    emit(*item, kUsnReasonFileCreate | (item->size > 0 && item->kind != ItemKind::Directory
                                                            ? kUsnReasonDataExtend
                                                            : 0) |
                                    kUsnReasonClose);
            } else {
                item->mark = mark;
                const bool moved = item->parent != dirRef || item->name != name;
                std::uint32_t reasons = 0;
                if (item->ctimeNs != seen.ctimeNs || item->mtimeNs != seen.mtimeNs || item->size != seen.size) {
                    const std::string itemPath = path == "/" ? "/" + std::string(name) : path + "/" + name;
                    reasons = compare(*item, seen, true, itemPath);
                    if (item->kind == ItemKind::Directory)
                        reasons &= ~(kUsnReasonDataExtend | kUsnReasonDataTruncation | kUsnReasonDataOverwrite);
                    // A change time that moved while size, modification time
                    // and security stayed is a write whose time was put back
                    // (touch -r): nobody can set the change time back.
                    else if (!moved && reasons == 0)
                        reasons = kUsnReasonDataOverwrite;
                }
                if (moved) {
                    if (report) emit(*item, kUsnReasonRenameOldName);
                    catalog.rename(*item, dirRef, name);
                    catalogDirty_ = true;
                    reasons |= kUsnReasonRenameNewName;
                }
                if (report && reasons) note(*item, reasons, pending_.count(item->ref) != 0);
            }
            if (item->kind == ItemKind::Directory)
                stack.emplace_back(item->ref, path == "/" ? "/" + std::string(name) : path + "/" + name);
        }
    }
    // What lies below an unreadable folder is kept as it was.
    for (std::size_t i = 0; i < unreadable.size(); ++i) {
        if (Item* item = catalog.find(unreadable[i])) item->mark = mark;
        for (std::uint64_t child : catalog.children(unreadable[i])) unreadable.push_back(child);
    }
    std::vector<std::pair<std::size_t, std::uint64_t>> gone;
    auto sweep = [&](const Item& item) {
        if (item.mark == mark) return;
        std::size_t depth = 0;
        for (const Item* at = &item; at && at->ref != catalog.rootRef && depth < 4096; at = catalog.find(at->parent))
            ++depth;
        gone.emplace_back(depth, item.ref);
    };
    if (top) {
        std::vector<std::uint64_t> below = catalog.children(top);
        for (std::size_t i = 0; i < below.size(); ++i) {
            for (std::uint64_t child : catalog.children(below[i])) below.push_back(child);
            if (const Item* item = catalog.find(below[i])) sweep(*item);
        }
    } else {
        for (const auto& [ref, item] : catalog.items()) sweep(item);
    }
    std::sort(gone.begin(), gone.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [depth, ref] : gone) {
        Item* item = catalog.find(ref);
        if (!item) continue;
        if (report) note(*item, kUsnReasonFileDelete, false);
        else pending_.erase(ref);
        if (item->kind == ItemKind::Directory) unwatchDirectory(ref);
        catalog.erase(ref);
        catalogDirty_ = true;
    }
}

// ---------------------------------------------------------------- events

void Volume::onCreate(std::uint64_t parent, const std::string& name, bool isDirectory, bool movedIn) {
    Item* dir = catalog.find(parent);
    if (!dir || !acceptName(parent, name)) return;
    const std::string path = pathOf(parent);
    if (path.empty()) return;
    const std::string full = path == "/" ? "/" + name : path + "/" + name;
    Observed seen;
    const bool exists = observe(AT_FDCWD, full.c_str(), &seen);
    if (exists && (seen.device != device || isExcluded(seen.device, seen.ino))) return;
    Item* existing = catalog.findChild(parent, name);
    if (existing) {
        // Already recorded by a walk, or a deletion this journal missed.
        if (exists && existing->ino == seen.ino) return;
        deleteTree(*existing);
    }
    Item* item = addObserved(parent, name, exists ? &seen : nullptr, isDirectory);
    // A file created by open() stays open until its close shows; one that
    // is already gone again was such a file too. A new name for an existing
    // file (a hard link) is a change of its own.
    bool keepOpen = false;
    std::uint32_t reasons = kUsnReasonFileCreate;
    if (movedIn) {
        if (item->kind != ItemKind::Directory && item->size > 0) reasons |= kUsnReasonDataExtend;
    } else if (item->kind == ItemKind::File && (!exists || seen.nlink == 1)) {
        // A file just created was empty: what it holds now was written later.
        item->size = 0;
        keepOpen = true;
    }
    if (exists) {
        const std::size_t slash = full.rfind('/');
        const int fd = open(slash == 0 ? "/" : full.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            item->aclDigest = aclDigest(fd, name.c_str());
            close(fd);
        }
    }
    note(*item, reasons, keepOpen);
    if (item->kind == ItemKind::Directory) createTree(*item, true);
}

void Volume::onDelete(std::uint64_t parent, const std::string& name) {
    Item* item = catalog.findChild(parent, name);
    if (!item) return;
    // The same name may already hold a new item (the events lag behind).
    const std::string path = pathOf(item->ref);
    Observed seen;
    if (!path.empty() && observe(AT_FDCWD, path.c_str(), &seen) && seen.ino == item->ino && item->ino != 0) return;
    deleteTree(*item);
}

void Volume::onMove(std::uint64_t oldParent, const std::string& oldName, std::uint64_t newParent,
                    const std::string& newName, bool isDirectory) {
    Item* item = oldParent ? catalog.findChild(oldParent, oldName) : nullptr;
    const bool inside = newParent != 0 && catalog.find(newParent) != nullptr;
    if (!item) {
        if (inside) onCreate(newParent, newName, isDirectory, true);
        return;
    }
    // A new name Windows cannot hold takes the item out of the journal.
    if (!inside || !acceptName(newParent, newName)) {
        deleteTree(*item);
        return;
    }
    if (item->parent == newParent && item->name == newName) return;  // already seen by a walk
    if (Item* target = catalog.findChild(newParent, newName); target && target != item) deleteTree(*target);
    emit(*item, kUsnReasonRenameOldName);
    catalog.rename(*item, newParent, newName);
    catalogDirty_ = true;
    // A rename moves the change time; a later walk must not take it for a write.
    Observed seen;
    if (const std::string path = pathOf(item->ref);
        !path.empty() && observe(AT_FDCWD, path.c_str(), &seen) && seen.ino == item->ino)
        item->ctimeNs = seen.ctimeNs;
    note(*item, kUsnReasonRenameNewName, pending_.count(item->ref) != 0);
}

void Volume::onModify(std::uint64_t parent, const std::string& name) {
    Item* item = catalog.findChild(parent, name);
    if (!item) {
        onCreate(parent, name, false);
        return;
    }
    const std::string path = pathOf(item->ref);
    Observed seen;
    if (path.empty() || !observe(AT_FDCWD, path.c_str(), &seen) || seen.ino != item->ino) {
        // Renamed or deleted since: the write happened, its kind is a guess.
        note(*item, item->size == 0 ? kUsnReasonDataExtend : kUsnReasonDataOverwrite, true);
        return;
    }
    std::uint32_t reasons = compare(*item, seen, false, path);
    reasons &= kUsnReasonDataExtend | kUsnReasonDataTruncation | kUsnReasonDataOverwrite | kUsnReasonSecurityChange;
    if (reasons) note(*item, reasons, true);
}

void Volume::onAttrib(std::uint64_t parent, const std::string& name) {
    Item* item = catalog.findChild(parent, name);
    if (!item) return;
    onSelfChange(item->ref, true);
}

void Volume::onSelfChange(std::uint64_t ref, bool attributes) {
    Item* item = catalog.find(ref);
    if (!item || !attributes) return;
    const std::string path = pathOf(ref);
    Observed seen;
    if (path.empty() || !observe(AT_FDCWD, path.c_str(), &seen) || (item->ino && seen.ino != item->ino)) return;
    const std::int64_t oldMtime = item->mtimeNs;
    const std::uint64_t oldSize = item->size;
    std::uint32_t reasons = compare(*item, seen, true, path);
    const bool open = pending_.count(ref) != 0;
    // Times changed without a write: utimes, touch.
    if (item->kind != ItemKind::Directory && (reasons & kUsnReasonDataOverwrite) && seen.size == oldSize &&
        seen.mtimeNs != oldMtime && !open)
        reasons = (reasons & ~kUsnReasonDataOverwrite) | kUsnReasonBasicInfoChange;
    if (item->kind == ItemKind::Directory) {
        reasons &= ~(kUsnReasonDataExtend | kUsnReasonDataTruncation | kUsnReasonDataOverwrite);
        if (seen.mtimeNs != oldMtime && !(reasons & kUsnReasonSecurityChange)) reasons |= kUsnReasonBasicInfoChange;
    }
    if (reasons) note(*item, reasons, open);
}

void Volume::onCloseWrite(std::uint64_t parent, const std::string& name) {
    Item* item = catalog.findChild(parent, name);
    if (!item) return;
    // Writes whose events merged with earlier ones are counted before the close.
    const std::string path = pathOf(item->ref);
    Observed seen;
    if (!path.empty() && observe(AT_FDCWD, path.c_str(), &seen) && seen.ino == item->ino) {
        std::uint32_t reasons = compare(*item, seen, false, path);
        reasons &= kUsnReasonDataExtend | kUsnReasonDataTruncation | kUsnReasonDataOverwrite;
        if (reasons) note(*item, reasons, true);
    }
    closeChange(*item);
}

// ---------------------------------------------------------------- folders not watched

namespace {

std::string watchFailureText(int error) {
    switch (error) {
    case ENOSPC:
        return "the user's limit of inotify watches is reached; raise the sysctl fs.inotify.max_user_watches";
    case ENOMEM:
        return "the kernel has no memory left for another inotify watch";
    case EACCES:
        return "permission denied";
    default:
        return "error " + std::to_string(error) + " (" + std::strerror(error) + ")";
    }
}

}  // namespace

void Volume::watchDirectory(std::uint64_t ref, const std::string& path) {
    if (!watcher_) return;
    const int error = watcher_->directoryAdded(ref, path);
    // A folder gone meanwhile is reported by its parent's events or walk.
    if (error == 0 || error == ENOENT || error == ENOTDIR) {
        unwatched_.erase(ref);
        return;
    }
    if (unwatched_.empty()) lastUnwatchedWalkMillis_ = nowMillis();
    unwatched_.insert(ref);
    // Once per cause: a full watch limit fails every folder that follows.
    if (!reportedCauses_.insert(error).second) return;
    reportDiagnostic("\n Change journal of drive " + std::string(1, letter) + ": cannot watch the folder " + path +
                     ": " + watchFailureText(error) +
                     ". Folders that cannot be watched are walked for their changes every " +
                     std::to_string(kUnwatchedWalkMillis / 1000) +
                     " seconds until they can be; further folders failing for this reason are not reported.");
}

void Volume::unwatchDirectory(std::uint64_t ref) {
    unwatched_.erase(ref);
    if (watcher_) watcher_->directoryRemoved(ref);
}

void Volume::walkUnwatched() {
    const std::int64_t now = nowMillis();
    if (!unwatched_.empty() && now - lastUnwatchedWalkMillis_ >= kUnwatchedWalkMillis) {
        lastUnwatchedWalkMillis_ = now;
        // Only the outermost: a walk covers the folders below it, and tries
        // to watch each of them again before reading it.
        std::vector<std::uint64_t> tops;
        for (auto it = unwatched_.begin(); it != unwatched_.end();) {
            const Item* item = catalog.find(*it);
            if (!item) {
                it = unwatched_.erase(it);
                continue;
            }
            bool nested = false;
            std::size_t depth = 0;
            for (const Item* at = catalog.find(item->parent); at && !nested && depth < 4096;
                 at = at->ref == catalog.rootRef ? nullptr : catalog.find(at->parent), ++depth)
                nested = unwatched_.count(at->ref) != 0;
            if (!nested) tops.push_back(*it);
            ++it;
        }
        for (std::uint64_t ref : tops) reconcile(true, ref);
    }
    if (unwatched_.empty() && !reportedCauses_.empty()) {
        reportedCauses_.clear();
        reportDiagnostic("\n Change journal of drive " + std::string(1, letter) + ": every folder is watched again.");
    }
}

void Volume::onOverflow() {
    reconcile(true);
    std::vector<std::uint64_t> open;
    for (const auto& [ref, p] : pending_) open.push_back(ref);
    for (std::uint64_t ref : open) {
        if (Item* item = catalog.find(ref)) closeChange(*item);
        else pending_.erase(ref);
    }
}

}  // namespace platform::usnjournal
