// What the simulated hosts remember of their log files between queries.
//
// The agent asks each host again and again for the events newer than the
// newest it has, and most of the time there is none. A complete read of a
// file leaves a mark: the file's identity (device and inode), size, change
// times, the newest event time in it, and where its reader stood after the
// last whole event. A later query for events newer than a time
//  - skips a file that has not changed since and whose newest event is not
//    newer than that time;
//  - reads a file that has only grown (same identity, bigger, with the bytes
//    at its start and before the old end unchanged) from where the last read
//    ended, when nothing before that point is newer than that time;
//  - reads every other file from the start.
// So the answers are those of a full read, in the same order.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/posix/wmi_internal.h"

namespace platform::wmi::sim {

namespace {

// Bytes compared at the start of a grown file and before its old end.
constexpr std::size_t kCheckBytes = 64;
// Marks kept at most; past that they are dropped (the next reads are full).
constexpr std::size_t kMaxMarks = 4096;

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

struct FileMark {
    FileStamp stamp;
    bool evtx = false;
    bool hasNewest = false;
    std::int64_t newestSeconds = 0;
    bool resumable = false;
    ResumePoint resume;
    std::string head;  // XML: the first bytes of the file
    std::string tail;  // XML: the bytes before resume.offset
};

std::mutex g_marksLock;
std::unordered_map<std::string, FileMark>& marks() {
    static std::unordered_map<std::string, FileMark> m;
    return m;
}

bool stampOf(const std::string& path, FileStamp& out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    out.device = st.st_dev;
    out.inode = st.st_ino;
    out.size = st.st_size;
    out.modified = st.st_mtim;
    out.changed = st.st_ctim;
    return true;
}

// Bytes [from, from + length) of the file; fewer at its end.
std::string bytesAt(const std::string& path, std::uint64_t from, std::size_t length) {
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    out.resize(length);
    const ssize_t n = ::pread(fd, out.data(), length, static_cast<off_t>(from));
    ::close(fd);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

// Whether a condition on event times can match an event of the given time.
bool mayMatch(const TimeCondition& condition, bool hasNewest, std::int64_t newestSeconds) {
    if (!condition.active) return true;
    if (!hasNewest) return false;  // events without a time never match a time condition
    const std::int64_t micros = newestSeconds * 1000000;
    return condition.orEqual ? micros >= condition.afterMicros : micros > condition.afterMicros;
}

}  // namespace

LogRead openLogForQuery(const std::string& path, bool evtx, const TimeCondition& condition) {
    LogRead read;
    read.path = path;
    read.evtx = evtx;
    std::optional<FileMark> mark;
    read.stamped = stampOf(path, read.stamp);
    if (read.stamped) {
        std::lock_guard<std::mutex> lock(g_marksLock);
        auto it = marks().find(path);
        if (it != marks().end()) mark = it->second;
    }
    const FileStamp& now = read.stamp;
    const ResumePoint* from = nullptr;
    if (mark && mark->evtx == evtx && mark->stamp.device == now.device && mark->stamp.inode == now.inode) {
        const bool unchanged = mark->stamp.size == now.size && sameTime(mark->stamp.modified, now.modified) &&
                               sameTime(mark->stamp.changed, now.changed);
        if (unchanged && !mayMatch(condition, mark->hasNewest, mark->newestSeconds)) {
            read.skipped = true;
            return read;
        }
        // A file that only grew is read on from where the last read ended,
        // when nothing before that point can match.
        if (!unchanged && now.size >= mark->stamp.size && mark->resumable && condition.active &&
            !mayMatch(condition, mark->hasNewest, mark->newestSeconds)) {
            const bool sameBytes =
                evtx || (bytesAt(path, 0, mark->head.size()) == mark->head &&
                         bytesAt(path, mark->resume.offset - mark->tail.size(), mark->tail.size()) == mark->tail);
            if (sameBytes) from = &mark->resume;
        }
    }
    read.source = evtx ? openEvtxFile(path, from) : openXmlEventFile(path, from);
    if (read.source && read.source->resumed()) {
        read.hasNewest = mark->hasNewest;
        read.newestSeconds = mark->newestSeconds;
    }
    return read;
}

void noteLogEvent(LogRead& read, const EventEntry& event) {
    if (!event.hasTime) return;
    if (!read.hasNewest || event.timeSeconds > read.newestSeconds) read.newestSeconds = event.timeSeconds;
    read.hasNewest = true;
}

void finishLogRead(LogRead& read) {
    std::unique_ptr<EventSource> source = std::move(read.source);
    if (!source || !read.stamped) return;
    FileMark mark;
    mark.stamp = read.stamp;
    mark.evtx = read.evtx;
    mark.hasNewest = read.hasNewest;
    mark.newestSeconds = read.newestSeconds;
    mark.resumable = source->resumePoint(mark.resume);
    source.reset();
    if (mark.resumable && !read.evtx) {
        mark.head = bytesAt(read.path, 0, kCheckBytes);
        const std::uint64_t back = std::min<std::uint64_t>(kCheckBytes, mark.resume.offset);
        mark.tail = bytesAt(read.path, mark.resume.offset - back, static_cast<std::size_t>(back));
        if (mark.tail.size() != back) mark.resumable = false;
    }
    std::lock_guard<std::mutex> lock(g_marksLock);
    if (marks().size() >= kMaxMarks) marks().clear();
    marks()[read.path] = std::move(mark);
}

void forgetLogsExcept(const std::string& folder, const std::vector<std::string>& names) {
    const std::string prefix = folder + "/";
    std::lock_guard<std::mutex> lock(g_marksLock);
    for (auto it = marks().begin(); it != marks().end();) {
        const std::string& path = it->first;
        const bool inFolder = path.compare(0, prefix.size(), prefix) == 0;
        if (inFolder && std::find(names.begin(), names.end(), path.substr(prefix.size())) == names.end())
            it = marks().erase(it);
        else
            ++it;
    }
}

}  // namespace platform::wmi::sim
