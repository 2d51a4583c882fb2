// What the simulated hosts remember of their log files between queries.
//
// The agent asks each host again and again for the events newer than a time
// one second before the newest it has, and most of the time nothing is new.
// A complete read of a file leaves a mark: the file's identity (device and
// inode), size, change times, where its reader stood after the last whole
// event, and an index of its event times (see EventIndex). A later query for
// events newer than a time
//  - reads an unchanged file from the first indexed event newer than that
//    time, and skips it when there is none;
//  - reads a file that has only grown (same identity, bigger, with the bytes
//    at its start and before the old end unchanged) the same way, from where
//    the last read ended when nothing before that point is newer;
//  - reads every other file, and every file for a query without a time,
//    from the start.
// Events before the start point are either older than the time or without a
// time, so the answers are those of a full read, in the same order.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
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
    std::shared_ptr<const EventIndex> index;
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

// Whether a condition on event times matches an event of the given time.
bool matches(const TimeCondition& condition, std::int64_t seconds) {
    const std::int64_t micros = seconds * 1000000;
    return condition.orEqual ? micros >= condition.afterMicros : micros > condition.afterMicros;
}

// Where a read for the condition starts in a file the index describes.
enum class Start { FromTheStart, AtEntry, AfterTheEnd };

Start startFor(const EventIndex& index, const TimeCondition& condition, std::size_t& entry) {
    if (index.hasFloor && matches(condition, index.floorSeconds)) return Start::FromTheStart;
    const auto& entries = index.entries;
    const auto it = std::partition_point(entries.begin(), entries.end(),
                                         [&](const IndexEntry& e) { return !matches(condition, e.seconds); });
    entry = static_cast<std::size_t>(it - entries.begin());
    return it == entries.end() ? Start::AfterTheEnd : Start::AtEntry;
}

ResumePoint pointOf(const EventIndex& index, std::size_t entry) {
    ResumePoint p;
    const IndexEntry& e = index.entries[entry];
    p.events = e.events;
    p.offset = e.position;
    p.lastRecordId = e.position;
    p.encoding = index.encoding;
    return p;
}

// The index entries before a point count as found by this read.
void adoptIndex(LogRead& read, std::shared_ptr<const EventIndex> index, std::size_t kept) {
    read.hasFloor = index->hasFloor;
    read.floorSeconds = index->floorSeconds;
    read.encoding = index->encoding;
    read.kept = kept;
    read.hasNewest = kept > 0 || index->hasFloor;
    read.newestSeconds = kept > 0 ? index->entries[kept - 1].seconds : index->floorSeconds;
    read.base = std::move(index);
}

// Everything indexed so far is summed up by a floor.
void indexToFloor(LogRead& read, std::int64_t seconds) {
    read.hasFloor = true;
    read.floorSeconds = seconds;
    read.base.reset();
    read.kept = 0;
    read.added.clear();
}

// The index a read built; the earlier one when it is the same.
std::shared_ptr<const EventIndex> builtIndex(LogRead& read) {
    const EventIndex* base = read.base.get();
    if (base && base->hasFloor == read.hasFloor && base->floorSeconds == read.floorSeconds &&
        base->encoding == read.encoding && base->entries.size() == read.kept + read.added.size() &&
        std::equal(read.added.begin(), read.added.end(), base->entries.begin() + read.kept,
                   [](const IndexEntry& a, const IndexEntry& b) {
                       return a.seconds == b.seconds && a.position == b.position && a.events == b.events;
                   }))
        return std::move(read.base);
    auto index = std::make_shared<EventIndex>();
    index->hasFloor = read.hasFloor;
    index->floorSeconds = read.floorSeconds;
    index->encoding = std::move(read.encoding);
    if (!base || read.kept == 0) {
        index->entries = std::move(read.added);
        return index;
    }
    index->entries.reserve(read.kept + read.added.size());
    index->entries.assign(base->entries.begin(), base->entries.begin() + read.kept);
    index->entries.insert(index->entries.end(), read.added.begin(), read.added.end());
    return index;
}

}  // namespace

LogRead openLogForQuery(const std::string& path, bool evtx, const TimeCondition& condition) {
    LogRead read;
    read.path = path;
    read.evtx = evtx;
    read.stamped = stampOf(path, read.stamp);
    const FileStamp& now = read.stamp;
    // What is needed of the mark is copied out under the lock; the index is
    // shared, never copied.
    bool known = false, unchanged = false, grown = false;
    FileMark mark;
    if (read.stamped) {
        std::lock_guard<std::mutex> lock(g_marksLock);
        auto it = marks().find(path);
        if (it != marks().end() && it->second.evtx == evtx && it->second.stamp.device == now.device &&
            it->second.stamp.inode == now.inode && it->second.index) {
            const FileMark& m = it->second;
            known = true;
            unchanged = m.stamp.size == now.size && sameTime(m.stamp.modified, now.modified) &&
                        sameTime(m.stamp.changed, now.changed);
            grown = !unchanged && now.size >= m.stamp.size && m.resumable;
            if (unchanged || grown) {
                mark.index = m.index;
                mark.resume = m.resume;
                if (grown && !evtx) {
                    mark.head = m.head;
                    mark.tail = m.tail;
                }
            }
        }
    }
    std::size_t entry = 0;
    Start start = Start::FromTheStart;
    if (known && (unchanged || grown) && condition.active) start = startFor(*mark.index, condition, entry);
    // A file that only grew must still hold the bytes it was read with.
    if (grown && start != Start::FromTheStart && !evtx &&
        (bytesAt(path, 0, mark.head.size()) != mark.head ||
         bytesAt(path, mark.resume.offset - mark.tail.size(), mark.tail.size()) != mark.tail))
        start = Start::FromTheStart;
    if (unchanged && start == Start::AfterTheEnd) {
        read.skipped = true;
        return read;
    }
    ResumePoint from;
    if (start == Start::AtEntry) from = pointOf(*mark.index, entry);
    if (start == Start::AfterTheEnd) from = mark.resume;
    const ResumePoint* fromPtr = start == Start::FromTheStart ? nullptr : &from;
    read.source = evtx ? openEvtxFile(path, fromPtr) : openXmlEventFile(path, fromPtr);
    if (read.source && read.source->resumed()) {
        const std::size_t kept = start == Start::AtEntry ? entry : mark.index->entries.size();
        adoptIndex(read, std::move(mark.index), kept);
    }
    return read;
}

void noteLogEvent(LogRead& read, const EventEntry& event) {
    if (!event.hasTime || (read.hasNewest && event.timeSeconds <= read.newestSeconds)) return;
    ResumePoint p;
    if (!read.source || !read.source->lastEventPoint(p)) {
        indexToFloor(read, event.timeSeconds);
    } else {
        const bool indexed = read.kept > 0 || !read.added.empty();
        // Entries must share one encoding: those read in another become the floor.
        if (indexed && p.encoding != read.encoding) indexToFloor(read, read.newestSeconds);
        if (read.kept == 0 && read.added.empty()) read.encoding = p.encoding;
        read.added.push_back({event.timeSeconds, read.evtx ? p.lastRecordId : p.offset, p.events});
    }
    read.newestSeconds = event.timeSeconds;
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
    mark.index = builtIndex(read);
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
