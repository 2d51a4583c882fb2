#include "agent/tablestore/imds.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <list>
#include <mutex>
#include <shared_mutex>
#include <unordered_set>

#include "agent/tablestore/criteria.h"
#include "agent/tablestore/values.h"
#include "common/key_table.h"
#include "common/log.h"
#include "common/resource_lock.h"
#include "common/text_format.h"
#include "platform/clock.h"

using namespace tablestore;

struct TableData {
    std::string name;
    unsigned char kind = TABLE_KIND_BASE;
    std::shared_ptr<const TableDefn> definition;  // kind 1
    std::shared_ptr<const CustomViewDefn> view;   // kind 2
    int columnCount = 0;
    int rowCount = 0;
    std::list<std::unique_ptr<RowObject>> rows;  // insertion order
    // Guards the row list, so that one table can be filled while another
    // thread selects from it without corrupting the list.
    std::mutex rowsLock;
};

namespace {

// The table list: tables are appended and never removed while the agent
// runs, so a TableData pointer stays valid; the lock guards the list itself.
std::shared_mutex g_tablesLock;
std::list<std::unique_ptr<TableData>> g_tables;

// The criteria lock object: one criteria is parsed, bound and evaluated at a time.
const char g_criteriaLock = 0;

// A column of a table or a view: its name and type code.
struct ColumnInfo {
    const char* name;
    unsigned char type;
};

std::vector<ColumnInfo> columnsOf(const std::shared_ptr<const TableDefn>& defn,
                                  const std::shared_ptr<const CustomViewDefn>& view) {
    std::vector<ColumnInfo> out;
    if (defn) {
        for (const auto& c : defn->columns) out.push_back({c.name.c_str(), c.type});
    } else if (view) {
        for (const auto& c : view->columns)
            out.push_back({c.columnName.c_str(), static_cast<unsigned char>(c.column ? c.column->type : 0)});
    }
    return out;
}

int columnIndex(const std::vector<ColumnInfo>& columns, const char* name) {
    if (!name) return -1;
    for (std::size_t i = 0; i < columns.size(); ++i)
        if (iequals(columns[i].name, name)) return static_cast<int>(i);
    return -1;
}

ResultHandle newResult(const TableData& table) {
    auto result = std::make_unique<ResultData>();
    result->kind = table.kind;
    result->definition = table.definition;
    result->view = table.view;
    result->columnCount = table.columnCount;
    return result;
}

void appendRow(ResultData& result, RowObject* row) {
    result.rows.push_back(row);
    result.rowCount = static_cast<int>(result.rows.size());
}

// Unlinks a row (found by identity) under the table's lock; none when absent.
std::unique_ptr<RowObject> unlinkRow(TableData& table, const RowObject* row) {
    for (auto it = table.rows.begin(); it != table.rows.end(); ++it) {
        if (it->get() == row) {
            std::unique_ptr<RowObject> out = std::move(*it);
            table.rows.erase(it);
            --table.rowCount;
            return out;
        }
    }
    return nullptr;
}

// Unlinks every row the predicate selects, first to last, each row's
// successor being noted before the row is tested; a pinned row only gets the
// deleted flag. The caller holds the table's lock.
template <class Pred>
void unlinkRows(TableData& table, Pred selects, std::vector<std::unique_ptr<RowObject>>& removed) {
    for (auto it = table.rows.begin(); it != table.rows.end();) {
        auto next = std::next(it);
        RowObject* row = it->get();
        if (selects(*row)) {
            if (row->status & ROW_PINNED) {
                row->status |= ROW_DELETED;
            } else {
                removed.push_back(std::move(*it));
                table.rows.erase(it);
                --table.rowCount;
            }
        }
        it = next;
    }
}

// Notifies listeners of removed rows while they still exist, then frees them.
void notifyAndFree(std::vector<std::unique_ptr<RowObject>>& removed, const char* tableName) {
    for (auto& row : removed) {
        SendNotification(row.get(), tableName);
        row.reset();
    }
}

// --- Text of the print and to-string diagnostics -------------------------

template <class T>
T readAs(const std::string& value) {
    T v{};
    if (value.size() >= sizeof v) std::memcpy(&v, value.data(), sizeof v);
    return v;
}

void formatValue(std::string& out, unsigned char type, const ColumnValue& value, int length) {
    if (!value) {
        out += "NULL\t";
        return;
    }
    switch (type) {
        case QOR_SQL_TINYINT:
        case QOR_SQL_UNSIGNED_TINYINT:
        case QOR_SQL_SMALLINT:
        case QOR_SQL_INT:
        case QOR_SQL_UNSIGNED_INT:
        case QOR_SQL_BOOLEAN: {
            std::int64_t v = 0;
            ReadStoredSigned(*value, length, v);
            out += FormatText("%d\t", static_cast<int>(v));
            break;
        }
        case QOR_SQL_FLOAT:
        case QOR_SQL_DOUBLE: {
            double v = 0;
            ReadStoredFloat(*value, length, v);
            out += FormatText("%f\t", v);
            break;
        }
        case QOR_SQL_CHAR:
        case QOR_SQL_STRING:
            out += value->c_str();
            out += '\t';
            break;
        case QOR_SQL_DATE: {
            auto d = readAs<DateRecord>(*value);
            out += FormatText("%04d-%02d-%02d\t", d.year, d.month, d.day);
            break;
        }
        case QOR_SQL_TIME: {
            auto t = readAs<TimeRecord>(*value);
            out += FormatText("%02d:%02d:%02d\t", t.hour, t.minute, t.second);
            break;
        }
        case QOR_SQL_DATETIME: {
            auto dt = readAs<DateTimeRecord>(*value);
            out += FormatText("%04d-%02d-%02d %02d:%02d:%02d\t", dt.date.year, dt.date.month, dt.date.day,
                    dt.time.hour, dt.time.minute, dt.time.second);
            break;
        }
        default:
            // Present values of the other codes (BIGINT among them) print nothing.
            break;
    }
}

// Columns whose values are secrets (the hosts' passwords): a print shows
// that a value is there, never the value, because the log is read by people
// who must not learn the hosts' credentials.
bool isSecretColumn(const char* name) {
    std::string upper = name ? name : "";
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper.find("PASSWORD") != std::string::npos || upper.find("PASSWD") != std::string::npos;
}

std::string formatRows(const std::vector<ColumnInfo>& columns, const std::vector<const RowObject*>& rows) {
    std::string out;
    for (const auto& c : columns) {
        out += c.name;
        out += '\t';
    }
    out += '\n';
    for (const RowObject* row : rows) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i >= row->values.size() || !row->values[i]) out += "NULL\t";
            else if (isSecretColumn(columns[i].name)) out += "********\t";
            else formatValue(out, columns[i].type, row->values[i], row->lengths[i]);
        }
        out += '\n';
    }
    return out;
}

std::optional<std::string> tableText(const char* name, unsigned char kind) {
    TableData* table = GetTableDataByName(name);
    try {
        if (!table || table->kind != kind) return std::nullopt;
        std::vector<const RowObject*> rows;
        std::lock_guard<std::mutex> hold(table->rowsLock);
        for (const auto& r : table->rows) rows.push_back(r.get());
        return formatRows(columnsOf(table->definition, table->view), rows);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

// The to-string text is built in a buffer of 1024 bytes: a longer dump is cut.
constexpr std::size_t kToStringBuffer = 1024;

std::optional<std::string> toStringOf(const char* name, unsigned char kind) {
    auto text = tableText(name, kind);
    if (!text) return std::nullopt;
    if (text->size() > kToStringBuffer - 1) text->resize(kToStringBuffer - 1);
    LogInfo("String Value of Relvar Data\n %s\n", text->c_str());
    return text;
}

// --- Listeners --------------------------------------------------------------

struct Listener {
    std::string name;
    std::vector<std::string> tables;  // sorted ascending, case-insensitively
    bool enabled = true;
    unsigned char eventType = 0;
    NotificationCallback callback;
};

std::mutex g_listenersLock;
std::vector<Listener> g_listeners;  // registration order

// Bisection search of a sorted table list.
bool IsListContains(const std::vector<std::string>& list, const char* key) {
    std::size_t lo = 0, hi = list.size();
    while (lo < hi) {
        std::size_t mid = lo + (hi - lo) / 2;
        int cmp = icompare(list[mid], key);
        if (cmp == 0) return true;
        if (cmp < 0) lo = mid + 1;
        else hi = mid;
    }
    LogInfo("List doesn't contains key \n");
    return false;
}

// --- Sequence state ---------------------------------------------------------

struct SequenceBatch {
    int next = 0;
    int end = 0;
};
std::mutex g_sequenceLock;
KeyTable<SequenceBatch> g_sequences;  // empty (no buckets) until a batch is obtained

}  // namespace

// --- Tables -------------------------------------------------------------------

TableData* GetTableDataByName(const char* name) {
    if (!name) return nullptr;
    std::shared_lock<std::shared_mutex> hold(g_tablesLock);
    for (const auto& t : g_tables)
        if (iequals(t->name, name)) return t.get();
    return nullptr;
}

int GetTableRowCount(const char* name) {
    TableData* table = GetTableDataByName(name);
    if (!table) return -1;
    std::lock_guard<std::mutex> hold(table->rowsLock);
    return table->rowCount;
}

namespace {

bool addTable(std::unique_ptr<TableData> table) {
    std::unique_lock<std::shared_mutex> hold(g_tablesLock);
    for (const auto& t : g_tables)
        if (iequals(t->name, table->name)) return false;
    g_tables.push_back(std::move(table));
    return true;
}

}  // namespace

bool CreateTable(const char* name) {
    LogTrace("@@@ Inside CreateTable @@@\n");
    if (!name) return false;
    auto defn = getTableDefnShared(name);
    if (!defn) return false;
    try {
        auto table = std::make_unique<TableData>();
        table->name = name;
        table->kind = TABLE_KIND_BASE;
        table->columnCount = static_cast<int>(defn->columns.size());
        table->definition = std::move(defn);
        return addTable(std::move(table));
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CreateCustomViewData(const char* name, std::shared_ptr<const CustomViewDefn> view) {
    LogTrace("@@@ Inside CreateCustomViewData @@@\n");
    if (!name || !view) return false;
    try {
        auto table = std::make_unique<TableData>();
        table->name = name;
        table->kind = TABLE_KIND_VIEW;
        table->columnCount = static_cast<int>(view->columns.size());
        table->view = std::move(view);
        return addTable(std::move(table));
    } catch (const std::bad_alloc&) {
        return false;
    }
}

std::unique_ptr<RowObject> CreateNewRowObject(std::vector<ColumnValue> values, std::vector<int> lengths) {
    LogTrace("@@@ Inside CreateNewRowObject @@@\n");
    try {
        auto row = std::make_unique<RowObject>();
        lengths.resize(values.size(), 0);
        row->values = std::move(values);
        row->lengths = std::move(lengths);
        row->status = ROW_NEW;
        return row;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool AddNewRow(const char* tableName, std::unique_ptr<RowObject> row) {
    LogTrace("@@@ Inside AddNewRow @@@\n");
    try {
        TableData* table = GetTableDataByName(tableName);
        if (!table || !row) return false;
        const TableDefn* defn = table->definition.get();
        auto columns = columnsOf(table->definition, table->view);
        if (columns.empty()) return false;
        // Every row has one entry per column, whatever the caller built.
        row->values.resize(columns.size());
        row->lengths.resize(columns.size(), 0);
        if (defn) {
            for (std::size_t i = 0; i < defn->columns.size(); ++i) {
                const ColumnDefn& col = defn->columns[i];
                if (!row->values[i] && col.generatorName) {
                    // A failed generation leaves the value to the default rather
                    // than storing -1 as an identifier.
                    int id = GenerateID(tableName, &col);
                    if (id != -1) {
                        auto v = BytesOf(static_cast<std::int32_t>(id));
                        row->values[i] = std::move(v.value);
                        row->lengths[i] = v.length;
                    }
                }
                if (!row->values[i] && col.defaultValue) {
                    row->values[i] = *col.defaultValue;
                    row->lengths[i] = col.defaultLength;
                }
            }
        }
        RowObject* added = row.get();
        {
            std::lock_guard<std::mutex> hold(table->rowsLock);
            table->rows.push_back(std::move(row));
            ++table->rowCount;
        }
        SendNotification(added, tableName);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool UpdateRowObject(const char* tableName, RowObject* row, const char* columnName, const void* value,
                     int length) {
    LogTrace("@@@ Inside UpdateRowObject @@@\n");
    TableData* table = GetTableDataByName(tableName);
    if (!table) return false;
    if (!row) {
        LogError("\t@@@@@ rowPtr passed as parameter in NULL @@@@@ \n");
        return false;
    }
    if (table->kind == TABLE_KIND_BASE && table->definition && columnName) {
        for (const auto& key : table->definition->primaryKeys) {
            if (iequals(key, columnName)) {
                LogError("@@@ UpdateRowObject Failed as PrimaryKey is being updated @@@\n");
                return false;
            }
        }
    }
    int index = columnIndex(columnsOf(table->definition, table->view), columnName);
    if (index < 0 || static_cast<std::size_t>(index) >= row->values.size()) return false;
    if (length < 0 || (length > 0 && !value)) return false;
    ColumnValue fresh;
    try {
        fresh.emplace(static_cast<const char*>(value ? value : ""), static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        return false;  // the old value stays
    }
    ColumnValue old;
    {
        std::lock_guard<std::mutex> hold(table->rowsLock);
        old = std::move(row->values[index]);
        row->values[index] = std::move(fresh);
        row->lengths[index] = length;
        row->status |= ROW_UPDATED;
    }
    SendNotification(row, tableName);
    return true;  // the old buffer is released here
}

bool DeleteRowObject(const char* tableName, RowObject* row) {
    LogTrace("@@@ Inside DeleteRowObject @@@\n");
    if (!row) return false;
    if (row->status & ROW_PINNED) {
        row->status |= ROW_DELETED;
        return true;
    }
    TableData* table = GetTableDataByName(tableName);
    if (!table) return false;
    std::vector<std::unique_ptr<RowObject>> removed;
    {
        std::lock_guard<std::mutex> hold(table->rowsLock);
        auto unlinked = unlinkRow(*table, row);
        if (!unlinked) return false;
        removed.push_back(std::move(unlinked));
    }
    notifyAndFree(removed, tableName);
    return true;
}

bool DeleteRowObjects(const char* tableName, const std::vector<const RowObject*>& rows) {
    LogTrace("@@@ Inside DeleteRowObjects @@@\n");
    TableData* table = GetTableDataByName(tableName);
    if (!table) return false;
    const std::unordered_set<const RowObject*> doomed(rows.begin(), rows.end());
    std::vector<std::unique_ptr<RowObject>> removed;
    {
        std::lock_guard<std::mutex> hold(table->rowsLock);
        unlinkRows(*table, [&doomed](const RowObject& row) { return doomed.count(&row) != 0; }, removed);
    }
    notifyAndFree(removed, tableName);
    return true;
}

bool DeleteRowObjectByCriteria(const char* tableName, const char* criteria) {
    LogTrace("@@@ Inside DeleteRowObjectByCriteria @@@\n");
    try {
        if (!criteria) return false;
        TableData* table = GetTableDataByName(tableName);
        if (!table) return false;
        std::vector<std::unique_ptr<RowObject>> removed;
        {
            ResourceLockGuard criteriaHold(&g_criteriaLock);
            auto tree = ParseCriteria(std::string(criteria) + "\n");
            if (!tree) return false;
            if (table->kind != TABLE_KIND_BASE || !table->definition || table->definition->columns.empty())
                return false;
            BindCriteria(*tree, table->definition->columns);
            std::lock_guard<std::mutex> hold(table->rowsLock);
            unlinkRows(*table, [&](const RowObject& row) { return EvaluateCriteria(*tree, row); }, removed);
        }
        notifyAndFree(removed, tableName);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool DeleteAllTableRowObjects(const char* tableName) {
    LogTrace("@@@ Inside DeleteAllTableRowObjects @@@\n");
    if (!tableName) {
        LogError("\t tableName NULL \n");
        return false;
    }
    TableData* table = GetTableDataByName(tableName);
    if (!table) {
        LogError("\t GetTableDataByName returned NULL \n");
        return false;
    }
    if (table->kind != TABLE_KIND_BASE || !table->definition || table->definition->columns.empty()) return false;
    std::vector<std::unique_ptr<RowObject>> removed;
    {
        std::lock_guard<std::mutex> hold(table->rowsLock);
        unlinkRows(*table, [](const RowObject&) { return true; }, removed);
    }
    notifyAndFree(removed, tableName);
    return true;
}

void FreeAllTableData() {
    std::unique_lock<std::shared_mutex> hold(g_tablesLock);
    for (const auto& t : g_tables) LogInfo("\t %s is being freed\n", t->name.c_str());
    g_tables.clear();
}

// --- Selection and reading ----------------------------------------------------

ResultHandle SelectRows(const char* tableName, const char* criteria) {
    LogTrace("@@@ Inside SelectRows @@@\n");
    TableData* table = GetTableDataByName(tableName);
    if (!table) return nullptr;
    try {
        if (!criteria) {
            ResultHandle result = newResult(*table);
            std::lock_guard<std::mutex> hold(table->rowsLock);
            result->rows.reserve(table->rows.size());
            for (const auto& row : table->rows) appendRow(*result, row.get());
            result->cursor = -1;
            return result;
        }
        ResourceLockGuard criteriaHold(&g_criteriaLock);
        auto tree = ParseCriteria(std::string(criteria) + "\n");
        if (!tree) return nullptr;
        if (table->kind != TABLE_KIND_BASE || !table->definition || table->definition->columns.empty())
            return nullptr;
        BindCriteria(*tree, table->definition->columns);
        ResultHandle result = newResult(*table);
        std::lock_guard<std::mutex> hold(table->rowsLock);
        for (const auto& row : table->rows)
            if (EvaluateCriteria(*tree, *row)) appendRow(*result, row.get());
        result->cursor = -1;
        return result;
    } catch (const std::bad_alloc&) {
        LogError("not able to Add row \n");
        return nullptr;
    }
}

ResultHandle SelectRowByRowIdx(const char* tableName, int n) {
    LogTrace("@@@ Inside SelectRowByRowIdx @@@\n");
    try {
        TableData* table = GetTableDataByName(tableName);
        if (!table) return nullptr;
        std::lock_guard<std::mutex> hold(table->rowsLock);
        if (n > table->rowCount) return nullptr;
        ResultHandle result = newResult(*table);
        if (n >= 1 && static_cast<std::size_t>(n) <= table->rows.size())
            appendRow(*result, std::next(table->rows.begin(), n - 1)->get());
        return result;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

RowObject* GotoNextRowObject(ResultData* result) {
    LogTrace("@@@ Inside GotoNextRowObject @@@\n");
    if (!result) return nullptr;
    long next = result->cursor < 0 ? 0 : result->cursor + 1;
    if (next >= static_cast<long>(result->rows.size())) {
        result->cursor = -1;  // a further call starts again at the first row
        return nullptr;
    }
    result->cursor = next;
    return result->rows[static_cast<std::size_t>(next)];
}

void ResetResultDataCursor(ResultData* result) {
    LogTrace("@@@ Inside ResetResultDataCursor @@@\n");
    if (result) result->cursor = -1;
}

const void* GetColumnValueByName(const char* columnName, int* length, const ResultData* result) {
    LogTrace("@@@ Inside GetColumnValueByName @@@\n");
    if (!result || result->cursor < 0 || static_cast<std::size_t>(result->cursor) >= result->rows.size())
        return nullptr;
    int index = -1;
    if (result->definition && columnName) {
        // The common case, without building the column list.
        const auto& columns = result->definition->columns;
        for (std::size_t i = 0; i < columns.size() && index < 0; ++i)
            if (iequals(columns[i].name, columnName)) index = static_cast<int>(i);
    } else {
        index = columnIndex(columnsOf(result->definition, result->view), columnName);
    }
    const RowObject* row = result->rows[static_cast<std::size_t>(result->cursor)];
    if (index < 0 || static_cast<std::size_t>(index) >= row->values.size()) return nullptr;
    if (length) *length = row->lengths[index];
    const ColumnValue& value = row->values[index];
    return value ? value->data() : nullptr;
}

const void* GetColumnValue(const char* tableName, const char* columnName, const char* criteria, int* length) {
    LogTrace("@@@ Inside GetColumnValue @@@\n");
    ResultHandle result = SelectRows(tableName, criteria);
    if (!result) {
        LogError("Error in executing SelectRows(%s,%s)\n", tableName ? tableName : "(null)",
                 criteria ? criteria : "(null)");
        return nullptr;
    }
    if (!GotoNextRowObject(result)) {
        LogError("No such row available in the %s for %s", tableName, criteria ? criteria : "(null)");
        return nullptr;
    }
    if (columnIndex(columnsOf(result->definition, result->view), columnName) < 0) {
        LogInfo("#@#@@#@#  556677777\n");
        return nullptr;
    }
    return GetColumnValueByName(columnName, length, result.get());
}

int GetColumnTypeByName(const char* columnName, const ResultData* result) {
    LogTrace("@@@ Inside GetColumnTypeByName @@@\n");
    if (!result) return 0;
    auto columns = columnsOf(result->definition, result->view);
    int index = columnIndex(columns, columnName);
    return index < 0 ? 0 : columns[index].type;
}

const char* GetColumnNameByIndex(int index, const ResultData* result) {
    LogTrace("@@@ Inside GetColumnNameByIndex @@@\n");
    if (!result || index < 0) return nullptr;
    auto columns = columnsOf(result->definition, result->view);
    return static_cast<std::size_t>(index) < columns.size() ? columns[index].name : nullptr;
}

const char* GetTableNameFromResultData(const ResultData* result) {
    LogTrace("@@@ Inside GetTableNameFromResultData @@@\n");
    if (!result) return nullptr;
    if (result->kind == TABLE_KIND_VIEW)
        return result->view && !result->view->baseTables.empty() ? result->view->baseTables[0].c_str() : nullptr;
    return result->definition ? result->definition->name.c_str() : nullptr;
}

std::string GetTableNameOfView(const char* name) {
    LogTrace("@@@ Inside GetTableNameOfView @@@\n");
    if (!name) return std::string();
    TableData* table = GetTableDataByName(name);
    if (table && table->kind == TABLE_KIND_VIEW && table->view && !table->view->baseTables.empty())
        return table->view->baseTables[0];
    return name;
}

bool SortResultSet(ResultData* result, const char* columnName, int ascending) {
    LogTrace("@@@ Inside SortResultSet @@@\n");
    if (!result) return false;
    auto columns = columnsOf(result->definition, result->view);
    if (columns.empty()) return false;
    int index = columnIndex(columns, columnName);
    if (index < 0) return false;
    if (result->rows.size() == 1) {
        LogError("Number of Rows is 1 for the Relvar to be Sorted \n");
        return true;
    }
    // The value read as a signed 32-bit integer; a NULL orders first.
    auto key = [index](const RowObject* row, bool& present) -> std::int32_t {
        present = false;
        if (static_cast<std::size_t>(index) >= row->values.size() || !row->values[index]) return 0;
        const std::string& v = *row->values[index];
        std::int32_t out = 0;
        std::int64_t wide;
        if (v.size() >= 4) std::memcpy(&out, v.data(), 4);
        else if (ReadStoredSigned(v, static_cast<int>(v.size()), wide)) out = static_cast<std::int32_t>(wide);
        present = true;
        return out;
    };
    auto outOfOrder = [&](const RowObject* a, const RowObject* b) {
        bool pa, pb;
        std::int32_t ka = key(a, pa), kb = key(b, pb);
        if (ascending == 1) return pa && (!pb || ka > kb);
        return pb && (!pa || ka < kb);
    };
    // Repeated passes that swap adjacent references out of order.
    for (bool swapped = true; swapped;) {
        swapped = false;
        for (std::size_t i = 1; i < result->rows.size(); ++i) {
            if (outOfOrder(result->rows[i - 1], result->rows[i])) {
                std::swap(result->rows[i - 1], result->rows[i]);
                swapped = true;
            }
        }
    }
    return true;
}

void FreeResultData(ResultHandle& result) {
    LogTrace("@@@ Inside FreeResultData @@@\n");
    result.reset();
}

bool ReadColumnInt64(const void* value, int length, std::int64_t* out) {
    if (!value || !out || length <= 0) return false;
    return ReadStoredSigned(std::string(static_cast<const char*>(value), static_cast<std::size_t>(length)), length,
                            *out);
}

bool ReadColumnInt32(const void* value, int length, std::int32_t* out) {
    std::int64_t wide;
    if (!out || !ReadColumnInt64(value, length, &wide)) return false;
    *out = static_cast<std::int32_t>(wide);
    return true;
}

// --- Diagnostics ----------------------------------------------------------------

void PrintTableData(const char* tableName) {
    LogTrace("@@@ Inside PrintTableData @@@\n");
    TableData* table = GetTableDataByName(tableName);
    if (!table) return;
    if (table->kind == TABLE_KIND_VIEW) {
        PrintCustomViewData(tableName);
        return;
    }
    if (auto text = tableText(tableName, TABLE_KIND_BASE)) LogInfo("%s", text->c_str());
}

void PrintCustomViewData(const char* viewName) {
    LogTrace("@@@ Inside PrintCustomViewData @@@\n");
    if (auto text = tableText(viewName, TABLE_KIND_VIEW)) LogInfo("%s", text->c_str());
}

void PrintResultData(const ResultData* result) {
    LogInfo("\t@@@@@ Inside PrintResultData() @@@@@\n");
    if (!result) return;
    std::vector<const RowObject*> rows;
    for (const RowObject* row : result->rows)
        if (!(row->status & ROW_DELETED)) rows.push_back(row);
    LogInfo("%s", formatRows(columnsOf(result->definition, result->view), rows).c_str());
}

std::optional<std::string> ToStringTableData(const char* tableName) {
    LogTrace("@@@ Inside ToStringTableData @@@\n");
    return toStringOf(tableName, TABLE_KIND_BASE);
}

std::optional<std::string> ToStringCustomViewData(const char* viewName) {
    LogTrace("@@@ Inside ToStringCustomViewData @@@\n");
    return toStringOf(viewName, TABLE_KIND_VIEW);
}

// --- Automatic identifiers --------------------------------------------------------

int GenerateID(const char* tableName, const ColumnDefn* column) {
    LogTrace("@@@ Inside GenerateID @@@\n");
    const char* key = column && column->generatorName ? column->generatorName->c_str() : "";
    LogTrace("AutoId Key %s\n", key);
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            std::lock_guard<std::mutex> hold(g_sequenceLock);
            SequenceBatch* batch = KeyTableGet(g_sequences, key);
            if (!batch) {
                LogError("No Value for AutoId key %s \n", key);
                return -1;
            }
            if (batch->next <= batch->end) {
                int value = batch->next++;
                LogTrace("AutoGenerated Value %d \n", value);
                return value;
            }
        }
        // The batch is used up: renew it and look again.
        if (!UpdateSeqGen(tableName, key)) return -1;
    }
    return -1;
}

int GenerateInstanceID() {
    LogTrace("@@@ Inside GenerateInstanceID @@@\n");
    ColumnDefn instance;
    instance.generatorName = "INSTANCE_ID";
    return GenerateID(nullptr, &instance);
}

bool UpdateSeqGen(const char* tableName, const char* sequenceName) {
    LogTrace("Inside UpdateSeqGen \n");
    (void)tableName;
    std::string query = std::string("select * from SeqGenState where SEQNAME = '") +
                        (sequenceName ? sequenceName : "") + "';";
    LogTrace("Query %s\n", query.c_str());
    // The store has no SQL data source behind it, so the state query fails
    // and no batch is reserved.
    LogError("Table doesn't Exists for UpdateSeqGen\n");
    return false;
}

bool SequenceGenerator() {
    LogTrace("Inside SequenceGenerator\n");
    bool ok = true;
    for (const auto& defn : AllTableDefns()) {
        if (defn->columns.empty()) return false;
        for (const auto& col : defn->columns)
            if (col.generatorName && !UpdateSeqGen(defn->name.c_str(), col.generatorName->c_str())) ok = false;
    }
    return ok;
}

// --- Change listeners -----------------------------------------------------------

bool AddNotificationListener(const char* name, unsigned char eventType, NotificationCallback callback,
                             bool enabled, std::vector<std::string> tableNames) {
    LogTrace("In Add notification Listener\n");
    if (!name) return false;
    std::lock_guard<std::mutex> hold(g_listenersLock);
    for (const auto& l : g_listeners) {
        if (l.name == name) {
            LogError("Listener with same name exists %s\n", name);
            return true;
        }
    }
    try {
        std::sort(tableNames.begin(), tableNames.end(),
                  [](const std::string& a, const std::string& b) { return icompare(a, b) < 0; });
        g_listeners.push_back({name, std::move(tableNames), enabled, eventType, std::move(callback)});
    } catch (const std::bad_alloc&) {
        LogError("Buffer Allocation is failed for listener!!!\n");
        return false;
    }
    LogInfo("Listener with name %s added\n", name);
    return true;
}

bool DisableNotification(const char* name) {
    LogTrace("In Disable notification\n");
    std::lock_guard<std::mutex> hold(g_listenersLock);
    for (auto& l : g_listeners) {
        if (name && l.name == name) {
            l.enabled = false;
            LogInfo("Listener with name %s disabled\n", name);
            return true;
        }
    }
    LogInfo("Listener with name %s doesn't exists\n", name ? name : "(null)");
    return false;
}

bool RemoveNotification(const char* name) {
    LogTrace("In Remove notification\n");
    std::lock_guard<std::mutex> hold(g_listenersLock);
    for (auto it = g_listeners.begin(); it != g_listeners.end(); ++it) {
        if (name && it->name == name) {
            g_listeners.erase(it);
            LogInfo("Listener with name %s removed\n", name);
            return true;
        }
    }
    LogInfo("Listener with name %s doesn't exists\n", name ? name : "(null)");
    return false;
}

void DeInitNotification() {
    LogTrace("In DeInit notification\n");
    std::lock_guard<std::mutex> hold(g_listenersLock);
    g_listeners.clear();
}

void SendNotification(const RowObject* row, const char* tableName) {
    if (!row || !tableName) return;
    try {
        std::vector<Listener> listeners;
        {
            std::lock_guard<std::mutex> hold(g_listenersLock);
            if (g_listeners.empty()) return;
            listeners = g_listeners;  // callbacks run without the lock, so they may use the store
        }
        IMDSNotification record;
        record.tableName = tableName;
        record.row.values = row->values;
        record.row.lengths = row->lengths;
        record.row.status = row->status;
        std::tm now = platform::toLocalTime(platform::nowSeconds());
        record.when = {{now.tm_year + 1900, now.tm_mon + 1, now.tm_mday}, {now.tm_hour, now.tm_min, now.tm_sec}};
        const unsigned char status = row->status;
        for (const auto& l : listeners) {
            if (!l.enabled) {
                LogInfo("Listener %s  disabled\n", l.name.c_str());
                continue;
            }
            if (!IsListContains(l.tables, tableName)) {
                LogInfo("Listener not registered for %s table\n", tableName);
                continue;
            }
            const unsigned char et = l.eventType;
            if (et == 0 || status == et || status == (et | ROW_PINNED) || status == (et | ROW_UPDATED) ||
                status == (et | ROW_DELETED)) {
                if (l.callback) l.callback(record, l.name.c_str());
            } else {
                LogInfo("Listener not registered for Eventype %d\n", status);
            }
        }
    } catch (const std::bad_alloc&) {
        return;  // the change is not notified
    }
}
