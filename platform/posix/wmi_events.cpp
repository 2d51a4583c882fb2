// Events of the simulated hosts: one <Event> element to an event, the mapping
// of an event to Win32_NTLogEvent, DMTF times and the property objects.
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

ObjectPtr makeEventObject(EventEntry&& e, int offsetMinutes) {
    const EventKind kind = eventKind(e);
    Variant time = e.hasTime ? textValue(formatDmtf(e.timeSeconds, offsetMinutes)) : nullValue();
    Variant strings;
    if (!e.strings.empty()) {
        strings.type = Variant::Type::TextArray;
        strings.texts = std::move(e.strings);
    }
    Variant data;
    if (!e.binary.empty()) {
        data.type = Variant::Type::Bytes;
        data.bytes = std::move(e.binary);
    }
    const std::uint32_t identifier = (e.eventId & 0xFFFFu) | (e.qualifiers << 16);
    std::vector<std::pair<std::string, Variant>> p;
    p.reserve(18);
    p.emplace_back("Category", integerValue(e.task));
    p.emplace_back("CategoryString", e.taskName.empty() ? nullValue() : textValue(e.taskName));
    p.emplace_back("ComputerName", textValue(std::move(e.computer)));
    p.emplace_back("Data", std::move(data));
    p.emplace_back("EventCode", integerValue(e.eventId & 0xFFFFu));
    p.emplace_back("EventIdentifier", integerValue(identifier));
    p.emplace_back("EventType", integerValue(kind.type));
    p.emplace_back("InsertionStrings", std::move(strings));
    p.emplace_back("Logfile", textValue(std::move(e.channel)));
    p.emplace_back("Message", e.hasMessage ? textValue(std::move(e.message)) : nullValue());
    p.emplace_back("RecordNumber", integerValue(static_cast<std::int64_t>(e.recordId)));
    p.emplace_back("SourceName",
                   textValue(e.eventSourceName.empty() ? std::move(e.provider)
                                                       : std::move(e.eventSourceName)));
    p.emplace_back("TimeGenerated", time);
    p.emplace_back("TimeWritten", std::move(time));
    p.emplace_back("Type", textValue(kind.text));
    p.emplace_back("User", e.userSid.empty() ? nullValue() : textValue(std::move(e.userSid)));
    return std::make_unique<PropertyObject>(std::move(p));
}

// ------------------------------------------------------------------ event XML

namespace {

bool isElement(const xmlNode* n, const char* localName) {
    return n->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(n->name), localName) == 0;
}

void appendText(const xmlNode* n, std::string& out) {
    for (const xmlNode* c = n->children; c; c = c->next) {
        if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content)
            out += reinterpret_cast<const char*>(c->content);
        else if (c->type == XML_ELEMENT_NODE)
            appendText(c, out);
        // Entity references of a DTD are not followed: nested ones would
        // expand without bound. Character and predefined entities are
        // already in the text.
    }
}

std::string textOf(const xmlNode* n) {
    std::string out;
    appendText(n, out);
    return out;
}

bool attribute(const xmlNode* n, const char* name, std::string& out) {
    for (const xmlAttr* a = n->properties; a; a = a->next) {
        if (std::strcmp(reinterpret_cast<const char*>(a->name), name) == 0) {
            out.clear();
            for (const xmlNode* c = a->children; c; c = c->next)
                if (c->content) out += reinterpret_cast<const char*>(c->content);
            return true;
        }
    }
    return false;
}

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

void readSystem(const xmlNode* system, EventEntry& e) {
    std::string value;
    for (const xmlNode* n = system->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        if (isElement(n, "Provider")) {
            attribute(n, "Name", e.provider);
            attribute(n, "EventSourceName", e.eventSourceName);
        } else if (isElement(n, "EventID")) {
            e.eventId = static_cast<std::uint32_t>(number(textOf(n)));
            if (attribute(n, "Qualifiers", value)) e.qualifiers = static_cast<std::uint32_t>(number(value));
        } else if (isElement(n, "Level")) {
            e.level = static_cast<int>(number(textOf(n)));
        } else if (isElement(n, "Task")) {
            e.task = static_cast<std::uint32_t>(number(textOf(n)));
        } else if (isElement(n, "Keywords")) {
            e.keywords = number(textOf(n));
        } else if (isElement(n, "TimeCreated")) {
            if (attribute(n, "SystemTime", value) && parseSystemTime(value, e.timeSeconds))
                e.hasTime = true;
        } else if (isElement(n, "EventRecordID")) {
            e.recordId = number(textOf(n));
        } else if (isElement(n, "Channel")) {
            e.channel = textOf(n);
        } else if (isElement(n, "Computer")) {
            e.computer = textOf(n);
        } else if (isElement(n, "Security")) {
            attribute(n, "UserID", e.userSid);
        }
    }
}

bool hasElementChild(const xmlNode* n) {
    for (const xmlNode* c = n->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) return true;
    return false;
}

void collectLeaves(const xmlNode* n, std::vector<std::string>& out) {
    for (const xmlNode* c = n->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        if (hasElementChild(c))
            collectLeaves(c, out);
        else
            out.push_back(textOf(c));
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

}  // namespace

bool eventFromXmlNode(const xmlNode* event, EventEntry& e) {
    if (!event || !isElement(event, "Event")) return false;
    e = EventEntry{};
    const xmlNode* userData = nullptr;
    bool haveEventData = false;
    for (const xmlNode* n = event->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        if (isElement(n, "System")) {
            readSystem(n, e);
        } else if (isElement(n, "EventData")) {
            haveEventData = true;
            for (const xmlNode* d = n->children; d; d = d->next) {
                if (isElement(d, "Data"))
                    e.strings.push_back(textOf(d));
                else if (isElement(d, "Binary"))
                    hexBytes(textOf(d), e.binary);
            }
        } else if (isElement(n, "UserData")) {
            userData = n;
        } else if (isElement(n, "BinaryEventData")) {
            hexBytes(textOf(n), e.binary);
        } else if (isElement(n, "RenderingInfo")) {
            for (const xmlNode* r = n->children; r; r = r->next) {
                if (isElement(r, "Message")) {
                    e.hasMessage = true;
                    e.message = windowsLineEnds(textOf(r));
                } else if (isElement(r, "Task")) {
                    e.taskName = textOf(r);
                }
            }
        }
    }
    if (!haveEventData && userData) collectLeaves(userData, e.strings);
    return true;
}

bool eventFromXmlText(const char* text, std::size_t length, EventEntry& out, const char* encoding,
                      std::string* error) {
    if (length > static_cast<std::size_t>(INT32_MAX)) return false;
    // One parser context per thread, reused: its dictionary and buffers stay
    // allocated between the records of a log.
    struct Context {
        xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
        ~Context() {
            if (ctxt) xmlFreeParserCtxt(ctxt);
        }
    };
    thread_local Context context;
    if (!context.ctxt) return false;
    xmlDocPtr doc = xmlCtxtReadMemory(context.ctxt, text, static_cast<int>(length), nullptr, encoding,
                                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) {
        if (error) {
            const xmlError* e = xmlCtxtGetLastError(context.ctxt);
            *error = e && e->message ? e->message : "not well-formed";
            while (!error->empty() && (error->back() == '\n' || error->back() == '\r')) error->pop_back();
        }
        return false;
    }
    const bool ok = eventFromXmlNode(xmlDocGetRootElement(doc), out);
    xmlFreeDoc(doc);
    return ok;
}

}  // namespace platform::wmi::sim

namespace platform::wmi {

void setDiagnosticSink(DiagnosticSink sink) {
    std::lock_guard<std::mutex> lock(sim::g_sinkMutex);
    sim::g_sink = sink;
}

std::string lastDiagnostic() { return sim::t_lastDiagnostic; }

}  // namespace platform::wmi
