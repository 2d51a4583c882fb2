// One collected Windows event and the functions that build it from a
// Win32_NTLogEvent object.
//
// A collection run (collector thread) hands every object of its enumeration
// to buildEventRecord, which reads the properties, derives time, severity,
// message and log type, fills the named attributes of Security events through
// the parser rules, and classifies object accesses. The record then goes to
// filter and notification matching, the event store and the raw-log file.
//
// Text fields are std::string, but each keeps the bound of the field it is
// stored in on the server side: a field of size N holds at most N - 1 bytes
// (cut at a UTF-8 character boundary, never inside a character). The sizes
// are the kXxxFieldSize constants below; the store and the data files may
// rely on them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/key_table.h"
#include "platform/wmi.h"

// Field sizes (including the terminator the server-side layout reserves).
inline constexpr std::size_t kHourBucketFieldSize = 20;
inline constexpr std::size_t kLogFileFieldSize = 50;
inline constexpr std::size_t kSourceFieldSize = 100;
inline constexpr std::size_t kUserFieldSize = 100;
inline constexpr std::size_t kDomainFieldSize = 100;
inline constexpr std::size_t kAccessOrLogonTypeFieldSize = 100;
inline constexpr std::size_t kAttributeFieldSize = 256;
// Longest message kept from the Message property, in bytes of UTF-8.
inline constexpr std::size_t kMessageMaxBytes = 4500;
// Longest first insertion string used as a message when Message is null.
inline constexpr std::size_t kInsertionMessageMaxBytes = 1023;

// Message of an event that has neither a message nor insertion strings.
inline constexpr const char* kNoDescriptionMessage =
    "The Description for this Event ID could not be found. ";

// Severities.
inline constexpr int kSeverityError = 1;
inline constexpr int kSeverityWarning = 2;
inline constexpr int kSeverityInformation = 3;
inline constexpr int kSeverityAuditSuccess = 4;
inline constexpr int kSeverityAuditFailure = 5;

struct EventRecord {
    std::int64_t hostId = 0;
    std::int32_t eventTime = 0;   // seconds since 1970 UTC (event's TimeWritten, see parseWmiTime)
    std::int32_t hour = 0;        // 0..23, agent local time
    std::int32_t day = 0;         // day of the month as written in the event's time text
    std::string hourBucket;       // "%Y-%m-%d %H:00:00", agent local time
    std::int32_t eventId = 0;     // EventCode
    std::int32_t severity = kSeverityInformation;  // 1 error .. 5 audit failure
    std::string logFile;          // Logfile, at most 49 bytes, "-" when it does not fit
    std::int32_t logTypeId = 0;   // server's number for the log file's type
    std::string source;           // SourceName, at most 99 bytes, "-" when it does not fit
    std::string user;             // USER_NAME (or CLIENT_USERNAME), at most 99
    std::string domain;           // DOMAIN (or CLIENT_DOMAIN), at most 99, "-" when empty
    std::string accessOrLogonType;  // ACCESSES for object access events, else LOGONTYPE; "-" when empty
    std::string message;          // UTF-8
    std::string notifiedIds;      // "id,id," written by notification matching; empty when none
    // The nine attribute copies, at most 255 bytes each.
    std::string remoteHost;
    std::string objectName;       // UTF-8
    std::string objectType;
    std::string targetUser;
    std::string targetDomain;
    std::string groupName;
    std::string memberName;
    std::string accesses;
    std::string processName;
};

// The 14 attribute names the parser rules fill.
inline constexpr const char* kAttributeNames[] = {
    "USER_NAME", "LOGONTYPE",  "DOMAIN",        "CLIENT_USERNAME", "CLIENT_DOMAIN",
    "REMOTEHOST", "OBJ_TYPE",  "OBJ_NAME",      "TARGET_USER",     "TARGET_DOMAIN",
    "GROUP_NAME", "MEMBER_NAME", "ACCESSES",    "PROCESS_NAME"};
inline constexpr int kAttributeCount = 14;
static_assert(sizeof kAttributeNames / sizeof kAttributeNames[0] == kAttributeCount);
bool isAttributeName(std::string_view name);

// Attribute name -> value (at most 255 bytes). One per collection run.
using AttributeTable = KeyTable<std::string>;
// Creates the table with 20 buckets and the 14 names, all empty.
void initAttributeTable(AttributeTable& table);
// Empties every value (before each event).
void clearAttributes(AttributeTable& table);

// What the record building needs of the host slot.
struct RecordHost {
    std::int64_t hostId = 0;
    int majorVersion = -1;
    int minorVersion = 0;
    int timeZoneDiff = 0;  // seconds added to event times written without a UTC offset
};

// Gives the server's type number for a log file name; may replace the name
// (an unknown type falls back to "Application").
using FacilityLookup = std::function<void(std::string& logFileName, int& typeNumber)>;

// Values a collection run hands to every record it builds.
struct RecordRunValues {
    // Running last-time text: the newest TimeWritten seen so far (WMI time
    // text). Read and advanced by buildEventRecord.
    std::string lastTimeText;
    // Set when lastTimeText was advanced; lastMessageMillis is then the event
    // time of that event x 1000, for the host's LAST_MSG_TIME.
    bool lastTimeAdvanced = false;
    std::int64_t lastMessageMillis = 0;
    int daylightSaving = 0;   // tm_isdst of the local time at the start of the run
    int securityTypeId = -1;  // type number of "Security"
    int workerNumber = 0;     // collector worker, shown in one message
    FacilityLookup lookupFacility;
};

// The properties buildEventRecord reads from a Win32_NTLogEvent object.
inline constexpr const char* kEventPropertyNames[] = {
    "SourceName", "Category", "CategoryString", "EventIdentifier", "EventCode",
    "EventType",  "Type",     "Logfile",        "Data",            "TimeGenerated",
    "TimeWritten", "Message", "InsertionStrings"};

// Fills `record` from one event object and releases the object (it is
// dropped before the function returns). A failed property read still gives
// a record: the time fields then stay unset and the message is the fixed text.
void buildEventRecord(const RecordHost& host, platform::wmi::ObjectPtr event, EventRecord& record,
                      AttributeTable& attributes, RecordRunValues& run);

// Reads a WMI time text "yyyymmddHHMMSS.ffffff+ooo" as the instant it names
// with its own UTC offset, and fills event time (seconds since 1970 UTC),
// hour and hour bucket (agent local time of that instant) and day (the
// text's day digits). A text without the offset is read as agent local time
// with the given daylight-saving flag, plus timeZoneDiff seconds. The
// fraction is ignored. Answers false (record untouched) for a text that is
// not a time.
bool parseWmiTime(std::string_view timeText, int daylightSaving, int timeZoneDiff,
                  EventRecord& record);

// The access text of an object-access event: "objectcreated",
// "objectmodified", "objectdeleted", "objectaccessed", or the message with
// its white space runs joined into single spaces. Not cut.
std::string classifyAccesses(std::string_view message, int hostMajorVersion);

// Whether an event id is one of the object-access ids (560, 563, 565, 566,
// 595, 4656, 4659, 4661, 4662, 4663, 4757).
bool isObjectAccessEventId(int eventId);
