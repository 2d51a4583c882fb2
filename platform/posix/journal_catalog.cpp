// The catalogue of a volume's items: reference numbers, names, parents and
// the attributes the journal compares to find what changed.
//
// A reference number is the item's inode number in the low 48 bits with a
// 15-bit sequence above it that is drawn anew for every item the catalogue
// adds, so an inode number reused by a new file gives a new reference, as
// NTFS bumps a record's sequence number. Items whose inode could not be read
// (gone before they were examined), and inode numbers of 48 bits or more,
// get numbers with the top bit set from a counter. The catalogue is saved
// beside the journal, so references survive restarts.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/posix/journal_internal.h"

namespace platform::usnjournal {

namespace {

constexpr std::uint64_t kInoBits = 48;
constexpr std::uint64_t kInoMask = (std::uint64_t{1} << kInoBits) - 1;
constexpr std::uint64_t kSyntheticBit = std::uint64_t{1} << 63;
constexpr char kMagic[8] = {'A', 'M', 'B', 'I', 'T', 'E', 'M', '1'};

std::int64_t nanos(const struct statx_timestamp& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

void put(std::string& out, const void* p, std::size_t n) { out.append(static_cast<const char*>(p), n); }
template <typename T>
void put(std::string& out, T v) {
    put(out, &v, sizeof v);
}

struct Reader {
    const std::string& data;
    std::size_t pos = 0;
    bool ok = true;
    template <typename T>
    T get() {
        T v{};
        if (pos + sizeof v > data.size()) {
            ok = false;
            return v;
        }
        std::memcpy(&v, data.data() + pos, sizeof v);
        pos += sizeof v;
        return v;
    }
    std::string bytes(std::size_t n) {
        if (pos + n > data.size()) {
            ok = false;
            return {};
        }
        std::string s = data.substr(pos, n);
        pos += n;
        return s;
    }
};

}  // namespace

bool observe(int dirFd, const char* name, Observed* seen) {
    struct statx sx {};
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC,
              STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return false;
    seen->ino = sx.stx_ino;
    seen->kind = S_ISDIR(sx.stx_mode) ? ItemKind::Directory : S_ISREG(sx.stx_mode) ? ItemKind::File : ItemKind::Other;
    seen->mode = sx.stx_mode;
    seen->uid = sx.stx_uid;
    seen->gid = sx.stx_gid;
    seen->nlink = sx.stx_nlink;
    seen->size = sx.stx_size;
    seen->mtimeNs = nanos(sx.stx_mtime);
    seen->ctimeNs = nanos(sx.stx_ctime);
    seen->btimeNs = (sx.stx_mask & STATX_BTIME) ? nanos(sx.stx_btime) : 0;
    seen->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);  // as stat() gives st_dev
    return true;
}

std::uint64_t aclDigest(int dirFd, const char* name) {
    char path[64 + 256];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d/%s", dirFd, name);
    char buf[4096];
    std::uint64_t h = 0;
    for (const char* attr : {"system.posix_acl_access", "system.posix_acl_default"}) {
        const ssize_t n = lgetxattr(path, attr, buf, sizeof buf);
        if (n <= 0) continue;
        if (h == 0) h = 1469598103934665603ull;
        for (ssize_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(buf[i])) * 1099511628211ull;
        h = (h ^ 0xFF) * 1099511628211ull;
    }
    return h;
}

std::uint32_t fileAttributesOf(const Item& item) {
    std::uint32_t attributes = 0;
    if (item.kind == ItemKind::Directory) {
        attributes |= kFileAttributeDirectory;
    } else {
        attributes |= kFileAttributeArchive;
        if (S_ISLNK(item.mode)) attributes |= kFileAttributeReparsePoint;
    }
    if ((item.mode & 0222) == 0 && !S_ISLNK(item.mode)) attributes |= kFileAttributeReadonly;
    if (!item.name.empty() && item.name[0] == '.') attributes |= kFileAttributeHidden;
    return attributes;
}

std::string Catalog::childKey(std::uint64_t parent, const std::string& name) {
    std::string key(reinterpret_cast<const char*>(&parent), sizeof parent);
    key += name;
    return key;
}

void Catalog::clear() {
    items_.clear();
    byIno_.clear();
    byName_.clear();
    childrenOf_.clear();
    rootRef = 0;
}

Item* Catalog::find(std::uint64_t ref) {
    auto it = items_.find(ref);
    return it == items_.end() ? nullptr : &it->second;
}

Item* Catalog::findChild(std::uint64_t parent, const std::string& name) {
    auto it = byName_.find(childKey(parent, name));
    return it == byName_.end() ? nullptr : find(it->second);
}

Item* Catalog::findIno(std::uint64_t ino) {
    auto it = byIno_.find(ino);
    return it == byIno_.end() ? nullptr : find(it->second);
}

std::uint64_t Catalog::newRef(std::uint64_t ino) {
    for (;;) {
        std::uint64_t ref;
        if (ino != 0 && ino <= kInoMask) {
            const std::uint64_t seq = sequence_++ & 0x7FFF;
            ref = (seq << kInoBits) | ino;
        } else {
            ref = kSyntheticBit | synthetic_++;
        }
        if (ref != 0 && !items_.count(ref)) return ref;
    }
}

Item& Catalog::add(std::uint64_t parent, const std::string& name, const Observed& seen) {
    return insert(newRef(seen.ino), parent, name, seen);
}

bool Catalog::restore(std::uint64_t ref, std::uint64_t parent, const std::string& name, const Observed& seen) {
    if (ref == 0 || items_.count(ref)) return false;
    insert(ref, parent, name, seen);
    return true;
}

Item& Catalog::insert(std::uint64_t ref, std::uint64_t parent, const std::string& name, const Observed& seen) {
    Item item;
    item.ref = ref;
    item.parent = parent;
    item.ino = seen.ino;
    item.name = name;
    item.kind = seen.kind;
    item.mode = seen.mode;
    item.uid = seen.uid;
    item.gid = seen.gid;
    item.size = seen.size;
    item.mtimeNs = seen.mtimeNs;
    item.ctimeNs = seen.ctimeNs;
    item.btimeNs = seen.btimeNs;
    Item& stored = items_.emplace(ref, std::move(item)).first->second;
    if (seen.ino) byIno_[seen.ino] = ref;
    if (parent || !name.empty()) {
        byName_[childKey(parent, name)] = ref;
        attach(stored);
    }
    return stored;
}

void Catalog::setIno(Item& item, std::uint64_t ino) {
    if (item.ino) {
        auto it = byIno_.find(item.ino);
        if (it != byIno_.end() && it->second == item.ref) byIno_.erase(it);
    }
    item.ino = ino;
    if (ino) byIno_[ino] = item.ref;
}

void Catalog::attach(Item& item) {
    auto& list = childrenOf_[item.parent];
    item.slot = list.size();
    list.push_back(item.ref);
}

void Catalog::detach(const Item& item) {
    auto list = childrenOf_.find(item.parent);
    if (list == childrenOf_.end()) return;
    std::vector<std::uint64_t>& refs = list->second;
    std::size_t at = item.slot;
    if (at >= refs.size() || refs[at] != item.ref) {
        at = static_cast<std::size_t>(std::find(refs.begin(), refs.end(), item.ref) - refs.begin());
        if (at == refs.size()) return;
    }
    const std::uint64_t moved = refs.back();
    refs[at] = moved;
    refs.pop_back();
    if (moved != item.ref)
        if (auto it = items_.find(moved); it != items_.end()) it->second.slot = at;
    if (refs.empty()) childrenOf_.erase(list);
}

void Catalog::rename(Item& item, std::uint64_t parent, const std::string& name) {
    auto key = byName_.find(childKey(item.parent, item.name));
    if (key != byName_.end() && key->second == item.ref) byName_.erase(key);
    if (parent != item.parent) {
        detach(item);
        item.parent = parent;
        attach(item);
    }
    item.name = name;
    byName_[childKey(parent, name)] = item.ref;
}

void Catalog::erase(std::uint64_t ref) {
    auto it = items_.find(ref);
    if (it == items_.end()) return;
    Item& item = it->second;
    auto key = byName_.find(childKey(item.parent, item.name));
    if (key != byName_.end() && key->second == ref) byName_.erase(key);
    if (item.ino) {
        auto ino = byIno_.find(item.ino);
        if (ino != byIno_.end() && ino->second == ref) byIno_.erase(ino);
    }
    detach(item);
    items_.erase(it);
}

std::vector<std::uint64_t> Catalog::children(std::uint64_t parent) const {
    auto it = childrenOf_.find(parent);
    return it == childrenOf_.end() ? std::vector<std::uint64_t>{} : it->second;
}

bool Catalog::save(const std::string& path, std::uint64_t device, std::uint64_t rootIno, std::uint64_t journalId,
                   std::int64_t nextUsn) const {
    std::string out;
    out.reserve(64 + items_.size() * 96);
    put(out, kMagic, 8);
    put(out, device);
    put(out, rootIno);
    put(out, journalId);
    put(out, nextUsn);
    put(out, rootRef);
    put(out, sequence_);
    put(out, synthetic_);
    put(out, static_cast<std::uint64_t>(items_.size()));
    for (const auto& [ref, item] : items_) {
        put(out, item.ref);
        put(out, item.parent);
        put(out, item.ino);
        put(out, static_cast<std::uint8_t>(item.kind));
        put(out, item.mode);
        put(out, item.uid);
        put(out, item.gid);
        put(out, item.size);
        put(out, item.mtimeNs);
        put(out, item.ctimeNs);
        put(out, item.btimeNs);
        put(out, item.aclDigest);
        put(out, item.lastUsn);
        put(out, static_cast<std::uint32_t>(item.name.size()));
        put(out, item.name.data(), item.name.size());
    }
    const std::string temp = path + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::write(fd, out.data() + done, out.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool ok = done == out.size() && fdatasync(fd) == 0;
    ::close(fd);
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool Catalog::load(const std::string& path, std::uint64_t device, std::uint64_t rootIno,
                   std::uint64_t* journalId, std::int64_t* nextUsn) {
    clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Reader r{data};
    if (r.bytes(8) != std::string(kMagic, 8)) return false;
    const auto savedDevice = r.get<std::uint64_t>();
    const auto savedRoot = r.get<std::uint64_t>();
    const auto savedJournalId = r.get<std::uint64_t>();
    const auto savedNextUsn = r.get<std::int64_t>();
    const auto root = r.get<std::uint64_t>();
    const auto sequence = r.get<std::uint64_t>();
    const auto synthetic = r.get<std::uint64_t>();
    const auto count = r.get<std::uint64_t>();
    if (!r.ok || savedDevice != device || savedRoot != rootIno) return false;
    for (std::uint64_t i = 0; i < count && r.ok; ++i) {
        Item item;
        item.ref = r.get<std::uint64_t>();
        item.parent = r.get<std::uint64_t>();
        item.ino = r.get<std::uint64_t>();
        const auto kind = r.get<std::uint8_t>();
        item.kind = kind <= 2 ? static_cast<ItemKind>(kind) : ItemKind::Other;
        item.mode = r.get<std::uint32_t>();
        item.uid = r.get<std::uint32_t>();
        item.gid = r.get<std::uint32_t>();
        item.size = r.get<std::uint64_t>();
        item.mtimeNs = r.get<std::int64_t>();
        item.ctimeNs = r.get<std::int64_t>();
        item.btimeNs = r.get<std::int64_t>();
        item.aclDigest = r.get<std::uint64_t>();
        item.lastUsn = r.get<std::int64_t>();
        const auto nameLength = r.get<std::uint32_t>();
        if (nameLength > 4096) r.ok = false;
        item.name = r.bytes(nameLength);
        if (!r.ok || items_.count(item.ref)) break;
        const std::uint64_t ref = item.ref;
        const bool isRoot = ref == root;
        const std::uint64_t parent = item.parent;
        const std::string name = item.name;
        const std::uint64_t ino = item.ino;
        Item& stored = items_.emplace(ref, std::move(item)).first->second;
        if (ino) byIno_[ino] = ref;
        if (!isRoot) {
            byName_[childKey(parent, name)] = ref;
            attach(stored);
        }
    }
    if (!r.ok || items_.size() != count || !items_.count(root)) {
        clear();
        return false;
    }
    rootRef = root;
    sequence_ = sequence;
    synthetic_ = synthetic;
    if (journalId) *journalId = savedJournalId;
    if (nextUsn) *nextUsn = savedNextUsn;
    return true;
}

}  // namespace platform::usnjournal
