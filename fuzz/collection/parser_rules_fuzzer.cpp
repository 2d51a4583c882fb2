// Any rules file: loading must not crash, and every rule kept must be usable
// on events with any number of insertion strings. The input's tail doubles
// as a message and a time text for the record building's text handling.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/collection/event_record.h"
#include "agent/collection/parser_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    ParserRuleList rules;
    loadParserRulesText(input, rules);

    AttributeTable attributes;
    initAttributeTable(attributes);
    std::vector<std::string> strings;
    for (std::size_t i = 0; i < (size % 40); ++i) strings.emplace_back(input.substr(0, i * 7 % (size + 1)));
    for (const auto& rule : rules) {
        for (int id : rule.eventIds) findParserRule(rules, id, 0);
        applyParserRule(rule, strings, attributes);
    }

    classifyAccesses(input, static_cast<int>(size % 11));
    EventRecord record;
    parseWmiTime(input, static_cast<int>(size & 1), static_cast<int>(size) - 5000, record);
    return 0;
}
