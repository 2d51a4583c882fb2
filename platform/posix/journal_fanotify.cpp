// The fanotify watcher: one mark on the whole file system that holds the
// volume's directory, events reported with the directory's file handle and
// the entry's name, renames as one event with both names. Needs root
// (CAP_SYS_ADMIN); the queue is unlimited, so a burst cannot overflow it.
//
// Events name directories by file handle. A handle is resolved once to the
// catalogued directory it opens (open_by_handle_at and the inode number);
// handles of directories outside the volume's folder are remembered as such
// and their events dropped.
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "platform/posix/journal_watch.h"

namespace platform::usnjournal {

namespace {

constexpr std::uint64_t kMask = FAN_CREATE | FAN_DELETE | FAN_RENAME | FAN_MODIFY | FAN_ATTRIB | FAN_CLOSE_WRITE |
                                FAN_ONDIR;
constexpr std::size_t kLargestNegativeCache = 200000;

// One "directory handle + name" of an event.
struct NamedHandle {
    std::string key;  // fsid and handle bytes
    const file_handle* handle = nullptr;
    std::string name;
};

class FanotifyWatcher : public WatcherThread {
public:
    explicit FanotifyWatcher(Volume& volume) : WatcherThread(volume) {}
    ~FanotifyWatcher() override { stop(); }

    bool start() override {
        fd_ = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME | FAN_UNLIMITED_QUEUE,
                            O_RDONLY | O_LARGEFILE | O_CLOEXEC);
        if (fd_ < 0) return false;
        if (fanotify_mark(fd_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kMask, AT_FDCWD, volume_.directory.c_str()) != 0) {
            closeSource();
            return false;
        }
        mountFd_ = open(volume_.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (mountFd_ < 0) {
            closeSource();
            return false;
        }
        return startThread(fd_);
    }
    const char* name() const override { return "fanotify"; }

    int directoryAdded(std::uint64_t, const std::string&) override {
        outside_.clear();
        return 0;
    }
    void directoryRemoved(std::uint64_t ref) override {
        auto it = keyOfRef_.find(ref);
        if (it == keyOfRef_.end()) return;
        refOfKey_.erase(it->second);
        keyOfRef_.erase(it);
    }

protected:
    bool readEvents(std::vector<char>& buffer) override {
        bool any = false;
        alignas(fanotify_event_metadata) char chunk[64 * 1024];
        while (buffer.size() < kLargestEventBatch) {
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            buffer.insert(buffer.end(), chunk, chunk + n);
            any = true;
        }
        return any;
    }

    std::size_t applyEvents(const std::vector<char>& buffer, bool) override {
        std::size_t offset = 0;
        while (offset + sizeof(fanotify_event_metadata) <= buffer.size()) {
            fanotify_event_metadata meta;
            std::memcpy(&meta, buffer.data() + offset, sizeof meta);
            if (meta.vers != FANOTIFY_METADATA_VERSION || meta.event_len < sizeof meta ||
                offset + meta.event_len > buffer.size())
                return buffer.size();  // not an event stream we understand: drop the rest
            if (meta.fd >= 0) close(meta.fd);
            apply(meta, buffer.data() + offset);
            offset += meta.event_len;
        }
        return offset;
    }

    void closeSource() override {
        if (fd_ >= 0) close(fd_);
        if (mountFd_ >= 0) close(mountFd_);
        fd_ = mountFd_ = -1;
    }

private:
    void apply(const fanotify_event_metadata& meta, const char* event) {
        if (meta.mask & FAN_Q_OVERFLOW) {
            volume_.onOverflow();
            return;
        }
        NamedHandle object, from, to;
        bool haveObject = false, haveFrom = false, haveTo = false;
        for (std::size_t at = meta.metadata_len; at + sizeof(fanotify_event_info_header) <= meta.event_len;) {
            fanotify_event_info_header header;
            std::memcpy(&header, event + at, sizeof header);
            if (header.len < sizeof header || at + header.len > meta.event_len) break;
            NamedHandle named;
            if (parseFid(event + at, header.len, &named)) {
                switch (header.info_type) {
                    case FAN_EVENT_INFO_TYPE_DFID_NAME:
                    case FAN_EVENT_INFO_TYPE_DFID:
                        object = std::move(named);
                        haveObject = true;
                        break;
                    case FAN_EVENT_INFO_TYPE_OLD_DFID_NAME:
                        from = std::move(named);
                        haveFrom = true;
                        break;
                    case FAN_EVENT_INFO_TYPE_NEW_DFID_NAME:
                        to = std::move(named);
                        haveTo = true;
                        break;
                    default:
                        break;
                }
            }
            at += header.len;
        }
        const bool isDirectory = meta.mask & FAN_ONDIR;
        if ((meta.mask & FAN_RENAME) && haveFrom && haveTo) {
            const std::uint64_t oldDir = resolve(from);
            const std::uint64_t newDir = resolve(to);
            if (oldDir || newDir) volume_.onMove(oldDir, from.name, newDir, to.name, isDirectory);
        }
        if (!haveObject) return;
        const std::uint64_t dir = resolve(object);
        if (!dir) return;
        const bool self = object.name.empty() || object.name == ".";
        if (meta.mask & FAN_CREATE) volume_.onCreate(dir, object.name, isDirectory);
        if (self) {
            if (meta.mask & FAN_ATTRIB) volume_.onSelfChange(dir, true);
            return;
        }
        if (meta.mask & FAN_MODIFY) volume_.onModify(dir, object.name);
        if (meta.mask & FAN_ATTRIB) volume_.onAttrib(dir, object.name);
        if (meta.mask & FAN_CLOSE_WRITE) volume_.onCloseWrite(dir, object.name);
        if (meta.mask & FAN_DELETE) volume_.onDelete(dir, object.name);
    }

    static bool parseFid(const char* info, std::size_t length, NamedHandle* out) {
        const std::size_t fixed = sizeof(fanotify_event_info_header) + sizeof(__kernel_fsid_t);
        if (length < fixed + sizeof(file_handle)) return false;
        file_handle fh;
        std::memcpy(&fh, info + fixed, sizeof fh);
        const std::size_t handleEnd = fixed + sizeof(file_handle) + fh.handle_bytes;
        if (fh.handle_bytes > MAX_HANDLE_SZ || handleEnd > length) return false;
        out->key.assign(info + sizeof(fanotify_event_info_header), handleEnd - sizeof(fanotify_event_info_header));
        out->handle = reinterpret_cast<const file_handle*>(info + fixed);
        out->name.assign(info + handleEnd, strnlen(info + handleEnd, length - handleEnd));
        return true;
    }

    // The catalogued directory a handle names, 0 when it is not one.
    std::uint64_t resolve(const NamedHandle& named) {
        auto known = refOfKey_.find(named.key);
        if (known != refOfKey_.end()) {
            if (volume_.catalog.find(known->second)) return known->second;
            keyOfRef_.erase(known->second);
            refOfKey_.erase(known);
        }
        if (outside_.count(named.key)) return 0;
        // The handle sits unaligned in the event buffer: copy it out.
        std::vector<char> storage(sizeof(file_handle) + MAX_HANDLE_SZ);
        auto* handle = reinterpret_cast<file_handle*>(storage.data());
        std::memcpy(handle, named.key.data() + sizeof(__kernel_fsid_t),
                    std::min(storage.size(), named.key.size() - sizeof(__kernel_fsid_t)));
        std::uint64_t ino = 0;
        const int fd = open_by_handle_at(mountFd_, handle, O_PATH | O_CLOEXEC);
        if (fd >= 0) {
            struct stat st {};
            if (fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == volume_.device) ino = st.st_ino;
            close(fd);
        } else if (errno == ESTALE && handle->handle_type == 1 && handle->handle_bytes == 8) {
            // A directory already removed: the common 32-bit inode and
            // generation handle still names its inode.
            std::uint32_t inode;
            std::memcpy(&inode, handle->f_handle, 4);
            ino = inode;
        }
        std::uint64_t ref = 0;
        if (ino == volume_.rootIno) {
            ref = volume_.catalog.rootRef;
        } else if (ino) {
            const Item* item = volume_.catalog.findIno(ino);
            if (item && item->kind == ItemKind::Directory) ref = item->ref;
        }
        if (!ref) {
            if (outside_.size() >= kLargestNegativeCache) outside_.clear();
            outside_.insert(named.key);
            return 0;
        }
        refOfKey_[named.key] = ref;
        keyOfRef_[ref] = named.key;
        return ref;
    }

    int fd_ = -1;
    int mountFd_ = -1;
    std::unordered_map<std::string, std::uint64_t> refOfKey_;
    std::unordered_map<std::uint64_t, std::string> keyOfRef_;
    std::unordered_set<std::string> outside_;
};

}  // namespace

std::unique_ptr<Watcher> makeFanotifyWatcher(Volume& volume) { return std::make_unique<FanotifyWatcher>(volume); }

}  // namespace platform::usnjournal
