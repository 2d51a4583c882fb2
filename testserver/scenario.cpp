#include "testserver/scenario.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <strings.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace testserver {

namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

bool belongsToOtherHost(xmlNode* node, const std::string& hostId) {
    for (xmlAttr* a = node->properties; a; a = a->next) {
        const char* name = reinterpret_cast<const char*>(a->name);
        if (strcasecmp(name, "HOST_ID") != 0 && strcasecmp(name, "HOSTID") != 0) continue;
        xmlChar* value = xmlNodeGetContent(reinterpret_cast<xmlNode*>(a));
        const bool other = !value || hostId != reinterpret_cast<const char*>(value);
        xmlFree(value);
        if (other) return true;
    }
    return false;
}

void dropOtherHosts(xmlNode* parent, const std::string& hostId) {
    std::vector<xmlNode*> doomed;
    for (xmlNode* n = parent->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        if (belongsToOtherHost(n, hostId))
            doomed.push_back(n);
        else
            dropOtherHosts(n, hostId);
    }
    for (xmlNode* n : doomed) {
        xmlUnlinkNode(n);
        xmlFreeNode(n);
    }
}

}  // namespace

bool isSafeFileName(const std::string& name) {
    return !name.empty() && name != "." && name.find_first_of("/\\") == std::string::npos &&
           name.find("..") == std::string::npos;
}

std::map<std::string, std::string> parseSettings(const std::string& text) {
    std::map<std::string, std::string> settings;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        const auto eq = t.find('=');
        if (eq == std::string::npos) continue;
        settings[trim(t.substr(0, eq))] = trim(t.substr(eq + 1));
    }
    return settings;
}

Scenario::Scenario(std::string folder) : folder_(std::move(folder)) {}

std::optional<std::string> Scenario::readFile(const std::string& name) const {
    if (!isSafeFileName(name)) return std::nullopt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = overlay_.find(name);
        if (it != overlay_.end()) return it->second;
    }
    std::ifstream in(folder_ + "/" + name, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool Scenario::setOverlay(const std::string& name, std::string content) {
    if (!isSafeFileName(name)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    overlay_[name] = std::move(content);
    return true;
}

bool Scenario::clearOverlay(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return overlay_.erase(name) > 0;
}

void Scenario::clearAllOverlays() {
    std::lock_guard<std::mutex> lock(mutex_);
    overlay_.clear();
}

std::optional<std::string> Scenario::setting(const std::string& key) const {
    const auto text = readFile("scenario.conf");
    if (!text) return std::nullopt;
    const auto settings = parseSettings(*text);
    auto it = settings.find(key);
    if (it == settings.end()) return std::nullopt;
    return it->second;
}

std::string Scenario::setting(const std::string& key, const std::string& fallback) const {
    return setting(key).value_or(fallback);
}

namespace {

using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

DocPtr parseDump(const std::string& xml) {
    DocPtr doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "dump.xml", nullptr,
                             XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (doc && !xmlDocGetRootElement(doc.get())) doc.reset();
    return doc;
}

std::optional<std::string> dumpText(xmlDoc* doc) {
    xmlChar* out = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc, &out, &size);
    if (!out) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(out), static_cast<std::size_t>(size));
    xmlFree(out);
    return text;
}

// The value of the attribute named name (any letter case), if the element has it.
std::optional<std::string> attributeOf(xmlNode* node, const char* name, xmlAttr** found = nullptr) {
    for (xmlAttr* a = node->properties; a; a = a->next) {
        if (strcasecmp(reinterpret_cast<const char*>(a->name), name) != 0) continue;
        xmlChar* value = xmlNodeGetContent(reinterpret_cast<xmlNode*>(a));
        std::string text = value ? reinterpret_cast<const char*>(value) : "";
        xmlFree(value);
        if (found) *found = a;
        return text;
    }
    return std::nullopt;
}

// Sets newer LAST_MSG_TIME values below parent; true when one was set.
bool moveLastMessageTimes(xmlNode* parent, const std::map<std::string, std::int64_t>& newestMillis) {
    bool changed = false;
    for (xmlNode* n = parent->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        changed = moveLastMessageTimes(n, newestMillis) || changed;
        xmlAttr* timeAttribute = nullptr;
        const auto own = attributeOf(n, "LAST_MSG_TIME", &timeAttribute);
        const auto hostId = attributeOf(n, "HOST_ID");
        if (!own || !hostId) continue;
        const auto newest = newestMillis.find(*hostId);
        if (newest == newestMillis.end()) continue;
        // The agent reads the value as a decimal number of milliseconds.
        if (newest->second <= std::strtod(own->c_str(), nullptr)) continue;
        const std::string text = std::to_string(newest->second);
        xmlSetProp(n, timeAttribute->name, reinterpret_cast<const xmlChar*>(text.c_str()));
        changed = true;
    }
    return changed;
}

}  // namespace

std::optional<std::string> keepRowsOfHost(const std::string& xml, const std::string& hostId) {
    DocPtr doc = parseDump(xml);
    if (!doc) return std::nullopt;
    dropOtherHosts(xmlDocGetRootElement(doc.get()), hostId);
    return dumpText(doc.get());
}

std::optional<std::string> withNewerLastMessageTimes(const std::string& xml,
                                                     const std::map<std::string, std::int64_t>& newestMillis) {
    if (newestMillis.empty()) return xml;
    DocPtr doc = parseDump(xml);
    if (!doc) return std::nullopt;
    if (!moveLastMessageTimes(xmlDocGetRootElement(doc.get()), newestMillis)) return xml;
    return dumpText(doc.get());
}

namespace {

void collectRows(xmlNode* parent, const std::string& table, std::vector<std::map<std::string, std::string>>& rows) {
    for (xmlNode* n = parent->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        if (strcasecmp(reinterpret_cast<const char*>(n->name), table.c_str()) == 0) {
            std::map<std::string, std::string> row;
            for (xmlAttr* a = n->properties; a; a = a->next) {
                xmlChar* value = xmlNodeGetContent(reinterpret_cast<xmlNode*>(a));
                row[reinterpret_cast<const char*>(a->name)] = value ? reinterpret_cast<const char*>(value) : "";
                xmlFree(value);
            }
            rows.push_back(std::move(row));
        }
        collectRows(n, table, rows);
    }
}

}  // namespace

std::optional<std::vector<std::map<std::string, std::string>>> rowsOfTable(const std::string& xml,
                                                                           const std::string& table) {
    DocPtr doc = parseDump(xml);
    if (!doc) return std::nullopt;
    std::vector<std::map<std::string, std::string>> rows;
    collectRows(xmlDocGetRootElement(doc.get()), table, rows);
    return rows;
}

}  // namespace testserver
