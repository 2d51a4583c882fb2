#include "agent/tablestore/table_loader.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlreader.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

#include "agent/tablestore/imds.h"
#include "agent/tablestore/values.h"
#include "common/key_table.h"
#include "common/log.h"
#include "platform/files.h"
#include "platform/private_files.h"

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

// The documents are read twice with libxml2's streaming reader, which keeps
// only the path from the root to the current node (with the attributes of
// every element on it) in memory. The first pass checks that the document is
// well-formed, so a bad or truncated one loads nothing, and finds ahead the
// keys that an element inherits from its descendants; the second appends
// the rows. Elements are numbered in document order, the root being 0.
using ElementNumber = std::uint64_t;
// Key texts found below an element: by element number and column index.
using DescendantKeys = std::map<std::pair<ElementNumber, std::size_t>, std::string>;

// What a foreign key of an element inherits from its descendants: down a
// chain of second child nodes (the second child node of the element, then
// the second child node of that node, and so on) to an element of the
// referenced table, whose attribute supplies the key, or else the key that
// its own foreign key inherits from its ancestors. The first pass follows
// the chain as the nodes stream by.
struct DescendantSearch {
    ElementNumber element = 0;
    std::size_t column = 0;
    const ForeignKeyDefn* key = nullptr;  // of the element's table definition, kept alive by the caller
    std::shared_ptr<const TableDefn> defn;
    const xmlNode* parent = nullptr;  // the chain node whose second child comes next
    int childrenSeen = 0;
    int steps = 0;
};
constexpr int kMaxDescendantSteps = 4096;

// The key text of a chain's end at an element of the referenced table.
std::optional<std::string> keyOfReferencedElement(const xmlNode* node, const ForeignKeyDefn& fk) {
    if (auto text = attributeText(node, fk.referenceColumn)) return text;
    auto refDefn = getTableDefnShared(fk.referenceTable.c_str());
    if (const ForeignKeyDefn* own = foreignKeyOf(refDefn.get(), fk.referenceColumn))
        return inheritFromAncestors(node->parent, own->referenceTable, own->referenceColumn, 1);
    return std::nullopt;
}

// Foreign-key inheritance of one key of element E (the column at that index
// of its table): from the ancestors, or else what the first pass found below.
std::optional<std::string> inheritForeignKey(const xmlNode* element, const ForeignKeyDefn& fk,
                                             const DescendantKeys& below, ElementNumber number, std::size_t column) {
    if (auto text = inheritFromAncestors(element->parent, fk.referenceTable, fk.referenceColumn, 0)) return text;
    auto found = below.find({number, column});
    if (found != below.end()) return found->second;
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

// Turns one element of a declared table into a row: the row added, or none.
const RowObject* loadElement(const xmlNode* element, const std::shared_ptr<const TableDefn>& defnPtr, ValueMap& valueMap,
                 const DescendantKeys& below, ElementNumber number) {
    const TableDefn& defn = *defnPtr;
    if (!GetTableDataByName(defn.name.c_str()) && !CreateTable(defn.name.c_str()) &&
        !GetTableDataByName(defn.name.c_str()))
        return nullptr;
    std::vector<Attribute> attributes = attributesOf(element);

    std::vector<std::optional<std::string>> inheritedFk(defn.columns.size());
    std::vector<std::optional<std::string>> inheritedPk(defn.columns.size());
    std::vector<bool> isPk(defn.columns.size(), false);
    for (std::size_t i = 0; i < defn.columns.size(); ++i) {
        const ColumnDefn& col = defn.columns[i];
        if (const ForeignKeyDefn* fk = foreignKeyOf(&defn, col.name)) {
            inheritedFk[i] = inheritForeignKey(element, *fk, below, number, i);
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
    std::unique_ptr<RowObject> row = CreateNewRowObject(std::move(values), std::move(lengths));
    const RowObject* added = row.get();
    return AddNewRow(defn.name.c_str(), std::move(row)) ? added : nullptr;
}

struct ReaderDeleter {
    void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using Reader = std::unique_ptr<xmlTextReader, ReaderDeleter>;
// Makes a reader at the start of the document; null when it cannot.
using ReaderSource = std::function<Reader()>;

// The parser's messages are not wanted on stderr.
void ignoreError(void*, xmlErrorPtr) {}

Reader configured(xmlTextReader* reader) {
    if (reader) xmlTextReaderSetStructuredErrorHandler(reader, &ignoreError, nullptr);
    return Reader(reader);
}

// The node the reader stands on, and whether it is an element start, an
// element end, or any other node.
struct ReaderStep {
    const xmlNode* node = nullptr;
    int type = 0;
    int depth = 0;
    bool empty = false;  // an element without content (no end comes)
};

// Reads every node of the document, calling visit for each; true when the
// document was read to its end without an error.
template <class Visit>
bool readDocument(xmlTextReader* reader, Visit&& visit) {
    int result;
    while ((result = xmlTextReaderRead(reader)) == 1) {
        ReaderStep step;
        step.node = xmlTextReaderCurrentNode(reader);
        step.type = xmlTextReaderNodeType(reader);
        step.depth = xmlTextReaderDepth(reader);
        step.empty = step.type == XML_READER_TYPE_ELEMENT && xmlTextReaderIsEmptyElement(reader) == 1;
        if (step.node) visit(step);
    }
    return result == 0;
}

// First pass: the document is read to its end, and every foreign key that
// an element does not inherit from its ancestors is searched below it.
bool scanDocument(xmlTextReader* reader, DescendantKeys& below) {
    std::vector<DescendantSearch> searches;
    ElementNumber number = 0;
    auto endSearchesAt = [&searches](const xmlNode* node) {
        std::erase_if(searches, [node](const DescendantSearch& s) { return s.parent == node; });
    };
    return readDocument(reader, [&](const ReaderStep& step) {
        if (step.type == XML_READER_TYPE_END_ELEMENT) {
            endSearchesAt(step.node);
            return;
        }
        // The node is a child of the chain nodes that are its parent.
        for (auto it = searches.begin(); it != searches.end();) {
            DescendantSearch& s = *it;
            if (s.parent != step.node->parent || ++s.childrenSeen < 2) {
                ++it;
                continue;
            }
            bool ended = true;
            if (isElement(step.node) && s.steps++ < kMaxDescendantSteps) {
                if (iequals(nameOf(step.node), s.key->referenceTable)) {
                    if (auto text = keyOfReferencedElement(step.node, *s.key))
                        below.emplace(std::make_pair(s.element, s.column), std::move(*text));
                } else {
                    s.parent = step.node;
                    s.childrenSeen = 0;
                    ended = false;
                }
            }
            it = ended ? searches.erase(it) : std::next(it);
        }
        if (step.type != XML_READER_TYPE_ELEMENT) return;
        const ElementNumber element = number++;
        if (step.depth > 0 && !step.empty) {
            if (auto defn = getTableDefnShared(nameOf(step.node))) {
                for (std::size_t i = 0; i < defn->columns.size(); ++i) {
                    const ForeignKeyDefn* fk = foreignKeyOf(defn.get(), defn->columns[i].name);
                    if (!fk || inheritFromAncestors(step.node->parent, fk->referenceTable, fk->referenceColumn, 0))
                        continue;
                    searches.push_back({element, i, fk, defn, step.node, 0, 0});
                }
            }
        }
        if (step.empty) endSearchesAt(step.node);
    });
}

// The rows a load added, by table, to take them out again when the
// document cannot be read to its end after all.
struct AddedRows {
    std::string table;
    std::vector<const RowObject*> rows;
};

void noteAddedRow(std::vector<AddedRows>& added, const std::string& table, const RowObject* row) {
    auto it = std::find_if(added.rbegin(), added.rend(), [&](const AddedRows& a) { return a.table == table; });
    if (it == added.rend()) {
        added.push_back({table, {}});
        added.back().rows.push_back(row);
    } else {
        it->rows.push_back(row);
    }
}

// Second pass: every element below the root, in document order (an element,
// its descendants, then its next sibling), whose name is a declared table
// becomes a row. Undeclared elements are skipped but their children visited.
// A read that fails now (the file, not the document) takes the rows out again.
bool loadRows(xmlTextReader* reader, const DescendantKeys& below) {
    ValueMap valueMap;
    KeyTableInit(valueMap, 50);
    std::vector<AddedRows> added;
    ElementNumber number = 0;
    const bool whole = readDocument(reader, [&](const ReaderStep& step) {
        if (step.type != XML_READER_TYPE_ELEMENT) return;
        const ElementNumber element = number++;
        if (step.depth == 0) return;  // the root is never a row
        if (auto defn = getTableDefnShared(nameOf(step.node))) {
            try {
                if (const RowObject* row = loadElement(step.node, defn, valueMap, below, element))
                    noteAddedRow(added, defn->name, row);
            } catch (const std::bad_alloc&) {
                // The row is abandoned; rows of earlier elements stay.
            }
        }
    });
    if (!whole)
        for (const AddedRows& rows : added) DeleteRowObjects(rows.table.c_str(), rows.rows);
    return whole;
}

void initParser() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

void loadDocument(const ReaderSource& open) {
    initParser();
    DescendantKeys below;
    bool scanned = false;
    try {
        Reader first = open();
        scanned = first && scanDocument(first.get(), below);
    } catch (const std::bad_alloc&) {
        scanned = false;
    }
    if (!scanned) {
        LogError("error: could not parse file file.xml\n");
        return;
    }
    Reader second = open();
    if (!second || !loadRows(second.get(), below)) LogError("error: could not parse file file.xml\n");
    // The parser's global state is not cleaned up here: other threads may
    // be parsing at the same time, and xmlCleanupParser is not safe then.
}

// A document ends at its first zero byte, as it always has for the tree
// parser: a server that sends a terminating zero after the document is
// understood, and a zero inside the document leaves it unfinished.
std::size_t documentLength(const char* body, std::size_t length) {
    const void* zero = std::memchr(body, '\0', length);
    return zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - body) : length;
}

struct FileInput {
    std::FILE* file = nullptr;
    bool ended = false;
};

int readFromFile(void* context, char* buffer, int length) {
    auto* input = static_cast<FileInput*>(context);
    if (input->ended || length <= 0) return 0;
    const std::size_t n = std::fread(buffer, 1, static_cast<std::size_t>(length), input->file);
    if (n == 0 && std::ferror(input->file)) return -1;
    const std::size_t kept = documentLength(buffer, n);
    if (kept < n) input->ended = true;
    return static_cast<int>(kept);
}

void loadFromOpenFile(std::FILE* file) {
    FileInput input{file};
    loadDocument([&input] {
        input.ended = false;
        if (std::fseek(input.file, 0, SEEK_SET) != 0) return Reader();
        std::clearerr(input.file);
        return configured(xmlReaderForIO(&readFromFile, nullptr, &input, "file.xml", nullptr, kParseOptions));
    });
}

}  // namespace

void loadTableDataFromMemory(const char* body, std::size_t length) {
    LogTrace("@@@ Inside loadTableDataFromMemory @@@\n");
    if (body) length = documentLength(body, length);
    if (!body || length == 0 || length > static_cast<std::size_t>(INT32_MAX)) {
        LogError("error: could not parse file file.xml\n");
        return;
    }
    loadDocument([&] {
        return configured(xmlReaderForMemory(body, static_cast<int>(length), "file.xml", nullptr, kParseOptions));
    });
}

void loadTableDataFromFile(const char* path) {
    LogTrace("@@@ Inside loadTableDataFromFile @@@\n");
    std::unique_ptr<std::FILE, platform::FileCloser> file(path ? platform::openRegularFile(path, "rb") : nullptr);
    if (!file) {
        LogError("error: could not parse file file.xml\n");
        return;
    }
    loadFromOpenFile(file.get());
}

void loadTableDataFromStream(std::FILE* file) {
    LogTrace("@@@ Inside loadTableDataFromStream @@@\n");
    if (!file) {
        LogError("error: could not parse file file.xml\n");
        return;
    }
    loadFromOpenFile(file);
}
