// EVTX logs of the simulated hosts, read with libevtx.
//
// The record getters give the record number, event id and qualifiers and the
// level; the record's own XML gives the rest (channel, provider and
// EventSourceName, computer, TimeCreated, keywords, task, the EventData values,
// binary data, UserData). The EventData values are taken from the value
// getters: the XML rendering writes a value that is itself markup (an XML
// document) unescaped, and read back as XML such a value would be lost. When
// a record has no readable XML, the getters' provider, computer, written time
// and strings stand in. A record that cannot be read is reported and skipped; the file
// goes on with the next one, as libevtx itself skips damaged chunks.
#include <libevtx.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/wmi_internal.h"

namespace platform::wmi::sim {

namespace {

std::string errorText(libevtx_error_t*& error) {
    if (!error) return "unknown error";
    char buffer[512] = {};
    libevtx_error_sprint(error, buffer, sizeof buffer);
    libevtx_error_free(&error);
    std::string text(buffer);
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// The record XML buffer: big enough for nearly every record; a bigger record
// is measured first, up to a limit no real record reaches (a record is at most
// a chunk, 64 KiB, of which the XML is a few times bigger).
constexpr std::size_t kXmlBufferSize = 64 * 1024;
constexpr std::size_t kMaxXmlSize = 16 * 1024 * 1024;

// 100-ns intervals since 1601 to seconds since 1970.
constexpr std::int64_t kFiletimeEpochSeconds = 11644473600LL;

using Utf8SizeGetter = int (*)(libevtx_record_t*, size_t*, libevtx_error_t**);
using Utf8Getter = int (*)(libevtx_record_t*, uint8_t*, size_t, libevtx_error_t**);

// One of the record's UTF-8 getters into `out`; false (and `out` untouched)
// when the record has no such value.
bool recordText(libevtx_record_t* record, Utf8SizeGetter sizeOf, Utf8Getter get,
                std::string& scratch, std::string& out) {
    libevtx_error_t* error = nullptr;
    size_t size = 0;
    if (sizeOf(record, &size, &error) != 1 || size == 0) {
        if (error) libevtx_error_free(&error);
        return false;
    }
    scratch.resize(size);
    if (get(record, reinterpret_cast<uint8_t*>(scratch.data()), size, &error) != 1) {
        if (error) libevtx_error_free(&error);
        return false;
    }
    out.assign(scratch.data(), size - 1);  // the size counts the terminating zero
    return true;
}

class EvtxFile : public EventSource {
public:
    EvtxFile(std::string path, libevtx_file_t* file, int count)
        : path_(std::move(path)), file_(file), count_(count) {}
    ~EvtxFile() override {
        libevtx_error_t* error = nullptr;
        libevtx_file_close(file_, &error);
        if (error) libevtx_error_free(&error);
        libevtx_file_free(&file_, &error);
        if (error) libevtx_error_free(&error);
    }

    bool next(EventEntry& out) override {
        beforeIndex_ = index_;
        beforeId_ = lastId_;
        beforeKnown_ = index_ == 0 || lastIdKnown_;
        while (index_ < count_) {
            const int i = index_++;
            libevtx_record_t* record = nullptr;
            libevtx_error_t* error = nullptr;
            lastIdKnown_ = false;
            if (libevtx_file_get_record_by_index(file_, i, &record, &error) != 1 || !record) {
                report("\n WMI host log %s: record %d skipped: %s", path_.c_str(), i,
                       errorText(error).c_str());
                continue;
            }
            lastIdKnown_ = recordIdentifier(record, lastId_);
            const bool ok = readRecord(record, out);
            libevtx_record_free(&record, &error);
            if (error) libevtx_error_free(&error);
            if (ok) return true;
        }
        return false;
    }

    bool resumePoint(ResumePoint& out) const override {
        if (index_ > 0 && !lastIdKnown_) return false;
        out.events = index_;
        out.lastRecordId = lastId_;
        return true;
    }
    bool lastEventPoint(ResumePoint& out) const override {
        if (!beforeKnown_) return false;
        out.events = beforeIndex_;
        out.lastRecordId = beforeId_;
        return true;
    }
    bool resumed() const override { return resumed_; }

    // Starts after the resume point when its last record is still where it
    // was (a log that wrapped around has other records there).
    void resumeAt(const ResumePoint& from) {
        if (from.events <= 0 || from.events > count_) return;
        libevtx_record_t* record = nullptr;
        libevtx_error_t* error = nullptr;
        std::uint64_t id = 0;
        if (libevtx_file_get_record_by_index(file_, from.events - 1, &record, &error) == 1 && record &&
            recordIdentifier(record, id) && id == from.lastRecordId) {
            index_ = from.events;
            lastId_ = id;
            lastIdKnown_ = true;
            resumed_ = true;
        }
        if (record) libevtx_record_free(&record, &error);
        if (error) libevtx_error_free(&error);
    }

private:
    static bool recordIdentifier(libevtx_record_t* record, std::uint64_t& id) {
        libevtx_error_t* error = nullptr;
        const bool ok = libevtx_record_get_identifier(record, &id, &error) == 1;
        if (error) libevtx_error_free(&error);
        return ok;
    }

    bool readRecord(libevtx_record_t* record, EventEntry& e) {
        libevtx_error_t* error = nullptr;
        // The XML first; the getters below then give the numbers from the
        // record itself.
        // libevtx renders the XML for the size and again for the text, so
        // the text is asked for first into a buffer that usually suffices,
        // and the size only when it does not.
        bool haveXml = false;
        bool rendered = libevtx_record_get_utf8_xml_string(
                            record, reinterpret_cast<uint8_t*>(xml_.data()), xml_.size(), &error) == 1;
        if (!rendered) {
            if (error) libevtx_error_free(&error);
            size_t xmlSize = 0;
            if (libevtx_record_get_utf8_xml_string_size(record, &xmlSize, &error) == 1 && xmlSize > 1 &&
                xmlSize <= kMaxXmlSize) {
                xml_.assign(xmlSize, '\0');
                rendered = libevtx_record_get_utf8_xml_string(
                               record, reinterpret_cast<uint8_t*>(xml_.data()), xmlSize, &error) == 1;
            }
        }
        if (rendered) {
            const std::size_t length = strnlen(xml_.data(), xml_.size());
            haveXml = length > 0 && stream_.parse(xml_.data(), length, e);
        }
        if (error) libevtx_error_free(&error);
        if (!haveXml) e = EventEntry{};

        std::uint64_t identifier = 0;
        std::uint32_t eventId = 0;
        std::uint32_t qualifiers = 0;
        std::uint8_t level = 0;
        std::uint64_t written = 0;
        if (libevtx_record_get_identifier(record, &identifier, &error) == 1) e.recordId = identifier;
        if (libevtx_record_get_event_identifier(record, &eventId, &error) == 1) {
            e.eventId = eventId;
        } else if (!haveXml) {
            report("\n WMI host log %s: record %llu skipped: %s", path_.c_str(),
                   static_cast<unsigned long long>(identifier), errorText(error).c_str());
            return false;
        }
        if (libevtx_record_get_event_identifier_qualifiers(record, &qualifiers, &error) == 1)
            e.qualifiers = qualifiers;
        if (libevtx_record_get_event_level(record, &level, &error) == 1) e.level = level;
        if (!e.hasTime && libevtx_record_get_written_time(record, &written, &error) == 1 &&
            written != 0) {
            e.timeSeconds = static_cast<std::int64_t>(written / 10000000) - kFiletimeEpochSeconds;
            e.hasTime = true;
        }
        if (error) libevtx_error_free(&error);
        if (haveXml) {
            if (e.eventData && !e.strings.empty()) takeEventDataValues(record, e);
            return true;
        }

        // Without the XML the getters give what they have. Their strings
        // then stand for the insertion strings.
        recordText(record, libevtx_record_get_utf8_source_name_size,
                   libevtx_record_get_utf8_source_name, scratch_, e.provider);
        recordText(record, libevtx_record_get_utf8_computer_name_size,
                   libevtx_record_get_utf8_computer_name, scratch_, e.computer);
        recordStrings(record, e.strings);
        return true;
    }

    // The record's values as its string getters give them, into `out`.
    void recordStrings(libevtx_record_t* record, std::vector<std::string>& out) {
        libevtx_error_t* error = nullptr;
        int strings = 0;
        if (libevtx_record_get_number_of_strings(record, &strings, &error) == 1 && strings > 0) {
            out.reserve(static_cast<std::size_t>(strings));
            for (int s = 0; s < strings; ++s) {
                size_t size = 0;
                std::string& value = out.emplace_back();
                if (libevtx_record_get_utf8_string_size(record, s, &size, &error) != 1 || size <= 1)
                    continue;
                scratch_.resize(size);
                if (libevtx_record_get_utf8_string(record, s, reinterpret_cast<uint8_t*>(scratch_.data()),
                                                   size, &error) == 1)
                    value.assign(scratch_.data(), size - 1);
            }
        }
        if (error) libevtx_error_free(&error);
    }

    // The EventData values of the XML replaced by the getters' values, which
    // are whole whatever they hold. The getters list the <Data> values in
    // order and, for a classic event, its binary data as one more string
    // after them; any other count means the two do not describe the same
    // values, and the XML's are kept.
    void takeEventDataValues(libevtx_record_t* record, EventEntry& e) {
        values_.clear();
        recordStrings(record, values_);
        const std::size_t count = e.strings.size();
        const bool sameValues = values_.size() == count || (values_.size() == count + 1 && !e.binary.empty());
        if (!sameValues) return;
        values_.resize(count);
        e.strings.swap(values_);
    }

    std::string path_;
    libevtx_file_t* file_;
    int count_;
    int index_ = 0;
    bool lastIdKnown_ = false;
    std::uint64_t lastId_ = 0;  // identifier of the record at index_ - 1
    bool resumed_ = false;
    // Where the last next() began.
    int beforeIndex_ = 0;
    std::uint64_t beforeId_ = 0;
    bool beforeKnown_ = true;
    std::string xml_ = std::string(kXmlBufferSize, '\0');
    std::string scratch_;
    std::vector<std::string> values_;
    EventStream stream_;
};

}  // namespace

std::unique_ptr<EventSource> openEvtxFile(const std::string& path, const ResumePoint* from) {
    libevtx_file_t* file = nullptr;
    libevtx_error_t* error = nullptr;
    if (libevtx_file_initialize(&file, &error) != 1) {
        report("\n WMI host log %s cannot be read: %s", path.c_str(), errorText(error).c_str());
        return nullptr;
    }
    if (libevtx_file_open(file, path.c_str(), LIBEVTX_OPEN_READ, &error) != 1) {
        report("\n WMI host log %s is not a readable EVTX file: %s", path.c_str(),
               errorText(error).c_str());
        libevtx_file_free(&file, &error);
        if (error) libevtx_error_free(&error);
        return nullptr;
    }
    int count = 0;
    if (libevtx_file_get_number_of_records(file, &count, &error) != 1) {
        report("\n WMI host log %s: its records cannot be counted: %s", path.c_str(),
               errorText(error).c_str());
        count = 0;
    }
    if (libevtx_file_is_corrupted(file, &error) == 1)
        report("\n WMI host log %s is damaged; its readable records are used", path.c_str());
    if (error) libevtx_error_free(&error);
    auto source = std::make_unique<EvtxFile>(path, file, count);
    if (from) source->resumeAt(*from);
    return source;
}

}  // namespace platform::wmi::sim
