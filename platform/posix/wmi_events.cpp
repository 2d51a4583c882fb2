// Events of the simulated hosts: one <Event> element to an event, the mapping
// of an event to Win32_NTLogEvent, DMTF times and the property objects.
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/posix/wmi_internal.h"

namespace platform::wmi::sim {

// ------------------------------------------------------------------ diagnostics

namespace {

void writeToStandardError(const char* message) { std::fputs(message, stderr); }

std::mutex g_sinkMutex;
DiagnosticSink g_sink = writeToStandardError;
thread_local std::string t_lastDiagnostic;

}  // namespace

void report(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    t_lastDiagnostic = buffer;
    DiagnosticSink sink;
    {
        std::lock_guard<std::mutex> lock(g_sinkMutex);
        sink = g_sink;
    }
    if (sink) sink(buffer);
}

// ------------------------------------------------------------------ text helpers

std::string toLower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// ASCII letters only, as names and keywords are; no locale lookup per byte.
bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// ------------------------------------------------------------------ times

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

namespace {

struct Civil {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

Civil civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {y + (m <= 2), m, d};
}

// Reads `count` decimal digits at text[pos]; false when one is not a digit.
bool digits(const std::string& text, std::size_t pos, std::size_t count, int& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool validClock(int month, int day, int hour, int minute, int second) {
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 &&
           second <= 60;
}

}  // namespace

bool parseDmtf(const std::string& text, std::int64_t& utcMicros) {
    int year, month, day, hour, minute, second, micros, offset;
    if (text.size() != 25 || text[14] != '.' || (text[21] != '+' && text[21] != '-')) return false;
    if (!digits(text, 0, 4, year) || !digits(text, 4, 2, month) || !digits(text, 6, 2, day) ||
        !digits(text, 8, 2, hour) || !digits(text, 10, 2, minute) ||
        !digits(text, 12, 2, second) || !digits(text, 15, 6, micros) ||
        !digits(text, 22, 3, offset))
        return false;
    if (!validClock(month, day, hour, minute, second)) return false;
    if (text[21] == '-') offset = -offset;
    const std::int64_t localSeconds =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + minute * 60 + second;
    utcMicros = (localSeconds - static_cast<std::int64_t>(offset) * 60) * 1000000 + micros;
    return true;
}

std::string formatDmtf(std::int64_t utcSeconds, int offsetMinutes, int micros) {
    const std::int64_t local = utcSeconds + static_cast<std::int64_t>(offsetMinutes) * 60;
    std::int64_t days = local / 86400;
    std::int64_t rest = local % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    const Civil c = civilFromDays(days);
    const int absOffset = (offsetMinutes < 0 ? -offsetMinutes : offsetMinutes) % 1000;
    if (micros < 0 || micros > 999999) micros = 0;
    // Written digit by digit: it is made for every event read.
    char buffer[32];
    char* out = buffer;
    auto put = [&out](long long value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            out[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        out += width;
    };
    const long long year = c.year < 0 ? 0 : c.year > 9999 ? 9999 : c.year;
    put(year, 4);
    put(c.month, 2);
    put(c.day, 2);
    put(rest / 3600, 2);
    put(rest / 60 % 60, 2);
    put(rest % 60, 2);
    *out++ = '.';
    put(micros, 6);
    *out++ = offsetMinutes < 0 ? '-' : '+';
    put(absOffset, 3);
    return std::string(buffer, static_cast<std::size_t>(out - buffer));
}

bool parseSystemTime(const std::string& text, std::int64_t& utcSeconds) {
    int year, month, day, hour, minute, second;
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != ' ') ||
        text[13] != ':' || text[16] != ':')
        return false;
    if (!digits(text, 0, 4, year) || !digits(text, 5, 2, month) || !digits(text, 8, 2, day) ||
        !digits(text, 11, 2, hour) || !digits(text, 14, 2, minute) || !digits(text, 17, 2, second))
        return false;
    if (!validClock(month, day, hour, minute, second)) return false;
    utcSeconds = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                 hour * 3600 + minute * 60 + second;
    return true;
}

// ------------------------------------------------------------------ objects

Variant nullValue() { return Variant{}; }

Variant integerValue(std::int64_t v) {
    Variant out;
    out.type = Variant::Type::Integer;
    out.integer = v;
    return out;
}

Variant textValue(std::string v) {
    Variant out;
    out.type = Variant::Type::Text;
    out.text = std::move(v);
    return out;
}

Variant booleanValue(bool v) {
    Variant out;
    out.type = Variant::Type::Boolean;
    out.boolean = v;
    return out;
}

HResult PropertyObject::get(const std::string& name, Variant& out) const {
    for (const auto& [key, value] : properties_) {
        if (equalsNoCase(key, name)) {
            out = value;
            return WBEM_S_NO_ERROR;
        }
    }
    out = Variant{};
    return WBEM_E_NOT_FOUND;
}

namespace {

constexpr std::uint64_t kAuditSuccess = 0x0020000000000000ull;
constexpr std::uint64_t kAuditFailure = 0x0010000000000000ull;

struct EventKind {
    int type;
    const char* text;
};

EventKind eventKind(const EventEntry& e) {
    if (e.keywords & kAuditSuccess) return {4, "Audit Success"};
    if (e.keywords & kAuditFailure) return {5, "Audit Failure"};
    if (e.level == 1 || e.level == 2) return {1, "Error"};
    if (e.level == 3) return {2, "Warning"};
    return {3, "Information"};
}

}  // namespace

namespace {

// A Win32_NTLogEvent: the event as read, its values made when they are asked
// for. Keeping the event rather than a list of values keeps the object small,
// which matters when a log of many thousand records is read.
class EventObject : public Object {
public:
    EventObject(EventEntry&& event, int offsetMinutes) : e_(std::move(event)), offset_(offsetMinutes) {}

    HResult get(const std::string& name, Variant& out) const override {
        out = Variant{};
        const EventKind kind = eventKind(e_);
        switch (property(name)) {
            case Property::Category: out = integerValue(e_.task); break;
            case Property::CategoryString:
                if (!e_.taskName.empty()) out = textValue(e_.taskName);
                break;
            case Property::ComputerName: out = textValue(e_.computer); break;
            case Property::Data:
                if (!e_.binary.empty()) {
                    out.type = Variant::Type::Bytes;
                    out.bytes = e_.binary;
                }
                break;
            case Property::EventCode: out = integerValue(e_.eventId & 0xFFFFu); break;
            case Property::EventIdentifier:
                out = integerValue((e_.eventId & 0xFFFFu) | (e_.qualifiers << 16));
                break;
            case Property::EventType: out = integerValue(kind.type); break;
            case Property::InsertionStrings:
                if (!e_.strings.empty()) {
                    out.type = Variant::Type::TextArray;
                    out.texts = e_.strings;
                }
                break;
            case Property::Logfile: out = textValue(e_.channel); break;
            case Property::Message:
                if (e_.hasMessage) out = textValue(e_.message);
                break;
            case Property::RecordNumber: out = integerValue(static_cast<std::int64_t>(e_.recordId)); break;
            case Property::SourceName:
                out = textValue(e_.eventSourceName.empty() ? e_.provider : e_.eventSourceName);
                break;
            case Property::TimeGenerated:
            case Property::TimeWritten:
                if (e_.hasTime) out = textValue(formatDmtf(e_.timeSeconds, offset_));
                break;
            case Property::Type: out = textValue(kind.text); break;
            case Property::User:
                if (!e_.userSid.empty()) out = textValue(e_.userSid);
                break;
            case Property::Unknown: return WBEM_E_NOT_FOUND;
        }
        return WBEM_S_NO_ERROR;
    }

private:
    enum class Property {
        Category, CategoryString, ComputerName, Data, EventCode, EventIdentifier, EventType,
        InsertionStrings, Logfile, Message, RecordNumber, SourceName, TimeGenerated, TimeWritten,
        Type, User, Unknown
    };

    static Property property(const std::string& name) {
        static constexpr std::pair<std::string_view, Property> kNames[] = {
            {"Category", Property::Category},
            {"CategoryString", Property::CategoryString},
            {"ComputerName", Property::ComputerName},
            {"Data", Property::Data},
            {"EventCode", Property::EventCode},
            {"EventIdentifier", Property::EventIdentifier},
            {"EventType", Property::EventType},
            {"InsertionStrings", Property::InsertionStrings},
            {"Logfile", Property::Logfile},
            {"Message", Property::Message},
            {"RecordNumber", Property::RecordNumber},
            {"SourceName", Property::SourceName},
            {"TimeGenerated", Property::TimeGenerated},
            {"TimeWritten", Property::TimeWritten},
            {"Type", Property::Type},
            {"User", Property::User},
        };
        for (const auto& [text, p] : kNames)
            if (equalsNoCase(name, text)) return p;
        return Property::Unknown;
    }

    EventEntry e_;
    int offset_;
};

}  // namespace

ObjectPtr makeEventObject(EventEntry&& e, int offsetMinutes) {
    return std::make_unique<EventObject>(std::move(e), offsetMinutes);
}

// ------------------------------------------------------------------ event XML

namespace {

// Unsigned number in decimal or, with 0x, in hexadecimal; 0 when it is not one.
std::uint64_t number(const std::string& text) {
    const char* s = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    if (*s == '-') return 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s, &end, 0);
    return end == s ? 0 : v;
}

void hexBytes(const std::string& text, std::vector<std::uint8_t>& out) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    int high = -1;
    for (char c : text) {
        const int v = nibble(c);
        if (v < 0) continue;  // blanks and line breaks between the digits
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
}

// An XML parser hands line ends over as LF, whatever the file had; rendered
// messages on Windows end their lines with CR LF, and so does WMI's Message.
std::string windowsLineEnds(const std::string& text) {
    if (text.find('\n') == std::string::npos) return text;
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

// What the parser calls back while it reads one <Event>: the event is filled
// as its elements go by, no document tree is built. Elements are told apart by
// their local names (the event schema's namespace or none).
struct EventBuilder {
    // Where the text of the element being read goes when it ends.
    enum class Field {
        None, EventId, Level, Task, Keywords, RecordId, Channel, Computer, Data, Binary, Message,
        TaskName, UserDataLeaf
    };

    EventEntry* event = nullptr;
    int depth = 0;           // of the element being read; <Event> is 1
    bool isEvent = false;
    std::string section;     // the child of <Event> we are in: System, EventData, ...
    Field field = Field::None;
    std::string text;
    bool haveEventData = false;
    bool dataHasChild = false;   // the <Data> being read holds an element
    std::vector<std::string> userDataLeaves;
    std::vector<bool> hasChild;  // per depth, inside UserData: an element child was seen
    bool wrapped = false;        // a stream of events inside one wrapper element
    bool insideWrapper = false;
    bool completed = false;      // the end of an <Event> has been read

    struct Attribute {
        std::string_view name;  // local name
        std::string_view value;
    };

    void start(std::string_view name, const Attribute* attributes, int attributeCount) {
        if (wrapped && !insideWrapper) {
            insideWrapper = true;
            return;
        }
        ++depth;
        text.clear();
        field = Field::None;
        if (depth == 1) {
            isEvent = name == "Event";
            section.clear();
            haveEventData = false;
            userDataLeaves.clear();
            hasChild.clear();
            return;
        }
        if (!isEvent) return;
        if (depth == 2) {
            section.assign(name);
            if (section == "EventData") haveEventData = event->eventData = true;
            if (section == "BinaryEventData") field = Field::Binary;
            if (section == "UserData") hasChild.assign(3, false);
            return;
        }
        auto attribute = [&](std::string_view wanted, std::string& out) {
            for (int i = 0; i < attributeCount; ++i)
                if (attributes[i].name == wanted) out.assign(attributes[i].value);
        };
        if (section == "UserData") {
            if (hasChild.size() <= static_cast<std::size_t>(depth)) hasChild.resize(depth + 1, false);
            hasChild[depth - 1] = true;
            hasChild[depth] = false;
            field = Field::UserDataLeaf;
            return;
        }
        if (depth > 3 && section == "EventData") dataHasChild = true;
        if (depth != 3) return;
        if (section == "System") {
            if (name == "Provider") {
                attribute("Name", event->provider);
                attribute("EventSourceName", event->eventSourceName);
            } else if (name == "EventID") {
                std::string qualifiers;
                attribute("Qualifiers", qualifiers);
                if (!qualifiers.empty()) event->qualifiers = static_cast<std::uint32_t>(number(qualifiers));
                field = Field::EventId;
            } else if (name == "TimeCreated") {
                std::string time;
                attribute("SystemTime", time);
                if (parseSystemTime(time, event->timeSeconds)) event->hasTime = true;
            } else if (name == "Security") {
                attribute("UserID", event->userSid);
            } else {
                // The System elements whose text is the value.
                static const std::pair<const char*, Field> kTextElements[] = {
                    {"Level", Field::Level},         {"Task", Field::Task},
                    {"Keywords", Field::Keywords},   {"EventRecordID", Field::RecordId},
                    {"Channel", Field::Channel},     {"Computer", Field::Computer}};
                for (const auto& [element, f] : kTextElements)
                    if (name == element) field = f;
            }
        } else if (section == "EventData") {
            dataHasChild = false;
            if (name == "Data") field = Field::Data;
            if (name == "Binary") field = Field::Binary;
        } else if (section == "RenderingInfo") {
            if (name == "Message") field = Field::Message;
            if (name == "Task") field = Field::TaskName;
        }
    }

    void characters(const char* chars, int length) {
        if (field != Field::None) text.append(chars, static_cast<std::size_t>(length));
    }

    void end() {
        if (wrapped && depth == 0) {
            insideWrapper = false;
            return;
        }
        switch (field) {
            case Field::None: break;
            case Field::EventId: event->eventId = static_cast<std::uint32_t>(number(text)); break;
            case Field::Level: event->level = static_cast<int>(number(text)); break;
            case Field::Task: event->task = static_cast<std::uint32_t>(number(text)); break;
            case Field::Keywords: event->keywords = number(text); break;
            case Field::RecordId: event->recordId = number(text); break;
            case Field::Channel: event->channel = std::move(text); break;
            case Field::Computer: event->computer = std::move(text); break;
            case Field::Data: event->strings.push_back(std::move(text)); break;
            case Field::Binary: hexBytes(text, event->binary); break;
            case Field::Message:
                event->hasMessage = true;
                event->message = windowsLineEnds(text);
                break;
            case Field::TaskName: event->taskName = std::move(text); break;
            case Field::UserDataLeaf:
                if (!hasChild[depth]) userDataLeaves.push_back(std::move(text));
                break;
        }
        // A value holding markup (an XML document written unescaped) still
        // takes its place, so the values after it keep their positions.
        if (depth == 3 && dataHasChild && section == "EventData") {
            event->strings.emplace_back();
            dataHasChild = false;
        }
        field = Field::None;
        text.clear();
        if (depth == 1 && isEvent) {
            completed = true;
            if (!haveEventData && !userDataLeaves.empty()) event->strings = std::move(userDataLeaves);
        }
        --depth;
        if (depth == 1) section.clear();
    }
};

void onStartElement(void* context, const xmlChar* localName, const xmlChar*, const xmlChar*, int,
                    const xmlChar**, int attributeCount, int, const xmlChar** attributes) {
    // libxml2 gives five pointers per attribute: local name, prefix, URI,
    // value and end of value.
    EventBuilder::Attribute few[16];
    std::vector<EventBuilder::Attribute> many;
    EventBuilder::Attribute* list = few;
    if (attributeCount > 16) {
        many.resize(static_cast<std::size_t>(attributeCount));
        list = many.data();
    }
    for (int i = 0; i < attributeCount; ++i) {
        const auto* a = reinterpret_cast<const char* const*>(attributes + i * 5);
        list[i] = {a[0], std::string_view(a[3], static_cast<std::size_t>(a[4] - a[3]))};
    }
    static_cast<EventBuilder*>(context)->start(reinterpret_cast<const char*>(localName), list,
                                               attributeCount);
}

void onEndElement(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    static_cast<EventBuilder*>(context)->end();
}

void onCharacters(void* context, const xmlChar* chars, int length) {
    static_cast<EventBuilder*>(context)->characters(reinterpret_cast<const char*>(chars), length);
}

// Errors are taken from the context after the parse; nothing is printed.
void onError(void*, xmlErrorPtr) {}

// Entity references are not resolved: a DTD's nested entities would expand
// without bound. Predefined and character entities are in the text anyway.
xmlEntityPtr onGetEntity(void*, const xmlChar* name) { return xmlGetPredefinedEntity(name); }

// ASCII classes of XML name characters, looked up rather than asked of the
// locale for every character of every tag.
struct NameClasses {
    bool start[256] = {};
    bool inside[256] = {};
    constexpr NameClasses() {
        for (int c = 0; c < 256; ++c) {
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            start[c] = letter || c == '_';
            inside[c] = letter || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' || c == ':';
        }
    }
};
constexpr NameClasses kNameClasses{};

// Plain event XML read without libxml2: libevtx renders every record this
// way, and most event files are written so. It takes UTF-8 text, elements,
// attributes, the five predefined entities and character references; at
// anything else (a comment, CDATA, a DTD, a processing instruction, a blank
// or an entity inside an attribute value, malformed UTF-8, any doubt about
// well-formedness) it gives up and the event is read by libxml2.
//
// Two things it keeps where an XML parser would not, because the values are
// the event's own: a carriage return in element text stays (a parser turns
// CR LF into LF, but "SeTcbPrivilege\r\n\t\t\t..." is what the event holds),
// and a control character in element text stays (libevtx renders a value
// such as 0x03 as it is; a parser would refuse the whole event).
class PlainXmlReader {
public:
    PlainXmlReader(const char* text, std::size_t length, EventBuilder& builder)
        : p_(text), end_(text + length), builder_(builder) {}

    bool read() {
        if (!validUtf8()) return false;
        bool rootDone = false;
        while (p_ < end_) {
            if (*p_ != '<') {
                const char* t = static_cast<const char*>(std::memchr(p_, '<', static_cast<std::size_t>(end_ - p_)));
                if (!t) t = end_;
                if (stack_.empty()) {
                    for (const char* c = p_; c < t; ++c)
                        if (*c != ' ' && *c != '\t' && *c != '\n' && *c != '\r') return false;
                } else if (!text(p_, t)) {
                    return false;
                }
                p_ = t;
                continue;
            }
            if (end_ - p_ < 2) return false;
            if (p_[1] == '/') {
                p_ += 2;
                std::string_view name;
                if (!readName(name)) return false;
                skipBlanks();
                if (p_ >= end_ || *p_ != '>' || stack_.empty() || stack_.back() != name) return false;
                ++p_;
                stack_.pop_back();
                builder_.end();
                rootDone = stack_.empty();
                continue;
            }
            if (p_[1] == '!' || p_[1] == '?' || rootDone) return false;
            ++p_;
            if (!startTag()) return false;
            rootDone = stack_.empty();
        }
        return rootDone;
    }

private:
    // No NUL, and every sequence a shortest-form UTF-8 character outside the
    // surrogates.
    bool validUtf8() const {
        const auto* c = reinterpret_cast<const unsigned char*>(p_);
        const auto* end = reinterpret_cast<const unsigned char*>(end_);
        while (c < end) {
            // Eight ASCII bytes without a NUL at a time.
            while (end - c >= 8) {
                std::uint64_t word;
                std::memcpy(&word, c, 8);
                const bool highBit = (word & 0x8080808080808080ull) != 0;
                const bool zeroByte = ((word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull) != 0;
                if (highBit || zeroByte) break;
                c += 8;
            }
            if (c >= end) break;
            const unsigned char b = *c;
            if (b == 0) return false;
            if (b < 0x80) {
                ++c;
                continue;
            }
            int extra;
            unsigned char low = 0x80, high = 0xBF;
            if (b >= 0xC2 && b <= 0xDF) {
                extra = 1;
            } else if (b >= 0xE0 && b <= 0xEF) {
                extra = 2;
                if (b == 0xE0) low = 0xA0;
                if (b == 0xED) high = 0x9F;
            } else if (b >= 0xF0 && b <= 0xF4) {
                extra = 3;
                if (b == 0xF0) low = 0x90;
                if (b == 0xF4) high = 0x8F;
            } else {
                return false;
            }
            if (end - c <= extra || c[1] < low || c[1] > high) return false;
            for (int k = 2; k <= extra; ++k)
                if ((c[k] & 0xC0) != 0x80) return false;
            c += extra + 1;
        }
        return true;
    }

    static bool nameStart(char c) { return kNameClasses.start[static_cast<unsigned char>(c)]; }
    static bool nameChar(char c) { return kNameClasses.inside[static_cast<unsigned char>(c)]; }

    bool readName(std::string_view& name) {
        if (p_ >= end_ || !nameStart(*p_)) return false;
        const char* s = p_;
        while (p_ < end_ && nameChar(*p_)) ++p_;
        name = std::string_view(s, static_cast<std::size_t>(p_ - s));
        return name.back() != ':';
    }

    static std::string_view localPart(std::string_view name) {
        const std::size_t colon = name.find(':');
        return colon == std::string_view::npos ? name : name.substr(colon + 1);
    }

    bool skipBlanks() {
        const char* s = p_;
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
        return p_ != s;
    }

    bool startTag() {
        std::string_view name;
        if (!readName(name)) return false;
        int count = 0;
        for (;;) {
            const bool blank = skipBlanks();
            if (p_ >= end_) return false;
            if (*p_ == '>' || *p_ == '/') break;
            std::string_view attributeName;
            if (!blank || !readName(attributeName)) return false;
            skipBlanks();
            if (p_ >= end_ || *p_ != '=') return false;
            ++p_;
            skipBlanks();
            if (p_ >= end_ || (*p_ != '"' && *p_ != '\'')) return false;
            const char quote = *p_++;
            const char* value = p_;
            while (p_ < end_ && *p_ != quote) {
                if (*p_ == '<' || *p_ == '&' || static_cast<unsigned char>(*p_) < 0x20) return false;
                ++p_;
            }
            if (p_ >= end_) return false;
            const std::string_view attributeValue(value, static_cast<std::size_t>(p_ - value));
            ++p_;
            for (int i = 0; i < count; ++i)
                if (names_[i] == attributeName) return false;
            if (count == kMaxAttributes) return false;
            names_[count] = attributeName;
            // Namespace declarations are not attributes of the element.
            if (attributeName == "xmlns" || attributeName.substr(0, 6) == "xmlns:") {
                namespaces_[count] = true;
            } else {
                namespaces_[count] = false;
                attributes_[count] = {localPart(attributeName), attributeValue};
            }
            ++count;
        }
        int kept = 0;
        for (int i = 0; i < count; ++i)
            if (!namespaces_[i]) attributes_[kept++] = attributes_[i];
        const bool empty = *p_ == '/';
        if (empty && (end_ - p_ < 2 || p_[1] != '>')) return false;
        p_ += empty ? 2 : 1;
        builder_.start(localPart(name), attributes_, kept);
        if (empty)
            builder_.end();
        else
            stack_.push_back(name);
        return true;
    }

    // Element text with its entities replaced.
    bool text(const char* s, const char* e) {
        decoded_.clear();
        while (s < e) {
            const char* amp = static_cast<const char*>(std::memchr(s, '&', static_cast<std::size_t>(e - s)));
            const char* stop = amp ? amp : e;
            decoded_.append(s, stop);
            if (!amp) break;
            const char* semi = static_cast<const char*>(std::memchr(amp, ';', static_cast<std::size_t>(e - amp)));
            if (!semi) return false;
            const std::string_view entity(amp + 1, static_cast<std::size_t>(semi - amp - 1));
            if (entity == "amp") decoded_ += '&';
            else if (entity == "lt") decoded_ += '<';
            else if (entity == "gt") decoded_ += '>';
            else if (entity == "quot") decoded_ += '"';
            else if (entity == "apos") decoded_ += '\'';
            else if (!characterReference(entity)) return false;
            s = semi + 1;
        }
        if (decoded_.find("]]>") != std::string::npos) return false;
        builder_.characters(decoded_.data(), static_cast<int>(decoded_.size()));
        return true;
    }

    bool characterReference(std::string_view entity) {
        if (entity.size() < 2 || entity[0] != '#') return false;
        const bool hex = entity[1] == 'x';
        std::uint32_t cp = 0;
        std::size_t i = hex ? 2 : 1;
        if (i >= entity.size() || entity.size() > 10) return false;
        for (; i < entity.size(); ++i) {
            const char c = entity[i];
            int digit;
            if (c >= '0' && c <= '9') digit = c - '0';
            else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            else return false;
            cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
            if (cp > 0x10FFFF) return false;
        }
        // Control characters are taken too, for the reason above.
        const bool legal = (cp >= 0x1 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) || cp >= 0x10000;
        if (!legal) return false;
        appendUtf8(decoded_, cp);
        return true;
    }

    static constexpr int kMaxAttributes = 32;
    const char* p_;
    const char* end_;
    EventBuilder& builder_;
    std::vector<std::string_view> stack_;
    std::string decoded_;
    std::string_view names_[kMaxAttributes];
    bool namespaces_[kMaxAttributes] = {};
    EventBuilder::Attribute attributes_[kMaxAttributes];
};

// The plain reader on one event; false when libxml2 must read it.
bool readPlainEvent(const char* text, std::size_t length, EventEntry& out) {
    out = EventEntry{};
    EventBuilder builder;
    builder.event = &out;
    if (PlainXmlReader(text, length, builder).read() && builder.isEvent && builder.completed) return true;
    out = EventEntry{};
    return false;
}

// A push parser calling back into a builder; null when libxml2 has no memory.
xmlParserCtxtPtr newSaxParser(EventBuilder* builder) {
    xmlSAXHandler handler{};
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = onStartElement;
    handler.endElementNs = onEndElement;
    handler.characters = onCharacters;
    handler.cdataBlock = onCharacters;
    handler.serror = onError;
    handler.getEntity = onGetEntity;
    xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(&handler, builder, nullptr, 0, nullptr);
    if (ctxt) xmlCtxtUseOptions(ctxt, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    return ctxt;
}

std::string parserError(xmlParserCtxtPtr ctxt) {
    const xmlError* e = xmlCtxtGetLastError(ctxt);
    std::string text = e && e->message ? e->message : "not well-formed";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// One push parser per thread for single events, reset from event to event.
struct SaxParser {
    EventBuilder builder;
    xmlParserCtxtPtr ctxt = newSaxParser(&builder);
    ~SaxParser() {
        if (ctxt) xmlFreeParserCtxt(ctxt);
    }
};

}  // namespace

struct EventStream::State {
    EventBuilder builder;
    xmlParserCtxtPtr ctxt = nullptr;
    int events = 0;

    ~State() { close(); }
    void close() {
        if (ctxt) xmlFreeParserCtxt(ctxt);
        ctxt = nullptr;
    }
    bool open() {
        close();
        builder = EventBuilder{};
        builder.wrapped = true;
        events = 0;
        ctxt = newSaxParser(&builder);
        return ctxt && xmlParseChunk(ctxt, "<events>", 8, 0) == 0;
    }
};

EventStream::EventStream() : state_(std::make_unique<State>()) {}
EventStream::~EventStream() = default;

bool EventStream::parse(const char* text, std::size_t length, EventEntry& out, std::string* error) {
    State& s = *state_;
    // A fresh parser now and then keeps its buffers small.
    if ((!s.ctxt || s.events >= 1000) && !s.open()) {
        if (error) *error = "no parser";
        return false;
    }
    if (length > static_cast<std::size_t>(INT32_MAX)) {
        if (error) *error = "too large";
        return false;
    }
    if (readPlainEvent(text, length, out)) return true;
    s.builder.event = &out;
    s.builder.completed = false;
    const int status = xmlParseChunk(s.ctxt, text, static_cast<int>(length), 0);
    s.builder.event = nullptr;
    ++s.events;
    if (status != 0 || !s.ctxt->wellFormed || !s.builder.completed || s.builder.depth != 0) {
        if (error) *error = s.builder.completed ? parserError(s.ctxt) : "not one whole <Event>";
        s.close();  // the stream is broken: the next event starts a new one
        return false;
    }
    return true;
}

bool eventFromXmlText(const char* text, std::size_t length, EventEntry& out, const char* encoding,
                      std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (length > static_cast<std::size_t>(INT32_MAX)) return fail("too large");
    if (equalsNoCase(encoding, "UTF-8") && readPlainEvent(text, length, out)) return true;
    thread_local SaxParser parser;
    if (!parser.ctxt) return fail("no parser");
    if (xmlCtxtResetPush(parser.ctxt, nullptr, 0, nullptr, encoding) != 0) return fail("unknown encoding");
    out = EventEntry{};
    parser.builder = EventBuilder{};
    parser.builder.event = &out;
    const int status = xmlParseChunk(parser.ctxt, text, static_cast<int>(length), 1);
    parser.builder.event = nullptr;
    if (status != 0 || !parser.ctxt->wellFormed) return fail(parserError(parser.ctxt));
    if (!parser.builder.isEvent) return fail("the element is not <Event>");
    return true;
}

}  // namespace platform::wmi::sim

namespace platform::wmi {

void setDiagnosticSink(DiagnosticSink sink) {
    std::lock_guard<std::mutex> lock(sim::g_sinkMutex);
    sim::g_sink = sink;
}

std::string lastDiagnostic() { return sim::t_lastDiagnostic; }

}  // namespace platform::wmi
