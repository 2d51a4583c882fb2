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

bool equalsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
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
    const int absOffset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04lld%02u%02u%02d%02d%02d.%06d%c%03d",
                  static_cast<long long>(c.year), c.month, c.day, static_cast<int>(rest / 3600),
                  static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60),
                  micros < 0 || micros > 999999 ? 0 : micros, offsetMinutes < 0 ? '-' : '+',
                  absOffset % 1000);
    return buffer;
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
        static const std::pair<const char*, Property> kNames[] = {
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
    std::vector<std::string> userDataLeaves;
    std::vector<bool> hasChild;  // per depth, inside UserData: an element child was seen
    bool wrapped = false;        // a stream of events inside one wrapper element
    bool insideWrapper = false;
    bool completed = false;      // the end of an <Event> has been read

    static std::string value(const xmlChar** attribute) {
        return std::string(reinterpret_cast<const char*>(attribute[3]),
                           reinterpret_cast<const char*>(attribute[4]));
    }

    void start(const char* name, int attributeCount, const xmlChar** attributes) {
        if (wrapped && !insideWrapper) {
            insideWrapper = true;
            return;
        }
        ++depth;
        text.clear();
        field = Field::None;
        if (depth == 1) {
            isEvent = std::strcmp(name, "Event") == 0;
            section.clear();
            haveEventData = false;
            userDataLeaves.clear();
            hasChild.clear();
            return;
        }
        if (!isEvent) return;
        if (depth == 2) {
            section = name;
            if (section == "EventData") haveEventData = true;
            if (section == "BinaryEventData") field = Field::Binary;
            if (section == "UserData") hasChild.assign(3, false);
            return;
        }
        auto attribute = [&](const char* wanted, std::string& out) {
            for (int i = 0; i < attributeCount; ++i)
                if (std::strcmp(reinterpret_cast<const char*>(attributes[i * 5]), wanted) == 0)
                    out = value(attributes + i * 5);
        };
        if (section == "UserData") {
            if (hasChild.size() <= static_cast<std::size_t>(depth)) hasChild.resize(depth + 1, false);
            hasChild[depth - 1] = true;
            hasChild[depth] = false;
            field = Field::UserDataLeaf;
            return;
        }
        if (depth != 3) return;
        if (section == "System") {
            if (std::strcmp(name, "Provider") == 0) {
                attribute("Name", event->provider);
                attribute("EventSourceName", event->eventSourceName);
            } else if (std::strcmp(name, "EventID") == 0) {
                std::string qualifiers;
                attribute("Qualifiers", qualifiers);
                if (!qualifiers.empty()) event->qualifiers = static_cast<std::uint32_t>(number(qualifiers));
                field = Field::EventId;
            } else if (std::strcmp(name, "TimeCreated") == 0) {
                std::string time;
                attribute("SystemTime", time);
                if (parseSystemTime(time, event->timeSeconds)) event->hasTime = true;
            } else if (std::strcmp(name, "Security") == 0) {
                attribute("UserID", event->userSid);
            } else {
                // The System elements whose text is the value.
                static const std::pair<const char*, Field> kTextElements[] = {
                    {"Level", Field::Level},         {"Task", Field::Task},
                    {"Keywords", Field::Keywords},   {"EventRecordID", Field::RecordId},
                    {"Channel", Field::Channel},     {"Computer", Field::Computer}};
                for (const auto& [element, f] : kTextElements)
                    if (std::strcmp(name, element) == 0) field = f;
            }
        } else if (section == "EventData") {
            if (std::strcmp(name, "Data") == 0) field = Field::Data;
            if (std::strcmp(name, "Binary") == 0) field = Field::Binary;
        } else if (section == "RenderingInfo") {
            if (std::strcmp(name, "Message") == 0) field = Field::Message;
            if (std::strcmp(name, "Task") == 0) field = Field::TaskName;
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
    static_cast<EventBuilder*>(context)->start(reinterpret_cast<const char*>(localName), attributeCount,
                                               attributes);
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
    out = EventEntry{};
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
