// Parts of the POSIX change journal shared by its files: the journal file
// (a ring of USN_RECORD_V2 records), the catalogue of the volume's items, and
// the watcher that turns file-system events into records.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/journal.h"

namespace platform::usnjournal {

// ---------------------------------------------------------------- journal file
//
// "<JournalDir><letter>.journal": a 4096-byte header, then a ring of
// MaximumSize + AllocationDelta bytes (rounded up to 8) in which the record of
// USN u lies at 4096 + u mod ring size. Records are written before the header
// that counts them, and the header is written before records overwrite the
// oldest ones, so a crash never leaves the header pointing at torn records.
class JournalFile {
public:
    explicit JournalFile(std::string path) : path_(std::move(path)) {}
    ~JournalFile();
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;

    // Loads the file if there is one; a missing or unreadable file is no journal.
    void load();
    // Closes the file and points at another (or none: "").
    void reset(std::string path) {
        close();
        path_ = std::move(path);
    }
    bool active() const { return fd_ >= 0; }
    long query(UsnJournalData* data) const;
    long create(std::uint64_t maximumSize, std::uint64_t allocationDelta);
    long remove(std::uint64_t journalId);
    // Gives each record its USN, writes it and drops the oldest records
    // beyond MaximumSize. Without an active journal the records are dropped.
    void append(std::vector<UsnRecord>& records);
    long read(const ReadUsnJournalData& in, std::uint8_t* out, std::uint32_t outSize,
              std::uint32_t* bytesReturned) const;
    std::int64_t nextUsn() const { return header_.nextUsn; }
    std::uint64_t journalId() const { return header_.journalId; }
    const std::string& path() const { return path_; }

    struct Header {
        std::uint64_t journalId = 0;
        std::int64_t firstUsn = 0;
        std::int64_t nextUsn = 0;
        std::int64_t lowestValidUsn = 0;
        std::uint64_t maximumSize = 0;
        std::uint64_t allocationDelta = 0;
        std::uint64_t ringSize = 0;
    };
    // For inspection tools: reads a journal file's header and its records
    // (in USN order). false when the file is not a journal.
    static bool readFile(const std::string& path, Header* header, std::vector<std::uint8_t>* records,
                         std::string* error);

private:
    bool writeHeader();
    bool writeRing(std::int64_t usn, const std::uint8_t* data, std::size_t size);
    bool readRing(std::int64_t usn, std::uint8_t* data, std::size_t size) const;
    void close();

    std::string path_;
    int fd_ = -1;
    Header header_;
    // USN and length of every record between FirstUsn and NextUsn.
    std::deque<std::pair<std::int64_t, std::uint32_t>> index_;
};

// ---------------------------------------------------------------- catalogue

enum class ItemKind : std::uint8_t { File = 0, Directory = 1, Other = 2 };

// What the journal knows of one item of the volume.
struct Item {
    std::uint64_t ref = 0;
    std::uint64_t parent = 0;
    std::uint64_t ino = 0;  // 0 when unknown (the item vanished before it could be examined)
    std::string name;       // UTF-8
    ItemKind kind = ItemKind::File;
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    std::int64_t btimeNs = 0;  // birth time, 0 when the file system has none
    std::uint64_t aclDigest = 0;
    std::int64_t lastUsn = 0;
    std::uint32_t mark = 0;  // the walk that last saw it (not saved)
    std::size_t slot = 0;    // its place in its parent's list of children (not saved)
};

// Attributes read from the file system.
struct Observed {
    std::uint64_t ino = 0;
    ItemKind kind = ItemKind::File;
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::uint32_t nlink = 0;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    std::int64_t btimeNs = 0;
    std::uint64_t device = 0;
};

class Catalog {
public:
    void clear();
    std::size_t size() const { return items_.size(); }
    Item* find(std::uint64_t ref);
    Item* findChild(std::uint64_t parent, const std::string& name);
    Item* findIno(std::uint64_t ino);
    // Adds an item with a new reference number.
    Item& add(std::uint64_t parent, const std::string& name, const Observed& seen);
    // Adds an item under the reference number a journal record gave it
    // (false when that number is taken).
    bool restore(std::uint64_t ref, std::uint64_t parent, const std::string& name, const Observed& seen);
    // Moves the reference counters on by `count` draws, past references
    // handed out since the catalogue was saved.
    void skipReferences(std::uint64_t count) {
        sequence_ += count;
        synthetic_ += count;
    }
    void rename(Item& item, std::uint64_t parent, const std::string& name);
    void setIno(Item& item, std::uint64_t ino);
    void erase(std::uint64_t ref);
    // Children of a directory (references), unordered.
    std::vector<std::uint64_t> children(std::uint64_t parent) const;
    std::map<std::uint64_t, Item>& mutableItems() { return items_; }
    const std::map<std::uint64_t, Item>& items() const { return items_; }
    std::uint64_t rootRef = 0;

    bool save(const std::string& path, std::uint64_t device, std::uint64_t rootIno,
              std::uint64_t journalId, std::int64_t nextUsn) const;
    // Loads a saved catalogue if it belongs to this device and root; gives
    // the journal id and next USN it was saved with.
    bool load(const std::string& path, std::uint64_t device, std::uint64_t rootIno,
              std::uint64_t* journalId = nullptr, std::int64_t* nextUsn = nullptr);

private:
    std::uint64_t newRef(std::uint64_t ino);
    Item& insert(std::uint64_t ref, std::uint64_t parent, const std::string& name, const Observed& seen);
    // Puts the item in (takes it out of) its parent's list of children; the
    // item's slot makes taking out a constant-time step, so a folder of many
    // entries costs no more per change than a small one.
    void attach(Item& item);
    void detach(const Item& item);
    static std::string childKey(std::uint64_t parent, const std::string& name);

    std::map<std::uint64_t, Item> items_;  // in reference order, for the enumeration
    std::unordered_map<std::uint64_t, std::uint64_t> byIno_;
    std::unordered_map<std::string, std::uint64_t> byName_;
    std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> childrenOf_;
    std::uint64_t sequence_ = 1;
    std::uint64_t synthetic_ = 1;
};

// Reads an item's attributes (lstat-like, with the birth time where the file
// system keeps it). false when it does not exist.
bool observe(int dirFd, const char* name, Observed* seen);
// A digest of the item's POSIX ACL (0 when it has none).
std::uint64_t aclDigest(int dirFd, const char* name);
std::uint32_t fileAttributesOf(const Item& item);

}  // namespace platform::usnjournal
