#include "agent/tablestore/data_dict.h"

#include <libxml/xmlreader.h>

#include <sstream>
#include <list>
#include <mutex>
#include <shared_mutex>
#include <sstream>

#include "agent/tablestore/values.h"
#include "common/log.h"
#include "platform/fs.h"
#include "platform/private_files.h"

using namespace tablestore;

namespace {

std::shared_mutex g_dictLock;
std::list<std::shared_ptr<const TableDefn>> g_dictionary;  // file order
std::string g_rootFolder = ".";

// A dictionary file larger than this is refused rather than read into memory.
constexpr std::size_t kMaxDictionaryBytes = 64u << 20;
// Elements nested deeper than this inside a table are not kept.
constexpr int kMaxTableDepth = 32;

// One element of a table's subtree as the reader delivered it.
struct XmlTagInfo {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;  // the recognised ones
    std::string text;
    std::list<XmlTagInfo> children;
};

const std::string* attribute(const XmlTagInfo& tag, const char* name) {
    for (const auto& a : tag.attributes)
        if (a.first == name) return &a.second;
    return nullptr;
}

std::string trimmed(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    std::size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool isRecognisedAttribute(const std::string& name) {
    return name == "name" || name == "system" || name == "reference-table-name" || name == "isbidirectional";
}

// The message for a document that breaks off inside an element of this name.
const char* missingEndMessage(const std::string& name) {
    if (iequals(name, "description")) return "\nNo Description end tag\n";
    if (iequals(name, "primary-key-column")) return "\nMissing primary-key-column end tag\n";
    if (iequals(name, "fk-local-column")) return "\n Missing endof FK-LOCAL-COLUMN tag\n";
    if (iequals(name, "fk-reference-column")) return "\nMissing endof FK-REFERENCE-COLUMN\n";
    if (iequals(name, "fk-columns")) return "\nMissing end FK-COLUMNS\n";
    if (iequals(name, "fk-constraints")) return "\nMissing endof FK-CONSTRAINTS tag\n";
    if (iequals(name, "from")) return "\nNo Ending FROM tag \n";
    if (iequals(name, "to")) return "\nNo ending TO tag \n";
    if (iequals(name, "value")) return "\n No ending Value tag\n";
    return nullptr;
}

// The elements still open where a broken document goes wrong: a light scan
// of the raw text that stops at the first end tag that closes another
// element. The reader may fail before it has delivered any node of a small
// document, so the open elements are found again here for the message.
std::vector<std::string> openElementsAtFault(std::string_view doc) {
    std::vector<std::string> open;
    std::size_t pos = 0;
    auto nameAt = [&](std::size_t p) {
        std::size_t e = p;
        while (e < doc.size() && doc[e] != '>' && doc[e] != '/' && doc[e] != ' ' && doc[e] != '\t' &&
               doc[e] != '\r' && doc[e] != '\n')
            ++e;
        return std::string(doc.substr(p, e - p));
    };
    while ((pos = doc.find('<', pos)) != std::string_view::npos) {
        std::string_view rest = doc.substr(pos);
        std::size_t end;
        if (rest.substr(0, 4) == "<!--") end = doc.find("-->", pos);
        else if (rest.substr(0, 9) == "<![CDATA[") end = doc.find("]]>", pos);
        else end = doc.find('>', pos);
        if (end == std::string_view::npos) break;
        if (rest.size() > 1 && rest[1] == '/') {
            std::string name = nameAt(pos + 2);
            if (open.empty() || open.back() != name) return open;
            open.pop_back();
        } else if (rest.size() > 1 && rest[1] != '!' && rest[1] != '?' && doc[end - 1] != '/') {
            open.push_back(nameAt(pos + 1));
        }
        pos = end + 1;
    }
    return open;
}

// --- From the element tree to the definition -----------------------------
// Element names are compared case-sensitively here: only the lower-case
// forms are understood.

bool buildColumn(const XmlTagInfo& tag, ColumnDefn& col) {
    const std::string* name = attribute(tag, "name");
    if (!name) {
        if (tag.attributes.empty()) return false;
        name = &tag.attributes.front().second;
    }
    col.name = *name;
    bool typeSeen = false;
    std::optional<std::string> defaultText;
    for (const auto& child : tag.children) {
        const std::string& n = child.name;
        if (n == "data-type") {
            typeSeen = true;
            col.type = DataTypeCode(trimmed(child.text));
        } else if (n == "nullable") {
            col.nullable = iequals(trimmed(child.text), "true");
        } else if (n == "max-size") {
            std::int64_t v = 0;
            col.maxSize = ParseDecimalInteger(trimmed(child.text), v) && v >= INT32_MIN && v <= INT32_MAX
                              ? static_cast<int>(v)
                              : 0;
        } else if (n == "description") {
            col.description = child.text;
        } else if (n == "default-value") {
            defaultText = child.text;
        } else if (n == "unique") {
            col.unique = trimmed(child.text) == "true";
        } else if (n == "uniquevalue-generation") {
            for (const auto& g : child.children)
                if (g.name == "generator-name") col.generatorName = trimmed(g.text);
        } else if (n == "allowed-values") {
            AllowedValues allowed;
            bool fromSeen = false, toSeen = false;
            for (const auto& v : child.children) {
                if (v.name == "value") {
                    allowed.values.push_back(v.text);
                } else if (v.name == "from") {
                    fromSeen = true;
                    allowed.from = v.text;
                } else if (v.name == "to") {
                    toSeen = true;
                    allowed.to = v.text;
                }
            }
            if (fromSeen && !toSeen) {
                LogError("In the allowed values attribute, 'to' tag is missing.\n");
                return false;
            }
            allowed.isRange = fromSeen;
            col.allowedValues = std::move(allowed);
        }
    }
    if (!typeSeen) {
        LogError("Column data type not supported - Error while creating column definition.\n");
        col.type = QOR_SQL_NOT_SUPPORTED_TYPE;
    }
    if (defaultText) {
        // A default that cannot be converted leaves the column without one.
        auto v = ConvertCriteriaLiteral(*defaultText, col.type);
        if (v.value) {
            col.defaultValue = std::move(v.value);
            col.defaultLength = v.length;
        }
    }
    return true;
}

bool buildForeignKey(const XmlTagInfo& tag, TableDefn& table) {
    const std::string* refTable = attribute(tag, "reference-table-name");
    const std::string* bidirectional = attribute(tag, "isbidirectional");
    bool cascade = false;
    const XmlTagInfo* columns = nullptr;
    for (const auto& child : tag.children) {
        if (child.name == "fk-columns") columns = &child;
        else if (child.name == "fk-constraints") cascade = trimmed(child.text) == "ON-DELETE-CASCADE";
    }
    if (!columns) {
        LogInfo("fk-columns tag not found \n");
        return true;
    }
    bool first = true;
    for (const auto& fkColumn : columns->children) {
        if (fkColumn.name != "fk-column") continue;
        ForeignKeyDefn fk;
        fk.referenceTable = refTable ? *refTable : std::string();
        for (const auto& part : fkColumn.children) {
            if (part.name == "fk-local-column") fk.localColumn = trimmed(part.text);
            else if (part.name == "fk-reference-column") fk.referenceColumn = trimmed(part.text);
        }
        fk.onDeleteCascade = cascade;
        fk.bidirectional = first && bidirectional && *bidirectional == "true";
        first = false;
        table.foreignKeys.push_back(std::move(fk));
    }
    return true;
}

std::shared_ptr<TableDefn> buildTable(const XmlTagInfo& tag) {
    if (tag.name != "table") return nullptr;
    auto table = std::make_shared<TableDefn>();
    const std::string* name = attribute(tag, "name");
    if (!name && !tag.attributes.empty()) name = &tag.attributes.front().second;
    if (!name || name->empty()) {
        LogError("\nTable definition without a name is skipped\n");
        return nullptr;
    }
    table->name = *name;
    if (const std::string* system = attribute(tag, "system")) table->system = *system;
    int descriptions = 0;
    bool afterFirst = false;
    for (const auto& child : tag.children) {
        const std::string& n = child.name;
        if (n == "description") {
            // One description, before the other children.
            if (++descriptions > 1 || afterFirst) {
                LogError("\nDescription tag ambiguity \n");
                return nullptr;
            }
            table->description = child.text;
        } else if (n == "columns") {
            for (const auto& c : child.children) {
                if (c.name != "column") continue;
                ColumnDefn col;
                if (!buildColumn(c, col)) return nullptr;
                table->columns.push_back(std::move(col));
            }
        } else if (n == "primary-key") {
            table->hasConstraints = true;
            for (const auto& k : child.children)
                if (k.name == "primary-key-column") table->primaryKeys.push_back(trimmed(k.text));
        } else if (n == "foreign-keys") {
            table->hasConstraints = true;
            for (const auto& fk : child.children)
                if (fk.name == "foreign-key" && !buildForeignKey(fk, *table)) return nullptr;
        }
        afterFirst = true;
    }
    return table;
}

// --- The reader ---------------------------------------------------------------

std::string readerText(const xmlChar* s) { return s ? reinterpret_cast<const char*>(s) : std::string(); }

struct ReaderDeleter {
    void operator()(xmlTextReaderPtr r) const { xmlFreeTextReader(r); }
};

// Reads the document sequentially; every "table" element directly under the
// root is gathered into an element tree and then converted.
void parseDictionary(const char* data, std::size_t length, const char* name) {
    LogInfo("\n Inside XmlDataParser\n");
    if (length > static_cast<std::size_t>(INT32_MAX)) {
        LogError("%s : failed to parse\n", name);
        return;
    }
    std::unique_ptr<xmlTextReader, ReaderDeleter> reader(
        xmlReaderForMemory(data, static_cast<int>(length), name, nullptr,
                           XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!reader) {
        LogError("%s : failed to parse\n", name);
        return;
    }
    xmlTextReaderPtr r = reader.get();
    bool tableSeen = false;
    std::unique_ptr<XmlTagInfo> table;  // the table being read
    std::vector<XmlTagInfo*> open;       // its open elements, innermost last
    int skippedDepth = 0;                // elements too deep to keep
    int ret;
    while ((ret = xmlTextReaderRead(r)) == 1) {
        int type = xmlTextReaderNodeType(r);
        int depth = xmlTextReaderDepth(r);
        if (!table) {
            if (type != XML_READER_TYPE_ELEMENT || depth != 1) continue;
            std::string elementName = readerText(xmlTextReaderConstName(r));
            if (!iequals(elementName, "table")) {
                // The dictionary's description and any other top-level node
                // are skipped: nothing below depth 1 is looked at outside a table.
                continue;
            }
            tableSeen = true;
            table = std::make_unique<XmlTagInfo>();
            table->name = elementName;
            open.assign(1, table.get());
        } else if (type == XML_READER_TYPE_ELEMENT) {
            if (skippedDepth > 0 || static_cast<int>(open.size()) >= kMaxTableDepth) {
                if (!xmlTextReaderIsEmptyElement(r)) ++skippedDepth;
                continue;
            }
            XmlTagInfo& child = open.back()->children.emplace_back();
            child.name = readerText(xmlTextReaderConstName(r));
            open.push_back(&child);
        } else if (type == XML_READER_TYPE_END_ELEMENT) {
            if (skippedDepth > 0) {
                --skippedDepth;
                continue;
            }
            open.pop_back();
        } else if (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA) {
            if (skippedDepth == 0) open.back()->text += readerText(xmlTextReaderConstValue(r));
            continue;
        } else {
            continue;  // comments and whitespace between elements
        }
        if (type == XML_READER_TYPE_ELEMENT && skippedDepth == 0) {
            XmlTagInfo& tag = *open.back();
            bool other = false;
            if (xmlTextReaderHasAttributes(r) == 1) {
                while (xmlTextReaderMoveToNextAttribute(r) == 1) {
                    std::string attrName = readerText(xmlTextReaderConstName(r));
                    if (isRecognisedAttribute(attrName))
                        tag.attributes.emplace_back(attrName, readerText(xmlTextReaderConstValue(r)));
                    else
                        other = true;
                }
                xmlTextReaderMoveToElement(r);
            }
            if (other) LogError("\n Not all Attributes were read\n");
            if (tag.name == table->name && open.size() == 1)
                LogTrace("@@@@Parsing Table Info : %s @@@@\n",
                         tag.attributes.empty() ? "" : tag.attributes.front().second.c_str());
            if (xmlTextReaderIsEmptyElement(r)) open.pop_back();
        }
        if (open.empty()) {
            // The table element is complete.
            if (auto defn = buildTable(*table)) {
                std::unique_lock<std::shared_mutex> hold(g_dictLock);
                g_dictionary.push_back(std::move(defn));
                LogTrace("\t@@@@ Loaded Table definition Successfully @@@@\n");
            }
            LogTrace("\n Inside FreeXmlTagInfoList\n");
            table.reset();
        }
    }
    if (ret != 0) {
        std::vector<std::string> openNames = openElementsAtFault(std::string_view(data, length));
        for (auto it = openNames.rbegin(); it != openNames.rend(); ++it) {
            if (const char* message = missingEndMessage(*it)) {
                LogError("%s", message);
                break;
            }
        }
        LogError("\nxmlTextReaderRead returned error \n");
        LogError("%s : failed to parse\n", name);
        return;
    }
    if (!tableSeen) LogError("\nTABLE tag missing\n");
}

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder + platform::kPathSeparator + name;
}

// Loads every file named in a list file (whitespace-separated names).
bool loadListed(const std::string& listPath, const std::string& folder) {
    std::string names;
    if (!platform::readFileWhole(listPath, &names, kMaxDictionaryBytes)) return false;
    std::istringstream list(names);
    std::string name;
    while (list >> name) LoadDataDictFromXMLFile(joinPath(folder, name).c_str());
    return true;
}

std::string lowerOf(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

unsigned char DataTypeCode(const std::string& text) {
    static const std::pair<const char*, unsigned char> kTypes[] = {
        {"qor_sql_not_supported_type", 0}, {"qor_sql_tinyint", 1}, {"qor_sql_unsigned_tinyint", 2},
        {"qor_sql_smallint", 3}, {"qor_sql_unsigned_smallint", 4}, {"qor_sql_int", 5}, {"integer", 5},
        {"qor_sql_unsigned_int", 6}, {"bigint", 7}, {"long", 7}, {"qor_sql_unsigned_long_int", 8},
        {"qor_sql_float", 9}, {"float", 9}, {"qor_sql_double", 10}, {"qor_sql_real", 11},
        {"qor_sql_decimal", 12}, {"qor_sql_numeric", 13}, {"qor_sql_char", 14}, {"char", 15},
        {"qor_sql_date", 16}, {"date", 16}, {"qor_sql_time", 17}, {"time", 17}, {"qor_sql_datetime", 18},
        {"datetime", 18}, {"timestamp", 18}, {"boolean", 19}, {"qor_sql_blob", 20}, {"blob", 20},
        {"qor_sql_clob", 21}, {"clob", 21},
    };
    std::string key = lowerOf(text);
    for (const auto& t : kTypes)
        if (key == t.first) return t.second;
    return QOR_SQL_NOT_SUPPORTED_TYPE;
}

bool LoadDataDictFromMemory(const char* data, std::size_t length, const char* name) {
    if (!data) return false;
    try {
        parseDictionary(data, length, name ? name : "memory");
    } catch (const std::bad_alloc&) {
        LogError("MEMORY_ALLOCATION_FAILURE\n");
    }
    return true;
}

bool LoadDataDictFromXMLFile(const char* path) {
    LogInfo("\nInside LoadDataDictFromXMLFile() \n\n");
    if (!path) return false;
    std::string content;
    if (!platform::readFileWhole(path, &content, kMaxDictionaryBytes)) {
        LogError("Unable to open %s\n", path);
        return true;
    }
    if (content.size() > kMaxDictionaryBytes) {
        LogError("%s : failed to parse\n", path);
        return true;
    }
    LoadDataDictFromMemory(content.data(), content.size(), path);
    return true;
}

void SetDataDictRootFolder(const char* folder) {
    std::unique_lock<std::shared_mutex> hold(g_dictLock);
    g_rootFolder = folder ? folder : ".";
}

bool LoadAllDataDictFiles() {
    const std::string dataFolder = joinPath("..", "data");
    if (loadListed(joinPath(dataFolder, "datadictionary.txt"), dataFolder)) return true;
    std::string root;
    {
        std::shared_lock<std::shared_mutex> hold(g_dictLock);
        root = g_rootFolder;
    }
    std::string listPath = root + "/data/datadictionary.txt";
    LogInfo("Opening %s\n", listPath.c_str());
    if (loadListed(listPath, root + "/data")) return true;
    LogError("Cannot open DataDictionary File.\n");
    return false;
}

bool LoadDataDictFiles(const char* folder) {
    if (!folder) return false;
    return loadListed(joinPath(folder, "datadictionary.txt"), folder);
}

std::shared_ptr<const TableDefn> getTableDefnShared(const char* name) {
    if (!name) {
        LogError("Table Name is NULL.\n");
        return nullptr;
    }
    std::shared_lock<std::shared_mutex> hold(g_dictLock);
    for (const auto& t : g_dictionary)
        if (iequals(t->name, name)) return t;
    return nullptr;
}

const TableDefn* getTableDefn(const char* name) { return getTableDefnShared(name).get(); }

const ColumnDefn* GetColumnDefnEntry(const char* tableName, const char* columnName) {
    if (!tableName || !columnName) {
        LogError("Cannot fetch default value;\n");
        return nullptr;
    }
    const TableDefn* table = getTableDefn(tableName);
    if (!table) {
        LogError("No definition found for table %s\n", tableName);
        return nullptr;
    }
    for (const auto& c : table->columns)
        if (c.name == columnName) return &c;
    return nullptr;
}

const std::string* GetDefaultValue(const char* tableName, const char* columnName, int* found) {
    if (found) *found = 0;
    const ColumnDefn* col = GetColumnDefnEntry(tableName, columnName);
    if (!col || !col->defaultValue) return nullptr;
    if (found) *found = 1;
    return &*col->defaultValue;
}

const ForeignKeyDefn* GetForeignKeyDefn(const TableDefn* table, const char* localColumn) {
    if (!table || !localColumn) return nullptr;
    if (!table->hasConstraints) {
        LogError("No constraint Definition \n");
        return nullptr;
    }
    if (table->foreignKeys.empty()) {
        LogError("No Foreignkey Entries in Definition \n");
        return nullptr;
    }
    for (const auto& fk : table->foreignKeys)
        if (iequals(fk.localColumn, localColumn)) return &fk;
    return nullptr;
}

std::vector<std::shared_ptr<const TableDefn>> AllTableDefns() {
    std::shared_lock<std::shared_mutex> hold(g_dictLock);
    return {g_dictionary.begin(), g_dictionary.end()};
}

void PrintDataDictionary() {
    const std::string dashes = std::string(39, '-') + "\n\n";
    const std::string stars = std::string(32, '*') + "\n";
    for (const auto& t : AllTableDefns()) {
        if (t->columns.empty()) continue;
        LogInfo("Table Name : %s\n", t->name.c_str());
        LogInfo("Description: %s\n", t->description ? t->description->c_str() : "");
        LogInfo("%s", dashes.c_str());
        for (const auto& c : t->columns) {
            LogInfo("Column Name : %s\n", c.name.c_str());
            LogInfo("Column Type : %d\n", c.type);
            LogInfo("Unique Flag : %s\n", c.unique ? "TRUE" : "FALSE");
            LogInfo("Description : %s\n", c.description ? c.description->c_str() : "");
            LogInfo("%s", dashes.c_str());
        }
        for (const auto& k : t->primaryKeys) LogInfo("Primary key : %s\n\n", k.c_str());
        if (!t->foreignKeys.empty()) {
            LogInfo("Foreign key Constraints\n");
            LogInfo("%s", stars.c_str());
            for (const auto& fk : t->foreignKeys) {
                LogInfo("Column Name : %s\n", fk.localColumn.c_str());
                LogInfo("Ref Column  : %s\n", fk.referenceColumn.c_str());
                LogInfo("Tablename : %s\n", fk.referenceTable.c_str());
            }
            LogInfo("%s", stars.c_str());
        }
    }
}

bool ReleaseTableDefn(const char* name) {
    if (!name) return false;
    std::unique_lock<std::shared_mutex> hold(g_dictLock);
    for (auto it = g_dictionary.begin(); it != g_dictionary.end(); ++it) {
        if (iequals((*it)->name, name)) {
            g_dictionary.erase(it);  // a table created from it keeps its own reference
            return true;
        }
    }
    return false;
}

void ReleaseDataDictionary() {
    std::unique_lock<std::shared_mutex> hold(g_dictLock);
    g_dictionary.clear();
}
