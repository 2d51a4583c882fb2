// The journal file: a header and a ring of USN_RECORD_V2 records.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "platform/posix/journal_internal.h"

namespace platform::usnjournal {

namespace {

constexpr char kMagic[8] = {'A', 'M', 'B', 'U', 'S', 'N', 'J', '1'};
constexpr std::size_t kHeaderSize = 4096;
constexpr std::size_t kHeaderFields = 8 + 7 * 8 + 8;  // magic, fields, checksum
constexpr std::uint64_t kDefaultMaximumSize = 32ull << 20;
constexpr std::uint64_t kDefaultAllocationDelta = 4ull << 20;
// A ring larger than this is refused: the journal is read back whole at open.
constexpr std::uint64_t kLargestRing = 1ull << 32;

std::uint64_t fnv1a(const std::uint8_t* p, std::size_t n) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

void put64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); }
std::uint64_t get64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

void encodeHeader(const JournalFile::Header& h, std::uint8_t* out) {
    std::memset(out, 0, kHeaderFields);
    std::memcpy(out, kMagic, 8);
    put64(out + 8, h.journalId);
    put64(out + 16, static_cast<std::uint64_t>(h.firstUsn));
    put64(out + 24, static_cast<std::uint64_t>(h.nextUsn));
    put64(out + 32, static_cast<std::uint64_t>(h.lowestValidUsn));
    put64(out + 40, h.maximumSize);
    put64(out + 48, h.allocationDelta);
    put64(out + 56, h.ringSize);
    put64(out + 64, fnv1a(out, 64));
}

bool decodeHeader(const std::uint8_t* in, JournalFile::Header* h) {
    if (std::memcmp(in, kMagic, 8) != 0 || get64(in + 64) != fnv1a(in, 64)) return false;
    h->journalId = get64(in + 8);
    h->firstUsn = static_cast<std::int64_t>(get64(in + 16));
    h->nextUsn = static_cast<std::int64_t>(get64(in + 24));
    h->lowestValidUsn = static_cast<std::int64_t>(get64(in + 32));
    h->maximumSize = get64(in + 40);
    h->allocationDelta = get64(in + 48);
    h->ringSize = get64(in + 56);
    return h->ringSize >= 4096 && h->ringSize <= kLargestRing && h->ringSize % 8 == 0 &&
           h->firstUsn >= 0 && h->nextUsn >= h->firstUsn &&
           static_cast<std::uint64_t>(h->nextUsn - h->firstUsn) <= h->ringSize && h->firstUsn % 8 == 0 &&
           h->nextUsn % 8 == 0;
}

std::uint64_t randomJournalId() {
    std::uint64_t id = 0;
    while (id == 0) {
        if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) {
            std::random_device rd;
            id = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
        }
    }
    return id;
}

bool preadAll(int fd, std::uint8_t* data, std::size_t size, off_t at) {
    while (size > 0) {
        const ssize_t n = pread(fd, data, size, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

bool pwriteAll(int fd, const std::uint8_t* data, std::size_t size, off_t at) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

// Reads the header and walks the records between FirstUsn and NextUsn; a
// record that is not sound (torn by a crash) ends the journal there.
bool loadJournal(int fd, JournalFile::Header* header, std::vector<std::uint8_t>* records,
                 std::deque<std::pair<std::int64_t, std::uint32_t>>* index, std::string* error) {
    std::uint8_t raw[kHeaderFields];
    if (!preadAll(fd, raw, sizeof raw, 0)) {
        if (error) *error = "short header";
        return false;
    }
    if (!decodeHeader(raw, header)) {
        if (error) *error = "not a journal file (bad magic, checksum or sizes)";
        return false;
    }
    const std::size_t length = static_cast<std::size_t>(header->nextUsn - header->firstUsn);
    std::vector<std::uint8_t> bytes(length);
    const std::uint64_t ring = header->ringSize;
    const std::uint64_t start = static_cast<std::uint64_t>(header->firstUsn) % ring;
    const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(length, ring - start));
    // A ring that was never filled is shorter on disk: what cannot be read is torn.
    if (!preadAll(fd, bytes.data(), first, static_cast<off_t>(kHeaderSize + start)) ||
        (length > first && !preadAll(fd, bytes.data() + first, length - first, kHeaderSize)))
        bytes.clear();
    std::size_t offset = 0;
    std::int64_t usn = header->firstUsn;
    std::span<const std::uint8_t> view(bytes);
    UsnRecord record;
    while (offset < bytes.size() && decodeUsnRecord(view, offset, &record) && record.Usn == usn) {
        if (index) index->emplace_back(usn, record.RecordLength);
        offset += record.RecordLength;
        usn += record.RecordLength;
    }
    header->nextUsn = usn;
    bytes.resize(offset);
    if (records) *records = std::move(bytes);
    return true;
}

}  // namespace

JournalFile::~JournalFile() { close(); }

void JournalFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    index_.clear();
    header_ = Header{};
}

void JournalFile::load() {
    close();
    const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    if (!loadJournal(fd, &header_, nullptr, &index_, nullptr)) {
        ::close(fd);
        header_ = Header{};
        index_.clear();
        return;
    }
    fd_ = fd;
}

bool JournalFile::readFile(const std::string& path, Header* header, std::vector<std::uint8_t>* records,
                           std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    const bool ok = loadJournal(fd, header, records, nullptr, error);
    ::close(fd);
    return ok;
}

long JournalFile::query(UsnJournalData* data) const {
    if (fd_ < 0) return kErrorJournalNotActive;
    data->UsnJournalID = header_.journalId;
    data->FirstUsn = header_.firstUsn;
    data->NextUsn = header_.nextUsn;
    data->LowestValidUsn = header_.lowestValidUsn;
    data->MaxUsn = 0x7FFFFFFFFFFF0000LL;
    data->MaximumSize = header_.maximumSize;
    data->AllocationDelta = header_.allocationDelta;
    return kErrorSuccess;
}

bool JournalFile::writeHeader() {
    std::uint8_t raw[kHeaderFields];
    encodeHeader(header_, raw);
    return pwriteAll(fd_, raw, sizeof raw, 0);
}

long JournalFile::create(std::uint64_t maximumSize, std::uint64_t allocationDelta) {
    if (maximumSize == 0) maximumSize = kDefaultMaximumSize;
    if (allocationDelta == 0) allocationDelta = kDefaultAllocationDelta;
    maximumSize = (maximumSize + 7) & ~std::uint64_t{7};
    allocationDelta = (allocationDelta + 7) & ~std::uint64_t{7};
    if (maximumSize < 4096) maximumSize = 4096;
    if (allocationDelta > maximumSize) allocationDelta = maximumSize;
    if (maximumSize + allocationDelta > kLargestRing) return kErrorInvalidParameter;
    if (fd_ >= 0) {
        // An active journal keeps its records and id; only the sizes change,
        // and a smaller ring is filled afresh from the newest records.
        if (maximumSize == header_.maximumSize && allocationDelta == header_.allocationDelta) return kErrorSuccess;
        std::vector<std::uint8_t> keep(static_cast<std::size_t>(header_.nextUsn - header_.firstUsn));
        if (!keep.empty() && !readRing(header_.firstUsn, keep.data(), keep.size())) return kErrorAccessDenied;
        auto kept = index_;
        std::size_t skip = 0;
        while (!kept.empty() && static_cast<std::uint64_t>(header_.nextUsn - kept.front().first) > maximumSize) {
            skip += kept.front().second;
            kept.pop_front();
        }
        header_.maximumSize = maximumSize;
        header_.allocationDelta = allocationDelta;
        header_.ringSize = maximumSize + allocationDelta;
        header_.firstUsn = kept.empty() ? header_.nextUsn : kept.front().first;
        if (header_.firstUsn > header_.lowestValidUsn) header_.lowestValidUsn = header_.firstUsn;
        index_ = std::move(kept);
        if (ftruncate(fd_, static_cast<off_t>(kHeaderSize)) != 0 ||
            !writeRing(header_.firstUsn, keep.data() + skip, keep.size() - skip) || !writeHeader())
            return kErrorAccessDenied;
        return kErrorSuccess;
    }
    const std::string temp = path_ + ".new";
    const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return kErrorAccessDenied;
    Header h;
    h.journalId = randomJournalId();
    h.maximumSize = maximumSize;
    h.allocationDelta = allocationDelta;
    h.ringSize = maximumSize + allocationDelta;
    std::uint8_t raw[kHeaderFields];
    encodeHeader(h, raw);
    if (!pwriteAll(fd, raw, sizeof raw, 0) || fsync(fd) != 0 || rename(temp.c_str(), path_.c_str()) != 0) {
        ::close(fd);
        unlink(temp.c_str());
        return kErrorAccessDenied;
    }
    fd_ = fd;
    header_ = h;
    index_.clear();
    return kErrorSuccess;
}

long JournalFile::remove(std::uint64_t journalId) {
    if (fd_ < 0) return kErrorJournalNotActive;
    if (journalId != header_.journalId) return kErrorInvalidParameter;
    if (unlink(path_.c_str()) != 0 && errno != ENOENT) return kErrorAccessDenied;
    close();
    return kErrorSuccess;
}

bool JournalFile::writeRing(std::int64_t usn, const std::uint8_t* data, std::size_t size) {
    const std::uint64_t ring = header_.ringSize;
    const std::uint64_t start = static_cast<std::uint64_t>(usn) % ring;
    const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(size, ring - start));
    return pwriteAll(fd_, data, first, static_cast<off_t>(kHeaderSize + start)) &&
           (size == first || pwriteAll(fd_, data + first, size - first, kHeaderSize));
}

bool JournalFile::readRing(std::int64_t usn, std::uint8_t* data, std::size_t size) const {
    const std::uint64_t ring = header_.ringSize;
    const std::uint64_t start = static_cast<std::uint64_t>(usn) % ring;
    const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(size, ring - start));
    return preadAll(fd_, data, first, static_cast<off_t>(kHeaderSize + start)) &&
           (size == first || preadAll(fd_, data + first, size - first, kHeaderSize));
}

void JournalFile::append(std::vector<UsnRecord>& records) {
    if (fd_ < 0 || records.empty()) return;
    std::vector<std::uint8_t> bytes;
    std::int64_t usn = header_.nextUsn;
    std::vector<std::pair<std::int64_t, std::uint32_t>> added;
    added.reserve(records.size());
    for (UsnRecord& r : records) {
        r.Usn = usn;
        appendUsnRecord(&bytes, r);
        r.RecordLength = usnRecordLength(std::min<std::size_t>(r.FileName.size(), 0x7FF0));
        added.emplace_back(usn, r.RecordLength);
        usn += r.RecordLength;
    }
    // A batch larger than the journal keeps only its newest records, as if
    // written one by one.
    std::size_t skip = 0;
    std::size_t firstKept = 0;
    while (bytes.size() - skip > header_.maximumSize && firstKept < added.size()) {
        skip += added[firstKept].second;
        ++firstKept;
    }
    const std::int64_t newNext = usn;
    const std::int64_t writeFrom = header_.nextUsn + static_cast<std::int64_t>(skip);
    // Make room: drop the oldest records until the ring holds the new ones,
    // and then down to MaximumSize, so that trimming happens once per
    // AllocationDelta rather than at every record.
    if (skip > 0 || static_cast<std::uint64_t>(newNext - header_.firstUsn) > header_.ringSize) {
        while (!index_.empty() && static_cast<std::uint64_t>(newNext - index_.front().first) > header_.maximumSize)
            index_.pop_front();
        header_.firstUsn = index_.empty() ? writeFrom : index_.front().first;
        if (header_.firstUsn > header_.lowestValidUsn) header_.lowestValidUsn = header_.firstUsn;
        if (!writeHeader()) return;
    }
    if (!writeRing(writeFrom, bytes.data() + skip, bytes.size() - skip)) return;
    for (std::size_t i = firstKept; i < added.size(); ++i) index_.push_back(added[i]);
    header_.nextUsn = newNext;
    if (index_.empty() || header_.firstUsn > index_.front().first) header_.firstUsn = writeFrom;
    writeHeader();
}

long JournalFile::read(const ReadUsnJournalData& in, std::uint8_t* out, std::uint32_t outSize,
                       std::uint32_t* bytesReturned) const {
    *bytesReturned = 0;
    if (fd_ < 0) return kErrorJournalNotActive;
    if (in.UsnJournalID != header_.journalId) return kErrorInvalidParameter;
    if (outSize < kUsnOutputHeaderSize) return kErrorInvalidParameter;
    std::int64_t start = in.StartUsn == 0 ? header_.firstUsn : in.StartUsn;
    if (start < header_.firstUsn) return kErrorJournalEntryDeleted;
    auto it = std::lower_bound(index_.begin(), index_.end(), start,
                               [](const std::pair<std::int64_t, std::uint32_t>& e, std::int64_t u) { return e.first < u; });
    std::uint32_t used = kUsnOutputHeaderSize;
    std::int64_t next = header_.nextUsn;
    std::vector<std::uint8_t> chunk;
    // Records are read in runs that fit the room left; a filter that drops
    // some leaves room for the next run.
    while (it != index_.end()) {
        auto end = it;
        std::size_t runBytes = 0;
        while (end != index_.end() && used + runBytes + end->second <= outSize) runBytes += (end++)->second;
        if (end == it) {
            if (used == kUsnOutputHeaderSize) return kErrorInsufficientBuffer;
            next = it->first;
            break;
        }
        chunk.resize(runBytes);
        if (!readRing(it->first, chunk.data(), runBytes)) return kErrorAccessDenied;
        std::size_t at = 0;
        for (; it != end; ++it) {
            const std::uint8_t* rec = chunk.data() + at;
            at += it->second;
            std::uint32_t reason;
            std::memcpy(&reason, rec + 40, 4);
            if ((reason & in.ReasonMask) == 0 || (in.ReturnOnlyOnClose && !(reason & kUsnReasonClose))) continue;
            std::memcpy(out + used, rec, it->second);
            used += it->second;
        }
    }
    std::memcpy(out, &next, 8);
    *bytesReturned = used;
    return kErrorSuccess;
}

}  // namespace platform::usnjournal
