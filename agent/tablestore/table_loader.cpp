#include "agent/tablestore/table_loader.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <mutex>

#include "agent/tablestore/imds.h"
#include "agent/tablestore/values.h"
#include "common/key_table.h"
#include "common/log.h"

using namespace tablestore;

namespace {

// Parse options: no network, no messages of the parser on stderr, and the
// parser's default limits (no XML_PARSE_HUGE): documents nested deeper than
// its depth limit, or with gigantic texts, do not parse.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
// Bounds of the expansion of entity references in attribute values.
constexpr std::size_t kMaxAttributeBytes = 1u << 20;
constexpr int kMaxEntityDepth = 8;
// Bound of the foreign-key chains followed by inheritance and references
// (a dictionary may declare a cycle).
constexpr int kMaxChainSteps = 32;

using ValueMap = KeyTable<int>;

const char* nameOf(const xmlNode* node) { return reinterpret_cast<const char*>(node->name); }

bool isElement(const xmlNode* node) { return node && node->type == XML_ELEMENT_NODE; }

// Appends the text of an attribute's children, expanding internal entities
// within the bounds above; external entities are never read.
bool appendNodeText(const xmlNode* node, std::string& out, int depth) {
    for (; node; node = node->next) {
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            if (node->content) out += reinterpret_cast<const char*>(node->content);
        } else if (node->type == XML_ENTITY_REF_NODE) {
            const xmlEntity* entity = reinterpret_cast<const xmlEntity*>(node->children);
            if (!entity || depth >= kMaxEntityDepth) continue;
            if (entity->etype != XML_INTERNAL_GENERAL_ENTITY && entity->etype != XML_INTERNAL_PREDEFINED_ENTITY)
                continue;
            if (entity->children) {
                if (!appendNodeText(entity->children, out, depth + 1)) return false;
            } else if (entity->content) {
                out += reinterpret_cast<const char*>(entity->content);
            }
        }
        if (out.size() > kMaxAttributeBytes) return false;
    }
    return true;
}

struct Attribute {
    std::string name;
    std::string text;
};

std::vector<Attribute> attributesOf(const xmlNode* element) {
    std::vector<Attribute> out;
    for (const xmlAttr* a = element->properties; a; a = a->next) {
        Attribute attr{reinterpret_cast<const char*>(a->name), {}};
        if (!appendNodeText(a->children, attr.text, 0)) continue;  // too large: ignored
        out.push_back(std::move(attr));
    }
    return out;
}

// The text of an element's attribute of that name (case-insensitive).
std::optional<std::string> attributeText(const xmlNode* element, const std::string& name) {
    for (const xmlAttr* a = element->properties; a; a = a->next) {
        if (iequals(reinterpret_cast<const char*>(a->name), name)) {
            std::string text;
            if (!appendNodeText(a->children, text, 0)) return std::nullopt;
            return text;
        }
    }
    return std::nullopt;
}

// The first foreign key of a table with that local column, without the
// look-up's diagnostics (the loader asks for every element).
const ForeignKeyDefn* foreignKeyOf(const TableDefn* table, const std::string& localColumn) {
    if (!table) return nullptr;
    for (const auto& fk : table->foreignKeys)
        if (iequals(fk.localColumn, localColumn)) return &fk;
    return nullptr;
}

bool isForeignKeyColumn(const TableDefn& table, const std::string& column) {
    return foreignKeyOf(&table, column) != nullptr;
}

// The value that a column Q of table R inherits from the ancestors, walking
// upwards from start: the first ancestor with an attribute Q, or, at an
// ancestor named R without one, what R's own foreign key on Q inherits.
std::optional<std::string> inheritFromAncestors(const xmlNode* start, const std::string& refTable,
                                                const std::string& refColumn, int steps) {
    for (const xmlNode* n = start; isElement(n); n = n->parent) {
        if (auto text = attributeText(n, refColumn)) return text;
        if (iequals(nameOf(n), refTable) && steps < kMaxChainSteps) {
            auto refDefn = getTableDefnShared(refTable.c_str());
            if (const ForeignKeyDefn* fk = foreignKeyOf(refDefn.get(), refColumn))
                if (auto text = inheritFromAncestors(start, fk->referenceTable, fk->referenceColumn, steps + 1))
                    return text;
        }
    }
    return std::nullopt;
}

// Foreign-key inheritance of one key of element E.
std::optional<std::string> inheritForeignKey(const xmlNode* element, const ForeignKeyDefn& fk) {
    if (auto text = inheritFromAncestors(element->parent, fk.referenceTable, fk.referenceColumn, 0)) return text;
    // Then down a chain of second child nodes, looking for an element of the
    // referenced table.
    const xmlNode* node = element->children ? element->children->next : nullptr;
    for (int steps = 0; node && steps < 4096; ++steps) {
        if (isElement(node) && iequals(nameOf(node), fk.referenceTable)) {
            if (auto text = attributeText(node, fk.referenceColumn)) return text;
            auto refDefn = getTableDefnShared(fk.referenceTable.c_str());
            if (const ForeignKeyDefn* own = foreignKeyOf(refDefn.get(), fk.referenceColumn))
                return inheritFromAncestors(node->parent, own->referenceTable, own->referenceColumn, 1);
            return std::nullopt;
        }
        node = isElement(node) && node->children ? node->children->next : nullptr;
    }
    return std::nullopt;
}

std::optional<std::string> inheritPrimaryKey(const xmlNode* element, const std::string& column) {
    for (const xmlNode* n = element->parent; isElement(n); n = n->parent)
        if (auto text = attributeText(n, column)) return text;
    return std::nullopt;
}

std::vector<std::string> splitColons(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return parts;
}

std::string joined(const std::string& a, const std::string& b, const std::string& c) { return a + ":" + b + ":" + c; }

// Resolves a reference R:Q[:K...] for column X of table N; none means the
// column takes its default.
std::optional<int> resolveReference(const std::string& text, const TableDefn& table, const ColumnDefn& column,
                                    ValueMap& valueMap) {
    auto parts = splitColons(text);
    const std::string& r = parts[0];
    const std::string& q = parts[1];
    const bool hasK = parts.size() >= 3;
    const std::string k = hasK ? parts[2] : std::string();
    if (const int* known = KeyTableGet(valueMap, text)) {
        int v = *known;
        if (hasK) KeyTablePut(valueMap, joined(table.name, column.name, k), v);
        return v;
    }
    int v = -1;
    std::vector<std::pair<std::string, std::string>> chain;  // tables and columns passed on the way
    if (column.generatorName) {
        v = GenerateID(table.name.c_str(), &column);
    } else if (r.empty() || q.empty()) {
        LogError("Unable to get Column details for AutoID generation \n");
        return std::nullopt;
    } else {
        std::string chainTable = r, chainColumn = q;
        auto defn = getTableDefnShared(chainTable.c_str());
        const ColumnDefn* col = defn ? GetColumnDefnEntry(chainTable.c_str(), chainColumn.c_str()) : nullptr;
        v = GenerateID(chainTable.c_str(), col);
        while (v == -1 && chain.size() < static_cast<std::size_t>(kMaxChainSteps)) {
            const ForeignKeyDefn* fk = foreignKeyOf(defn.get(), chainColumn);
            if (!fk) break;
            chainTable = fk->referenceTable;
            chainColumn = fk->referenceColumn;
            chain.emplace_back(chainTable, chainColumn);
            defn = getTableDefnShared(chainTable.c_str());
            col = defn ? GetColumnDefnEntry(chainTable.c_str(), chainColumn.c_str()) : nullptr;
            v = GenerateID(chainTable.c_str(), col);
        }
    }
    if (v == -1 && hasK) {
        std::int64_t parsed = 0;
        v = ParseDecimalInteger(k, parsed) ? static_cast<std::int32_t>(static_cast<std::uint32_t>(parsed)) : 0;
    }
    if (!chain.empty() && hasK) {
        for (const auto& step : chain) {
            std::string key = joined(step.first, step.second, k);
            if (const int* existing = KeyTableGet(valueMap, key)) {
                v = *existing;
                break;
            }
            KeyTablePut(valueMap, key, v);
        }
    }
    if (hasK) KeyTablePut(valueMap, joined(table.name, column.name, k), v);
    KeyTablePut(valueMap, text, v);
    return v;
}

std::size_t colonCount(const std::string& text) {
    std::size_t n = 0;
    for (char c : text) n += c == ':';
    return n;
}

// The value of an attribute text for a column; false means the column
// takes its default instead.
bool attributeValue(const std::string& text, const TableDefn& table, const ColumnDefn& column, ValueMap& valueMap,
                    TypedValue& out) {
    if (colonCount(text) < 2) {
        out = ConvertDumpText(text, column.type);
        return true;
    }
    auto parts = splitColons(text);
    if (iequals(table.name, "Workflow_Statements") && iequals(column.name, "NEXT_STATEMENT_ID") && parts[2] == "0") {
        out = BytesOf(static_cast<std::int32_t>(0));
        return true;
    }
    switch (column.type) {
        case QOR_SQL_CHAR:
        case QOR_SQL_STRING:
        case QOR_SQL_BLOB: {
            std::size_t second = text.find(':', text.find(':') + 1);
            out = ConvertDumpText(std::string_view(text).substr(second + 1), column.type);
            return true;
        }
        case QOR_SQL_DATE:
        case QOR_SQL_TIME:
        case QOR_SQL_DATETIME:
            out = ConvertDumpText(text, column.type);
            return true;
        default: {
            auto v = resolveReference(text, table, column, valueMap);
            if (!v) return false;
            // Stored in the column's own width, so that readers of 64-bit
            // columns never read beyond the value.
            out = IntegerValue(*v, column.type);
            return true;
        }
    }
}

void assignText(std::vector<ColumnValue>& values, std::vector<int>& lengths, std::size_t i,
                const std::optional<std::string>& text, int type) {
    if (!text) {
        LogError("value parameter in AllocateAndCopyColumnValue is NULL \n");
        return;
    }
    auto v = ConvertDumpText(*text, type);
    lengths[i] = v.value ? v.length : 0;
    values[i] = std::move(v.value);
}

// Turns one element of a declared table into a row.
void loadElement(const xmlNode* element, const std::shared_ptr<const TableDefn>& defnPtr, ValueMap& valueMap) {
    const TableDefn& defn = *defnPtr;
    if (!GetTableDataByName(defn.name.c_str()) && !CreateTable(defn.name.c_str()) &&
        !GetTableDataByName(defn.name.c_str()))
        return;
    std::vector<Attribute> attributes = attributesOf(element);

    std::vector<std::optional<std::string>> inheritedFk(defn.columns.size());
    std::vector<std::optional<std::string>> inheritedPk(defn.columns.size());
    std::vector<bool> isPk(defn.columns.size(), false);
    for (std::size_t i = 0; i < defn.columns.size(); ++i) {
        const ColumnDefn& col = defn.columns[i];
        if (const ForeignKeyDefn* fk = foreignKeyOf(&defn, col.name)) {
            inheritedFk[i] = inheritForeignKey(element, *fk);
            continue;
        }
        for (const auto& key : defn.primaryKeys) {
            if (iequals(key, col.name)) {
                isPk[i] = true;
                inheritedPk[i] = inheritPrimaryKey(element, col.name);
                break;
            }
        }
    }

    std::vector<ColumnValue> values(defn.columns.size());
    std::vector<int> lengths(defn.columns.size(), 0);
    for (std::size_t i = 0; i < defn.columns.size(); ++i) {
        const ColumnDefn& col = defn.columns[i];
        const Attribute* attr = nullptr;
        for (const auto& a : attributes) {
            if (iequals(a.name, col.name)) {
                attr = &a;
                break;
            }
        }
        if (attr) {
            TypedValue v;
            if (attributeValue(attr->text, defn, col, valueMap, v)) {
                values[i] = std::move(v.value);
                lengths[i] = values[i] ? v.length : 0;
                continue;
            }
        }
        if (col.defaultValue) {
            values[i] = col.defaultValue;
            lengths[i] = col.defaultLength;
        }
        if (attr) continue;
        if (isForeignKeyColumn(defn, col.name)) assignText(values, lengths, i, inheritedFk[i], col.type);
        else if (isPk[i]) assignText(values, lengths, i, inheritedPk[i], col.type);
    }
    AddNewRow(defn.name.c_str(), CreateNewRowObject(std::move(values), std::move(lengths)));
}

// Depth-first walk below the root: an element, its descendants, then its
// next sibling. Undeclared elements are skipped but their children visited.
void walkDocument(const xmlDoc* doc) {
    const xmlNode* root = xmlDocGetRootElement(doc);
    if (!root) return;
    ValueMap valueMap;
    KeyTableInit(valueMap, 50);
    const xmlNode* node = root->children;
    while (node && node != root) {
        if (isElement(node)) {
            if (auto defn = getTableDefnShared(nameOf(node))) {
                try {
                    loadElement(node, defn, valueMap);
                } catch (const std::bad_alloc&) {
                    // The row is abandoned; rows of earlier elements stay.
                }
            }
            if (node->children) {
                node = node->children;
                continue;
            }
        }
        while (node && node != root && !node->next) node = node->parent;
        if (node && node != root) node = node->next;
    }
}

struct DocDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

void initParser() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

void loadDocument(xmlDoc* parsed) {
    std::unique_ptr<xmlDoc, DocDeleter> doc(parsed);
    if (!doc) {
        LogError("error: could not parse file file.xml\n");
        return;
    }
    walkDocument(doc.get());
    // The parser's global state is not cleaned up here: other threads may
    // be parsing at the same time, and xmlCleanupParser is not safe then.
}

}  // namespace

void loadTableDataFromMemory(const char* body, std::size_t length) {
    LogTrace("@@@ Inside loadTableDataFromMemory @@@\n");
    if (!body || length == 0 || length > static_cast<std::size_t>(INT32_MAX)) {
        LogError("error: could not parse file file.xml\n");
        return;
    }
    initParser();
    loadDocument(xmlReadMemory(body, static_cast<int>(length), "file.xml", nullptr, kParseOptions));
}

void loadTableDataFromFile(const char* path) {
    LogTrace("@@@ Inside loadTableDataFromFile @@@\n");
    if (!path) {
        LogError("error: could not parse file file.xml\n");
        return;
    }
    initParser();
    loadDocument(xmlReadFile(path, nullptr, kParseOptions));
}
