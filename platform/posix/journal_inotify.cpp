// The recursive inotify watcher: one watch per directory of the volume,
// added as the walk or a new directory reaches it.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/posix/journal_test_hooks.h"
#include "platform/posix/journal_watch.h"

namespace platform::usnjournal {

namespace {

std::mutex gRefusedMutex;
std::map<std::string, int> gRefused;  // by lexically normal path

std::string normalFolder(const std::string& path) {
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

// The errno a test asks for when watching `path`, 0 for none.
int refusedWatch(const std::string& path) {
    std::lock_guard<std::mutex> lock(gRefusedMutex);
    if (gRefused.empty()) return 0;
    auto it = gRefused.find(normalFolder(path));
    return it == gRefused.end() ? 0 : it->second;
}

constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                IN_CLOSE_WRITE | IN_EXCL_UNLINK | IN_ONLYDIR | IN_DONT_FOLLOW;

class InotifyWatcher : public WatcherThread {
public:
    explicit InotifyWatcher(Volume& volume) : WatcherThread(volume) {}
    ~InotifyWatcher() override { stop(); }

    bool start() override {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) return false;
        return startThread(fd_);
    }
    const char* name() const override { return "inotify"; }

    int directoryAdded(std::uint64_t ref, const std::string& path) override {
        const int refused = refusedWatch(path);
        const int wd = refused ? -1 : inotify_add_watch(fd_, path.c_str(), kMask);
        if (wd < 0) {
            // A folder watched already stays watched (the kernel keeps a
            // watch per inode), whatever a new attempt answers.
            if (!refused && wdOfRef_.count(ref)) return 0;
            return refused ? refused : errno;
        }
        auto old = refOfWd_.find(wd);
        if (old != refOfWd_.end() && old->second != ref) wdOfRef_.erase(old->second);
        refOfWd_[wd] = ref;
        wdOfRef_[ref] = wd;
        return 0;
    }
    void directoryRemoved(std::uint64_t ref) override {
        auto it = wdOfRef_.find(ref);
        if (it == wdOfRef_.end()) return;
        inotify_rm_watch(fd_, it->second);
        refOfWd_.erase(it->second);
        wdOfRef_.erase(it);
    }

protected:
    // Reads what is queued; false when nothing was.
    bool readEvents(std::vector<char>& buffer) override {
        bool any = false;
        char chunk[64 * 1024] __attribute__((aligned(__alignof__(struct inotify_event))));
        while (buffer.size() < kLargestEventBatch) {
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            buffer.insert(buffer.end(), chunk, chunk + n);
            any = true;
        }
        return any;
    }

    // Applies a buffer of events (volume mutex held). A move whose second
    // half has not been read yet is kept for the next call.
    std::size_t applyEvents(const std::vector<char>& buffer, bool more) override {
        std::size_t offset = 0;
        while (offset + sizeof(inotify_event) <= buffer.size()) {
            inotify_event ev;
            std::memcpy(&ev, buffer.data() + offset, sizeof ev);
            const std::size_t size = sizeof(inotify_event) + ev.len;
            if (offset + size > buffer.size()) break;
            const char* rawName = buffer.data() + offset + sizeof(inotify_event);
            const std::string name = ev.len ? std::string(rawName, strnlen(rawName, ev.len)) : std::string();
            if (ev.mask & IN_MOVED_FROM) {
                // Pair it with the MOVED_TO that follows, if it is already here.
                const std::size_t nextOffset = offset + size;
                if (nextOffset + sizeof(inotify_event) > buffer.size() && more) return offset;
                inotify_event to{};
                std::string toName;
                bool paired = false;
                if (nextOffset + sizeof(inotify_event) <= buffer.size()) {
                    std::memcpy(&to, buffer.data() + nextOffset, sizeof to);
                    const std::size_t toSize = sizeof(inotify_event) + to.len;
                    if (nextOffset + toSize <= buffer.size() && (to.mask & IN_MOVED_TO) && to.cookie == ev.cookie) {
                        const char* n = buffer.data() + nextOffset + sizeof(inotify_event);
                        toName = std::string(n, strnlen(n, to.len));
                        paired = true;
                        volume_.onMove(refOf(ev.wd), name, refOf(to.wd), toName, ev.mask & IN_ISDIR);
                        offset = nextOffset + toSize;
                        continue;
                    }
                }
                volume_.onMove(refOf(ev.wd), name, 0, std::string(), ev.mask & IN_ISDIR);
                offset += size;
                (void)paired;
                continue;
            }
            offset += size;
            if (ev.mask & IN_Q_OVERFLOW) {
                volume_.onOverflow();
                continue;
            }
            if (ev.mask & IN_IGNORED) {
                auto it = refOfWd_.find(ev.wd);
                if (it != refOfWd_.end()) {
                    wdOfRef_.erase(it->second);
                    refOfWd_.erase(it);
                }
                continue;
            }
            const std::uint64_t dir = refOf(ev.wd);
            if (!dir) continue;
            if (name.empty()) {
                if (ev.mask & IN_ATTRIB) volume_.onSelfChange(dir, true);
                continue;
            }
            if (ev.mask & IN_CREATE)
                volume_.onCreate(dir, name, ev.mask & IN_ISDIR);
            else if (ev.mask & IN_DELETE)
                volume_.onDelete(dir, name);
            else if (ev.mask & IN_MOVED_TO)
                volume_.onMove(0, std::string(), dir, name, ev.mask & IN_ISDIR);
            else if (ev.mask & IN_MODIFY)
                volume_.onModify(dir, name);
            else if (ev.mask & IN_ATTRIB)
                volume_.onAttrib(dir, name);
            else if (ev.mask & IN_CLOSE_WRITE)
                volume_.onCloseWrite(dir, name);
        }
        return offset;
    }

    void closeSource() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        refOfWd_.clear();
        wdOfRef_.clear();
    }

private:
    std::uint64_t refOf(int wd) const {
        auto it = refOfWd_.find(wd);
        return it == refOfWd_.end() ? 0 : it->second;
    }

    int fd_ = -1;
    std::unordered_map<int, std::uint64_t> refOfWd_;
    std::unordered_map<std::uint64_t, int> wdOfRef_;
};

}  // namespace

std::unique_ptr<Watcher> makeInotifyWatcher(Volume& volume) { return std::make_unique<InotifyWatcher>(volume); }

void refuseWatches(const std::map<std::string, int>& folders) {
    std::lock_guard<std::mutex> lock(gRefusedMutex);
    gRefused.clear();
    for (const auto& [path, error] : folders) gRefused[normalFolder(path)] = error;
}

}  // namespace platform::usnjournal
