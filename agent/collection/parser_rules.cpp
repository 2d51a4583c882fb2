// Loading, finding and applying the event message parsing rules.
//
// The rules file is read as a stream of nodes with libxml2's text reader;
// only "Parser-Rule", "Attribute" and "OpenAttribute" elements matter, all
// other nodes are skipped wherever they are.
//
// An Attribute's index counts the insertion strings from 1; a negative index
// counts them from the last (-1 is the last string). An event whose later
// versions insert strings in the middle keeps a value at the end in every
// layout (ProcessName of 4661: 16th of 16, 17th of 17), and only an index
// from the end finds it in all of them, since the rule lookup cannot tell
// the layouts apart.

#include "agent/collection/parser_rules.h"

#include "agent/collection/attribute_slots.h"

#include <libxml/xmlreader.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "common/log.h"
#include "common/text_format.h"

namespace {

// Longest rule key and open-attribute value kept.
constexpr std::size_t kRuleTextFieldSize = 250;

ParserRuleList g_rules;

std::string_view trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// A whole decimal number (optional sign), surrounded by nothing but blanks.
bool parseNumber(std::string_view text, int& out) {
    text = trim(text);
    if (text.empty()) return false;
    if (text.front() == '+') text.remove_prefix(1);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> splitCommas(std::string_view text) {
    std::vector<std::string_view> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto comma = text.find(',', start);
        if (comma == std::string_view::npos) comma = text.size();
        items.push_back(trim(text.substr(start, comma - start)));
        start = comma + 1;
    }
    return items;
}

// "528,540,4624-4634": single ids and ranges. Empty items (a trailing comma)
// are ignored; anything else that is not a number makes the list unusable.
bool parseEventIds(std::string_view text, ParserRule& rule, std::string& why) {
    for (auto item : splitCommas(text)) {
        if (item.empty()) continue;
        auto dash = item.find('-', 1);
        if (dash != std::string_view::npos) {
            int low = 0, high = 0;
            if (!parseNumber(item.substr(0, dash), low) || !parseNumber(item.substr(dash + 1), high) ||
                low < 0 || high < low) {
                why = "bad event id range \"" + std::string(item) + "\"";
                return false;
            }
            rule.eventIdRanges.emplace_back(low, high);
        } else {
            int id = 0;
            if (!parseNumber(item, id) || id < 0) {
                why = "bad event id \"" + std::string(item) + "\"";
                return false;
            }
            rule.eventIds.push_back(id);
        }
    }
    if (rule.eventIds.empty() && rule.eventIdRanges.empty()) {
        why = "no event ids";
        return false;
    }
    return true;
}

bool parseVersions(std::string_view text, ParserRule& rule, std::string& why) {
    std::vector<int> versions;
    for (auto item : splitCommas(text)) {
        if (item.empty()) continue;
        int version = 0;
        if (!parseNumber(item, version)) {
            why = "bad version \"" + std::string(item) + "\"";
            return false;
        }
        versions.push_back(version);
    }
    // A blank "versions" reads as no version list: the rule serves every host.
    if (!versions.empty()) rule.versions = std::move(versions);
    return true;
}

void logIdLists(const ParserRule& rule) {
    std::string text = "\nList of events: ";
    for (int id : rule.eventIds) text += std::to_string(id) + ", ";
    text += "\nRange of events: ";
    for (auto [low, high] : rule.eventIdRanges)
        text += std::to_string(low) + "-" + std::to_string(high) + ", ";
    LogInfo("%s", text.c_str());
}

void logRule(const ParserRule& rule) {
    std::string text = "\n********** Rule ***************";
    if (!rule.eventIds.empty()) {
        text += "\n Event Ids: ";
        for (int id : rule.eventIds) text += std::to_string(id) + ", ";
    }
    if (!rule.eventIdRanges.empty()) {
        text += "\n Ranges: ";
        for (auto [low, high] : rule.eventIdRanges)
            text += std::to_string(low) + ", " + std::to_string(high) + ", ";
    }
    if (rule.versions) {
        text += "\n Versions: ";
        for (int version : *rule.versions) text += std::to_string(version) + ", ";
    }
    LogInfo("%s", text.c_str());
    LogInfo("\n Attributes: ");
    for (const auto& attribute : rule.attributes)
        LogInfo("\n %s\t\t%d", attribute.key.c_str(), attribute.index);
    if (!rule.openAttributes.empty()) {
        LogInfo("\n Open Attribute:");
        for (const auto& open : rule.openAttributes)
            LogInfo("\n %s\t\t%s", open.key.c_str(), open.value.c_str());
    }
}

struct ReaderDeleter {
    void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderDeleter>;

// An attribute of the current element, or none.
std::optional<std::string> attributeOf(xmlTextReader* reader, const char* name) {
    xmlChar* value = xmlTextReaderGetAttribute(reader, reinterpret_cast<const xmlChar*>(name));
    if (value == nullptr) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

void reportXmlError(void*, const char* message, xmlParserSeverities, xmlTextReaderLocatorPtr locator) {
    int line = locator ? xmlTextReaderLocatorLineNumber(locator) : 0;
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    LogError("\n EventIdParserRules xml error at line %d: %s", line, text.c_str());
}

// The rule being read, with the depth of its element so that its own end tag
// is told apart from a nested element's.
struct OpenRule {
    ParserRule rule;
    int depth = 0;
    int line = 0;
    bool usable = true;
    std::string why;
};

void skipRule(const OpenRule& open) {
    LogError("\n Parser rule at line %d skipped: %s", open.line, open.why.c_str());
}

// Reads a child element of an open rule.
void readRuleChild(xmlTextReader* reader, const std::string& name, OpenRule& open) {
    if (!open.usable) return;
    auto key = attributeOf(reader, "key");
    if (!key || trim(*key).empty()) {
        open.usable = false;
        open.why = name + " without a key";
        return;
    }
    if (!isAttributeName(trim(*key))) {
        open.usable = false;
        open.why = name + " with the unknown key \"" + *key + "\"";
        return;
    }
    std::string keyText(trim(*key));
    if (name == "Attribute") {
        auto indexText = attributeOf(reader, "index");
        int index = 0;
        if (!indexText || !parseNumber(*indexText, index) || index == 0) {
            open.usable = false;
            open.why = "Attribute " + keyText + " without an index (1 or more, or -1 or less from the last)";
            return;
        }
        open.rule.attributes.insert(open.rule.attributes.begin(), {keyText, index});
    } else {
        ParserRuleOpenAttribute entry;
        entry.key = keyText;
        copyBounded(entry.value, attributeOf(reader, "value").value_or(""), kRuleTextFieldSize);
        open.rule.openAttributes.insert(open.rule.openAttributes.begin(), std::move(entry));
    }
}

bool readRules(xmlTextReader* reader, ParserRuleList& rules) {
    rules.clear();
    xmlTextReaderSetErrorHandler(reader, reportXmlError, nullptr);
    std::optional<OpenRule> open;
    int status = 0;
    while ((status = xmlTextReaderRead(reader)) == 1) {
        int type = xmlTextReaderNodeType(reader);
        const xmlChar* rawName = xmlTextReaderConstName(reader);
        if (rawName == nullptr) continue;
        std::string name(reinterpret_cast<const char*>(rawName));
        int depth = xmlTextReaderDepth(reader);
        if (type == XML_READER_TYPE_ELEMENT && name == "Parser-Rule") {
            if (open) {
                // A rule inside a rule: the outer one was never closed.
                open->usable = false;
                open->why = "no end tag before the next Parser-Rule";
                skipRule(*open);
                open.reset();
            }
            OpenRule next;
            next.depth = depth;
            next.line = xmlTextReaderGetParserLineNumber(reader);
            auto ids = attributeOf(reader, "eventids");
            if (!ids) {
                next.usable = false;
                next.why = "no eventids";
            } else if (parseEventIds(*ids, next.rule, next.why)) {
                logIdLists(next.rule);
                if (auto versions = attributeOf(reader, "versions"))
                    next.usable = parseVersions(*versions, next.rule, next.why);
            } else {
                next.usable = false;
            }
            if (xmlTextReaderIsEmptyElement(reader) == 1) {
                // <Parser-Rule .../> has no end tag of its own; taking the next
                // rule's tag as its end would swallow that rule.
                next.usable = false;
                next.why = "no end tag";
                skipRule(next);
                continue;
            }
            open = std::move(next);
        } else if (type == XML_READER_TYPE_END_ELEMENT && name == "Parser-Rule") {
            if (open && depth == open->depth) {
                if (open->usable)
                    rules.push_back(std::move(open->rule));
                else
                    skipRule(*open);
                open.reset();
            }
        } else if (type == XML_READER_TYPE_ELEMENT && open &&
                   (name == "Attribute" || name == "OpenAttribute")) {
            readRuleChild(reader, name, *open);
        }
    }
    if (open) {
        open->usable = false;
        open->why = "no end tag";
        skipRule(*open);
    }
    return status == 0;
}

void logRules(const ParserRuleList& rules) {
    for (const auto& rule : rules) logRule(rule);
}

void initLibxml() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// No network access while reading; entities are left as they are.
constexpr int kReaderOptions = XML_PARSE_NONET;

}  // namespace

bool loadParserRulesFile(const std::string& path, ParserRuleList& rules) {
    initLibxml();
    rules.clear();
    ReaderPtr reader(xmlReaderForFile(path.c_str(), nullptr, kReaderOptions));
    if (!reader) return false;
    return readRules(reader.get(), rules);
}

bool loadParserRulesText(std::string_view xml, ParserRuleList& rules) {
    initLibxml();
    rules.clear();
    ReaderPtr reader(xmlReaderForMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                        kReaderOptions));
    if (!reader) return false;
    return readRules(reader.get(), rules);
}

bool loadParserRules() {
    ParserRuleList rules;
    bool ok = loadParserRulesFile(kParserRulesPath, rules);
    if (!ok) LogError("\n Error reading EventIdParserRules xml");
    logRules(rules);
    g_rules = std::move(rules);
    return ok;
}

const ParserRuleList& parserRules() { return g_rules; }

void setParserRules(ParserRuleList rules) { g_rules = std::move(rules); }

const ParserRule* findParserRule(const ParserRuleList& rules, int eventId, int minorVersion) {
    for (const auto& rule : rules) {
        bool idMatch = false;
        for (int id : rule.eventIds)
            if (id == eventId) {
                idMatch = true;
                break;
            }
        if (!idMatch)
            for (auto [low, high] : rule.eventIdRanges)
                if (low <= eventId && eventId <= high) {
                    idMatch = true;
                    break;
                }
        if (!idMatch) continue;
        if (rule.versions) {
            bool versionMatch = false;
            for (int version : *rule.versions)
                if (version == minorVersion) {
                    versionMatch = true;
                    break;
                }
            if (!versionMatch) continue;
        }
        LogInfo("\n Matching rule found ");
        return &rule;
    }
    return nullptr;
}

const ParserRule* findParserRule(int eventId, int minorVersion) {
    return findParserRule(g_rules, eventId, minorVersion);
}

namespace {

// The value of a rule's key; keys outside the 14 names (only in rule lists
// made by hand) go through the table's own look-up.
std::string* valueOf(AttributeTable& attributes, const std::string& key) {
    int index = attributeIndex(key);
    if (index >= 0) return &attributeSlot(attributes, index);
    if (std::string* value = KeyTableGet(attributes, key)) return value;
    KeyTablePut(attributes, key, std::string());
    return KeyTableGet(attributes, key);
}

// The array position an index names among count strings, or none when it
// lies past either end (or is 0).
std::optional<std::size_t> stringPosition(int index, std::size_t count) {
    if (index >= 1 && static_cast<std::size_t>(index) <= count) return static_cast<std::size_t>(index) - 1;
    if (index < 0) {
        const std::size_t fromLast = static_cast<std::size_t>(-static_cast<long long>(index));
        if (fromLast <= count) return count - fromLast;
    }
    return std::nullopt;
}

}  // namespace

void applyParserRule(const ParserRule& rule, const std::vector<std::string>& insertionStrings,
                     AttributeTable& attributes) {
    const std::size_t count = insertionStrings.size();
    for (const auto& attribute : rule.attributes) {
        std::string* value = valueOf(attributes, attribute.key);
        if (const auto position = stringPosition(attribute.index, count)) {
            // OBJ_NAME is kept in UTF-8, the others in the system code page;
            // both are UTF-8 here, cut to the 256-byte field.
            copyBounded(*value, insertionStrings[*position], kAttributeFieldSize);
            LogInfo("\n Index :: %d, Key :: %s, value is : %s", attribute.index, attribute.key.c_str(),
                    value->c_str());
        } else {
            LogInfo("\nParam number %d is not present, adding empty", attribute.index);
            value->clear();
        }
    }
    for (const auto& open : rule.openAttributes) {
        std::string* value = valueOf(attributes, open.key);
        copyBounded(*value, open.value, kAttributeFieldSize);
    }
}
