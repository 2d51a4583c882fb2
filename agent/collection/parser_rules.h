// Event message parsing rules: which insertion string of a Security event
// fills which named attribute, per event id and Windows version.
//
// The rules come from data/EventIdParserRules.xml, are loaded once at start-up
// and are read-only afterwards, so collector threads read them without a lock.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/collection/event_record.h"

struct ParserRuleAttribute {
    std::string key;  // one of the 14 attribute names
    // Insertion-string number: from 1 counting from the first string; below
    // 0 counting from the last (-1 is the last string), for a value that an
    // event's later versions keep at the end while they insert strings
    // before it. 0 is not an index.
    int index = 0;
};

struct ParserRuleOpenAttribute {
    std::string key;
    std::string value;  // fixed text
};

struct ParserRule {
    std::vector<int> eventIds;
    std::vector<std::pair<int, int>> eventIdRanges;  // (low, high), both inclusive
    std::optional<std::vector<int>> versions;        // host minor versions; none = any
    // Both lists hold their entries in reverse file order, so that of two
    // entries with one key the earlier one in the file is applied last.
    std::vector<ParserRuleAttribute> attributes;
    std::vector<ParserRuleOpenAttribute> openAttributes;
};

// Rules in file order.
using ParserRuleList = std::vector<ParserRule>;

inline constexpr const char* kParserRulesPath = "data/EventIdParserRules.xml";

// Reads data/EventIdParserRules.xml (relative to the current directory) into
// the process-wide rule list and logs every rule. A file that cannot be read
// leaves the list empty; answers whether the file was read.
bool loadParserRules();

// Reads one rules file or text into `rules` (replaced). Rules that cannot be
// understood (no eventids, an index below 1, an unknown or missing key, no end
// tag) are skipped with a message. Answers false when the document cannot be
// opened or is not well-formed; the rules read before the fault are kept.
bool loadParserRulesFile(const std::string& path, ParserRuleList& rules);
bool loadParserRulesText(std::string_view xml, ParserRuleList& rules);

// The process-wide rule list; replacing it is for start-up and tests only.
const ParserRuleList& parserRules();
void setParserRules(ParserRuleList rules);

// The first rule, in file order, whose ids or ranges hold the event id and
// whose version list is absent or holds the host's minor version; none when
// no rule matches.
const ParserRule* findParserRule(int eventId, int minorVersion);
const ParserRule* findParserRule(const ParserRuleList& rules, int eventId, int minorVersion);

// Fills the attribute values from the insertion strings: indexed attributes
// first (an index past either end gives an empty value), then open attributes.
void applyParserRule(const ParserRule& rule, const std::vector<std::string>& insertionStrings,
                     AttributeTable& attributes);
