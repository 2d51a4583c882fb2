// Internals of the simulated WMI hosts, shared by the files of the POSIX
// backend: the event model, the two log readers, DMTF times, the property
// objects and the answers for files and directories.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/wmi.h"

namespace platform::wmi::sim {


// One event as a log file holds it, before it becomes a Win32_NTLogEvent.
struct EventEntry {
    std::string channel;
    std::string provider;
    std::string eventSourceName;
    std::string computer;
    std::string userSid;
    std::string taskName;  // RenderingInfo/Task
    bool hasMessage = false;
    std::string message;   // RenderingInfo/Message
    std::uint32_t eventId = 0;
    std::uint32_t qualifiers = 0;
    int level = 0;
    std::uint64_t keywords = 0;
    std::uint32_t task = 0;
    bool hasTime = false;
    std::int64_t timeSeconds = 0;  // TimeCreated SystemTime, UTC, whole seconds
    std::uint64_t recordId = 0;
    std::vector<std::string> strings;  // EventData values, or UserData leaves
    bool eventData = false;            // the strings are the values of <EventData>
    std::vector<std::uint8_t> binary;
};

// Where a reader of a log file stands after its last whole event, so that a
// later read can go on from there when the file has only grown.
struct ResumePoint {
    std::uint64_t offset = 0;        // XML: file offset just after that event
    int events = 0;                  // events (XML) or records (EVTX) before that point
    std::string encoding;            // XML: the encoding its declaration named
    std::uint64_t lastRecordId = 0;  // EVTX: identifier of the record before that point
};

// Reads the events of one log file in file order, lazily.
class EventSource {
public:
    virtual ~EventSource() = default;
    // The next event; false at the end of the file or when the rest of it
    // cannot be read (the reason has been logged).
    virtual bool next(EventEntry& out) = 0;
    // Where the reader stands now; false when it could not go on from there.
    virtual bool resumePoint(ResumePoint&) const { return false; }
    // Where it stood when the last next() began, so that a later read of
    // the same bytes can start there and find that event first.
    virtual bool lastEventPoint(ResumePoint&) const { return false; }
    // Whether it started at the resume point it was given.
    virtual bool resumed() const { return false; }
};

// Windows event XML: <Event> elements, at the top level or inside one root.
// With a resume point (not for UTF-16 files) reading starts there.
std::unique_ptr<EventSource> openXmlEventFile(const std::string& path, const ResumePoint* from = nullptr);
// EVTX through libevtx. Null (after a message) when the file cannot be opened.
// With a resume point whose last record is still in place, reading starts
// after it; otherwise at the first record.
std::unique_ptr<EventSource> openEvtxFile(const std::string& path, const ResumePoint* from = nullptr);

// ---- reading log files for a query (what earlier reads found is kept)

struct TimeCondition {
    bool active = false;
    bool orEqual = false;          // ">=" rather than ">"
    std::int64_t afterMicros = 0;  // UTC
};

struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
};

// What a complete read of a log file found out about the times of its
// events: the point where each event newer than every timed event before it
// begins (their times strictly increase), so "events newer than T" starts at
// the first entry newer than T. Timed events before the first entry that
// could not be given a point are summed up by the newest of their times (the
// floor): a query that such an event may match reads the file from its start.
struct IndexEntry {
    std::int64_t seconds = 0;     // UTC, whole seconds
    std::uint64_t position = 0;   // XML: file offset; EVTX: identifier of the record before it
    int events = 0;               // events (XML) or records (EVTX) before it
};

struct EventIndex {
    bool hasFloor = false;
    std::int64_t floorSeconds = 0;
    std::string encoding;  // XML: the encoding in force at every entry
    std::vector<IndexEntry> entries;
};

// One file of a query as it is being read.
struct LogRead {
    std::string path;
    bool evtx = false;
    bool skipped = false;                 // nothing in it can match: not opened
    std::unique_ptr<EventSource> source;  // none when skipped or unreadable
    bool stamped = false;
    FileStamp stamp;                      // as it was before the read
    bool hasNewest = false;               // newest event time seen in the file
    std::int64_t newestSeconds = 0;
    // The index as this read rebuilds it: the first `kept` entries of what an
    // earlier read found (the part of the file this read starts after), then
    // those it adds.
    std::shared_ptr<const EventIndex> base;
    std::size_t kept = 0;
    std::vector<IndexEntry> added;
    bool hasFloor = false;
    std::int64_t floorSeconds = 0;
    std::string encoding;
};

// Opens a log file for a query: skipped, started at the first event that can
// match, read on from where the last read ended, or read from the start.
LogRead openLogForQuery(const std::string& path, bool evtx, const TimeCondition& condition);
// Every event read from the file, before the query's condition is applied.
void noteLogEvent(LogRead& read, const EventEntry& event);
// At the end of the file: remembers what the read found and closes it.
void finishLogRead(LogRead& read);
// Drops what is remembered of files of the folder that are not among names.
void forgetLogsExcept(const std::string& folder, const std::vector<std::string>& names);

// Fills `out` from the text of one <Event> element (an event of a log file,
// or a record as libevtx renders it), in the given encoding. False, with the
// reason in *error, when it is not a well-formed event.
bool eventFromXmlText(const char* text, std::size_t length, EventEntry& out,
                      const char* encoding = "UTF-8", std::string* error = nullptr);

// The same for a sequence of events, as libevtx renders the records of a
// log one by one: one parser reads them as one stream, which saves setting it
// up for each record. An event that is not well-formed is refused and the
// stream starts again with the next.
class EventStream {
public:
    EventStream();
    ~EventStream();
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;
    bool parse(const char* text, std::size_t length, EventEntry& out, std::string* error = nullptr);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// ---- times

// "yyyymmddHHMMSS.ffffff+ooo" (the sign and minute offset required) to
// microseconds since 1970 UTC.
bool parseDmtf(const std::string& text, std::int64_t& utcMicros);
// Seconds since 1970 UTC as a DMTF text in the given offset (minutes east),
// with the given microseconds as its fraction.
std::string formatDmtf(std::int64_t utcSeconds, int offsetMinutes, int micros = 0);
// "2016-07-08T18:12:51.681640800Z" to whole seconds since 1970 UTC.
bool parseSystemTime(const std::string& text, std::int64_t& utcSeconds);
// Days since 1970-01-01 of a civil date, and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d);

// ---- objects

// An object that answers Get from a list of named values (names compared
// without regard to case, as WMI does).
class PropertyObject : public Object {
public:
    explicit PropertyObject(std::vector<std::pair<std::string, Variant>> properties)
        : properties_(std::move(properties)) {}
    HResult get(const std::string& name, Variant& out) const override;

private:
    std::vector<std::pair<std::string, Variant>> properties_;
};

Variant nullValue();
Variant integerValue(std::int64_t v);
Variant textValue(std::string v);
Variant booleanValue(bool v);

// The Win32_NTLogEvent object of an event, times in the host's offset.
ObjectPtr makeEventObject(EventEntry&& event, int offsetMinutes);

// ---- files and directories

// The object of `CIM_DataFile` (isFile) or `CIM_Directory` named by a Windows
// path ("c:\\dir\\file.txt", backslashes single), from the local file system;
// null when there is no such item of that kind.
ObjectPtr makeFileObject(const std::string& windowsPath, bool isFile);

// ---- diagnostics

// Formats a message (printf-style), keeps it as the thread's last diagnostic
// and hands it to the sink.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends one code point (at most U+10FFFF) as UTF-8.
void appendUtf8(std::string& out, std::uint32_t cp);

// Case-insensitive ASCII comparison.
bool equalsNoCase(std::string_view a, std::string_view b);
std::string toLower(std::string text);

}  // namespace platform::wmi::sim
