// Building an EventRecord from one Win32_NTLogEvent object: properties, time,
// severity, message, log type, named attributes and object-access classes.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "agent/collection/event_record.h"
#include "agent/collection/attribute_slots.h"
#include "agent/collection/parser_rules.h"
#include "common/log.h"
#include "common/text_format.h"
#include "platform/clock.h"

namespace wmi = platform::wmi;

namespace {

// Sorted for the binary search.
constexpr std::array<int, 11> kObjectAccessEventIds = {560,  563,  565,  566,  595, 4656,
                                                       4659, 4661, 4662, 4663, 4757};

constexpr const char* kWriteWords[] = {"WriteData", "WriteAttributes", "AppendData", "AddFile",
                                       "WriteEA"};
constexpr const char* kReadWords[] = {"READ_CONTROL", "ReadAttributes", "ReadEA",       "ReadData",
                                      "Write Property", "Control Access", "Create Child"};

// The severity names of the Type property, compared ignoring case; the
// first match wins.
struct TypeSeverity {
    const char* name;
    int severity;
};
constexpr TypeSeverity kTypeSeverities[] = {
    {"Error", kSeverityError},          {"Warning", kSeverityWarning},
    {"Information", kSeverityInformation}, {"Success", kSeverityAuditSuccess},
    {"Failure", kSeverityAuditFailure}, {"audit Success", kSeverityAuditSuccess},
    {"audit failure", kSeverityAuditFailure}};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

int severityOf(const wmi::Variant& eventType, const wmi::Variant& type) {
    if (eventType.type == wmi::Variant::Type::Integer && eventType.integer >= 1 &&
        eventType.integer <= 5)
        return static_cast<int>(eventType.integer);
    if (type.type == wmi::Variant::Type::Text)
        for (const auto& entry : kTypeSeverities)
            if (equalsIgnoringCase(type.text, entry.name)) return entry.severity;
    return kSeverityInformation;
}

// A text property converted into a field of the given size: the whole text
// or "-" when it is absent or does not fit (nothing is cut).
void convertOrDash(std::string& out, const wmi::Variant& value, std::size_t fieldSize) {
    if (value.type == wmi::Variant::Type::Text && value.text.size() < fieldSize)
        out = value.text;
    else
        out = "-";
}

int integerOf(const wmi::Variant& value) {
    if (value.type == wmi::Variant::Type::Integer) return static_cast<int>(value.integer);
    if (value.type == wmi::Variant::Type::Text) return std::atoi(value.text.c_str());
    return 0;
}

// The record fields bounded like the attributes; "-" when empty where the
// data files expect a placeholder.
void copyField(std::string& out, const std::string& value, std::size_t fieldSize, bool dashWhenEmpty) {
    copyBounded(out, value, fieldSize);
    if (dashWhenEmpty && out.empty()) out = "-";
}

bool digitsAt(std::string_view text, std::size_t from, std::size_t count, int& out) {
    out = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + (text[i] - '0');
    }
    return true;
}

// Local-time conversions are the costly part of a record; events arrive in
// time order, so one hour's conversion serves the many events of that hour.
// A change of the machine's time zone while the agent runs reaches the events
// of the hour being cached only when the next hour's events come in.
struct HourCache {
    bool valid = false;
    int year = 0, month = 0, day = 0, hour = 0, daylightSaving = 0;
    std::int64_t hourStart = 0;  // seconds since 1970 of yyyy-mm-dd HH:00:00 local
};

struct BucketCache {
    bool valid = false;
    std::int64_t hourStart = 0;  // first second of the cached local hour
    std::int64_t hourEnd = 0;    // one past its last second
    int hourOfDay = 0;
    std::string bucket;
};

thread_local HourCache t_hourCache;

// Positions in kAttributeNames.
enum AttributeIndex {
    kUserName, kLogonType, kDomain, kClientUserName, kClientDomain, kRemoteHost, kObjType, kObjName,
    kTargetUser, kTargetDomain, kGroupName, kMemberName, kAccesses, kProcessName
};

// Buckets of the 14 names for the table size last seen on this thread.
struct SlotBuckets {
    std::size_t bucketCount = 0;
    std::size_t bucket[kAttributeCount] = {};
};
thread_local SlotBuckets t_slotBuckets;
thread_local BucketCache t_bucketCache;

// The signed minute offset of a full WMI time text ("...HHMMSS.ffffff+060").
bool dmtfOffsetMinutes(std::string_view text, int& minutes) {
    if (text.size() < 25 || text[14] != '.' || (text[21] != '+' && text[21] != '-')) return false;
    int value = 0;
    if (!digitsAt(text, 22, 3, value) || value > 14 * 60) return false;
    minutes = text[21] == '-' ? -value : value;
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysSince1970(int year, int month, int day) {
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = y / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
}

std::int64_t localTextTime(int year, int month, int day, int hour, int daylightSaving);
void fillEventTime(std::int64_t eventTime, int day, EventRecord& record);

}  // namespace

bool isAttributeName(std::string_view name) { return attributeIndex(name) >= 0; }

int attributeIndex(std::string_view name) {
    for (int i = 0; i < kAttributeCount; ++i)
        if (name == kAttributeNames[i]) return i;
    return -1;
}

std::string& attributeSlot(AttributeTable& table, int index) {
    const std::string_view name = kAttributeNames[index];
    if (table.buckets.empty()) KeyTableInit(table, 20);
    SlotBuckets& cache = t_slotBuckets;
    if (cache.bucketCount != table.buckets.size()) {
        for (int i = 0; i < kAttributeCount; ++i)
            cache.bucket[i] = KeyTableHash(kAttributeNames[i], table.buckets.size());
        cache.bucketCount = table.buckets.size();
    }
    auto& chain = table.buckets[cache.bucket[index]];
    for (auto& entry : chain)
        if (entry.name == name) return entry.value;
    chain.push_back({std::string(name), std::string()});
    return chain.back().value;
}

void initAttributeTable(AttributeTable& table) {
    KeyTableInit(table, 20);
    for (const char* name : kAttributeNames) KeyTablePut(table, name, std::string());
}

void clearAttributes(AttributeTable& table) {
    for (auto& chain : table.buckets)
        for (auto& entry : chain) entry.value.clear();
}

bool isObjectAccessEventId(int eventId) {
    return std::binary_search(kObjectAccessEventIds.begin(), kObjectAccessEventIds.end(), eventId);
}

bool parseWmiTime(std::string_view timeText, int daylightSaving, int timeZoneDiff,
                  EventRecord& record) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (timeText.size() < 14 || !digitsAt(timeText, 0, 4, year) || !digitsAt(timeText, 4, 2, month) ||
        !digitsAt(timeText, 6, 2, day) || !digitsAt(timeText, 8, 2, hour) ||
        !digitsAt(timeText, 10, 2, minute) || !digitsAt(timeText, 12, 2, second))
        return false;
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 60)
        return false;

    // The text's own UTC offset makes it one instant whatever the host's
    // zone and Windows version; a text without one is read as agent local
    // time shifted by the host's time-zone difference.
    std::int64_t eventTime = 0;
    if (int offsetMinutes = 0; dmtfOffsetMinutes(timeText, offsetMinutes)) {
        eventTime = daysSince1970(year, month, day) * 86400 + hour * 3600 + minute * 60 + second -
                    offsetMinutes * 60;
    } else {
        eventTime = localTextTime(year, month, day, hour, daylightSaving) + minute * 60 + second + timeZoneDiff;
    }
    fillEventTime(eventTime, day, record);
    return true;
}

namespace {

std::int64_t localTextTime(int year, int month, int day, int hour, int daylightSaving) {
    HourCache& cache = t_hourCache;
    if (!cache.valid || cache.year != year || cache.month != month || cache.day != day ||
        cache.hour != hour || cache.daylightSaving != daylightSaving) {
        std::tm local{};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_isdst = daylightSaving;
        cache.hourStart = platform::fromLocalTime(local);
        cache.year = year;
        cache.month = month;
        cache.day = day;
        cache.hour = hour;
        cache.daylightSaving = daylightSaving;
        cache.valid = true;
    }
    return cache.hourStart;
}

void fillEventTime(std::int64_t eventTime, int day, EventRecord& record) {
    BucketCache& bucket = t_bucketCache;
    if (!bucket.valid || eventTime < bucket.hourStart || eventTime >= bucket.hourEnd) {
        std::tm local = platform::toLocalTime(eventTime);
        char text[64];  // "%Y-%m-%d %H:00:00" takes 19 characters
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:00:00", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour);
        bucket.bucket = text;
        bucket.hourOfDay = local.tm_hour;
        // The local hour lasts from eventTime - (min*60+sec) for 3600 s; a zone
        // change inside the hour only shortens what the cache covers.
        bucket.hourStart = eventTime - (local.tm_min * 60 + local.tm_sec);
        bucket.hourEnd = bucket.hourStart + 3600;
        std::tm endLocal = platform::toLocalTime(bucket.hourEnd - 1);
        if (endLocal.tm_hour != local.tm_hour || endLocal.tm_mday != local.tm_mday)
            bucket.hourEnd = eventTime + 1;
        bucket.valid = true;
    }

    record.eventTime = static_cast<std::int32_t>(eventTime);
    record.hour = bucket.hourOfDay;
    record.day = day;
    record.hourBucket = bucket.bucket;
}

}  // namespace

std::string classifyAccesses(std::string_view message, int hostMajorVersion) {
    std::string joined;
    joined.reserve(message.size() + 1);
    const char* blanks = " \t\f\v\r\n";
    std::size_t pos = 0;
    while (pos < message.size()) {
        auto start = message.find_first_not_of(blanks, pos);
        if (start == std::string_view::npos) break;
        auto end = message.find_first_of(blanks, start);
        if (end == std::string_view::npos) end = message.size();
        joined.append(message.substr(start, end - start));
        joined += ' ';
        pos = end;
    }
    if (joined.empty()) joined.assign(message);

    auto contains = [&joined](const char* word) { return joined.find(word) != std::string::npos; };
    bool anyWrite = std::any_of(std::begin(kWriteWords), std::end(kWriteWords), contains);
    int readCount = static_cast<int>(std::count_if(std::begin(kReadWords), std::end(kReadWords), contains));

    if (contains("DELETE")) return (anyWrite || readCount >= 3) ? "objectcreated" : "objectdeleted";
    if (anyWrite) {
        if (readCount >= 3 && hostMajorVersion == 6) return "objectcreated";
        return "objectmodified";
    }
    if (readCount > 0) return "objectaccessed";
    return joined;
}

void buildEventRecord(const RecordHost& host, wmi::ObjectPtr event, EventRecord& record,
                      AttributeTable& attributes, RecordRunValues& run) {
    LogInfo("\nEvent Details .......");
    record = EventRecord{};

    wmi::Variant sourceName, eventCode, eventType, type, logfile, timeGenerated, timeWritten, message,
        insertionStrings;
    bool readOk = false;
    if (event) {
        // Category, CategoryString, EventIdentifier and Data play no part in
        // the record, so they are not fetched.
        event->get("SourceName", sourceName);
        event->get("EventCode", eventCode);
        event->get("EventType", eventType);
        event->get("Type", type);
        event->get("Logfile", logfile);
        event->get("TimeGenerated", timeGenerated);
        event->get("TimeWritten", timeWritten);
        event->get("Message", message);
        // The insertion strings decide whether the object could be read.
        wmi::HResult hr = event->get("InsertionStrings", insertionStrings);
        readOk = wmi::succeeded(hr);
        if (!readOk) LogInfo("Reading Props Failed %x", static_cast<unsigned>(hr));
    } else {
        LogInfo("Reading Props Failed %x", static_cast<unsigned>(wmi::E_INVALIDARG_));
    }
    event.reset();

    if (readOk) {
        LogInfo("\n Time generated %s", timeGenerated.type == wmi::Variant::Type::Text
                                            ? timeGenerated.text.c_str()
                                            : "");
        if (timeWritten.type == wmi::Variant::Type::Text &&
            parseWmiTime(timeWritten.text, run.daylightSaving, host.timeZoneDiff, record)) {
            // Only a text that reads as a time may become the next query's
            // condition; anything else would make every later query fail.
            if (timeWritten.text >= run.lastTimeText) {
                LogInfo("\n Time updated within loop old time %s new one %s", run.lastTimeText.c_str(),
                        timeWritten.text.c_str());
                run.lastMessageMillis = static_cast<std::int64_t>(record.eventTime) * 1000;
                run.lastTimeAdvanced = true;
                run.lastTimeText = timeWritten.text;
            }
        } else {
            LogInfo("\n Time written not readable: %s",
                    timeWritten.type == wmi::Variant::Type::Text ? timeWritten.text.c_str() : "(none)");
        }
    }

    record.severity = severityOf(eventType, type);

    if (readOk && message.type == wmi::Variant::Type::Text) {
        copyBounded(record.message, message.text, kMessageMaxBytes + 1);
        if (record.message.empty()) record.message = kNoDescriptionMessage;
        LogInfo("\n %d In getting Mesg I Over ", run.workerNumber);
    } else if (insertionStrings.type == wmi::Variant::Type::TextArray && !insertionStrings.texts.empty() &&
               !insertionStrings.texts.front().empty()) {
        copyBounded(record.message, insertionStrings.texts.front(), kInsertionMessageMaxBytes + 1);
        LogInfo("\n InsertionStrings = %s\n", record.message.c_str());
    } else {
        record.message = kNoDescriptionMessage;
    }

    record.hostId = host.hostId;
    record.eventId = integerOf(eventCode);
    convertOrDash(record.logFile, logfile, kLogFileFieldSize);
    convertOrDash(record.source, sourceName, kSourceFieldSize);
    if (run.lookupFacility) {
        int typeNumber = 0;
        run.lookupFacility(record.logFile, typeNumber);
        record.logTypeId = typeNumber;
    }
    LogInfo("\n Got log: eventid : %ld, severity : %d, type : %s", static_cast<long>(record.eventId),
            record.severity, record.logFile.c_str());
    LogInfo("\n Message %s", record.message.c_str());

    clearAttributes(attributes);
    const bool objectAccess = isObjectAccessEventId(record.eventId);
    if (record.logTypeId == run.securityTypeId) {
        if (const ParserRule* rule = findParserRule(record.eventId, host.minorVersion)) {
            static const std::vector<std::string> none;
            applyParserRule(*rule,
                            insertionStrings.type == wmi::Variant::Type::TextArray ? insertionStrings.texts
                                                                                   : none,
                            attributes);
            const std::string& clientUser = attributeSlot(attributes, kClientUserName);
            if (!clientUser.empty() && clientUser != "-") attributeSlot(attributes, kUserName) = clientUser;
            const std::string& clientDomain = attributeSlot(attributes, kClientDomain);
            if (!clientDomain.empty() && clientDomain != "-")
                attributeSlot(attributes, kDomain) = clientDomain;
            for (auto& chain : attributes.buckets)
                for (auto& entry : chain)
                    if (entry.value.empty()) entry.value = "-";
        }
        if (objectAccess) {
            std::string access = classifyAccesses(record.message, host.majorVersion);
            LogInfo("\n Access : %s", access.c_str());
            std::string& slot = attributeSlot(attributes, kAccesses);
            copyBounded(slot, access, kAttributeFieldSize);
            LogInfo("\n Access after cut: %s", slot.c_str());
        }
    }

    copyField(record.user, attributeSlot(attributes, kUserName), kUserFieldSize, false);
    copyField(record.domain, attributeSlot(attributes, kDomain), kDomainFieldSize, true);
    copyField(record.accessOrLogonType, attributeSlot(attributes, objectAccess ? kAccesses : kLogonType),
              kAccessOrLogonTypeFieldSize, true);
    copyField(record.remoteHost, attributeSlot(attributes, kRemoteHost), kAttributeFieldSize, false);
    copyField(record.objectName, attributeSlot(attributes, kObjName), kAttributeFieldSize, false);
    copyField(record.objectType, attributeSlot(attributes, kObjType), kAttributeFieldSize, false);
    copyField(record.targetUser, attributeSlot(attributes, kTargetUser), kAttributeFieldSize, false);
    copyField(record.targetDomain, attributeSlot(attributes, kTargetDomain), kAttributeFieldSize, false);
    copyField(record.groupName, attributeSlot(attributes, kGroupName), kAttributeFieldSize, false);
    copyField(record.memberName, attributeSlot(attributes, kMemberName), kAttributeFieldSize, false);
    copyField(record.accesses, attributeSlot(attributes, kAccesses), kAttributeFieldSize, false);
    copyField(record.processName, attributeSlot(attributes, kProcessName), kAttributeFieldSize, false);
}
