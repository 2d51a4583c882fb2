// IMDS: the process-wide in-memory table store.
//
// Tables are declared by the data dictionary (data_dict.h), filled from the
// server's table dumps (table_loader.h) and read with small criteria strings
// such as "HOST_ID = 5": select, walk the result with its cursor, read the
// column values by name in place. Names of tables and columns are compared
// case-insensitively; text values are not.
//
// Threads: every selection with criteria runs under one resource lock, so one
// criteria is evaluated at a time. Tables can be created, filled and emptied
// while other threads read other tables; a table must not be emptied while
// a result of it is still walked (results refer to the table's own rows).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/tablestore/data_dict.h"

// Row status flags.
constexpr unsigned char ROW_PINNED = 1;
constexpr unsigned char ROW_NEW = 2;
constexpr unsigned char ROW_UPDATED = 4;
constexpr unsigned char ROW_DELETED = 8;

// Table kinds.
constexpr unsigned char TABLE_KIND_BASE = 1;
constexpr unsigned char TABLE_KIND_VIEW = 2;

// Date and time values of codes 16, 17 and 18.
struct DateRecord {
    int year = 0, month = 0, day = 0;
};
struct TimeRecord {
    int hour = 0, minute = 0, second = 0;
};
struct DateTimeRecord {
    DateRecord date;
    TimeRecord time;
};

// One column value: the bytes of the value in the machine form of its type
// (texts carry their terminating NUL, which the length excludes), or none
// for NULL.
using ColumnValue = std::optional<std::string>;

struct RowObject {
    std::vector<ColumnValue> values;  // one per column of the table
    std::vector<int> lengths;         // byte lengths, one per column
    unsigned char status = ROW_NEW;
};

struct ViewColumnDefn {
    std::string columnName;
    std::string field2, field3;  // stored as passed in
    const ColumnDefn* column = nullptr;  // supplies the type
};

struct CustomViewDefn {
    std::vector<std::string> baseTables;
    std::vector<ViewColumnDefn> columns;
};

struct TableData;

// The result of a selection: references to the table's own rows in table
// order, and a cursor (-1: before the first row).
struct ResultData {
    std::vector<RowObject*> rows;
    unsigned char kind = TABLE_KIND_BASE;
    std::shared_ptr<const TableDefn> definition;
    std::shared_ptr<const CustomViewDefn> view;
    int rowCount = 0;
    int columnCount = 0;
    long cursor = -1;
};
using ResultHandle = std::unique_ptr<ResultData>;

// Tables.
bool CreateTable(const char* name);
bool CreateCustomViewData(const char* name, std::shared_ptr<const CustomViewDefn> view);
TableData* GetTableDataByName(const char* name);
int GetTableRowCount(const char* name);  // -1 when the table does not exist
std::unique_ptr<RowObject> CreateNewRowObject(std::vector<ColumnValue> values, std::vector<int> lengths);
bool AddNewRow(const char* tableName, std::unique_ptr<RowObject> row);
bool UpdateRowObject(const char* tableName, RowObject* row, const char* columnName, const void* value,
                     int length);
bool DeleteRowObject(const char* tableName, RowObject* row);
// Deletes those rows of the table in one pass over it (for undoing a load).
bool DeleteRowObjects(const char* tableName, const std::vector<const RowObject*>& rows);
bool DeleteRowObjectByCriteria(const char* tableName, const char* criteria);
bool DeleteAllTableRowObjects(const char* tableName);
// Removes every table (for a clean shutdown); no result may be in use.
void FreeAllTableData();

// Selection and reading.
ResultHandle SelectRows(const char* tableName, const char* criteria);
ResultHandle SelectRowByRowIdx(const char* tableName, int n);
RowObject* GotoNextRowObject(ResultData* result);
inline RowObject* GotoNextRowObject(const ResultHandle& result) { return GotoNextRowObject(result.get()); }
void ResetResultDataCursor(ResultData* result);
// The row's own buffer of the column under the cursor, or none (cursor
// before the first row, no such column, or NULL; for NULL the length is set).
const void* GetColumnValueByName(const char* columnName, int* length, const ResultData* result);
inline const void* GetColumnValueByName(const char* columnName, int* length, const ResultHandle& result) {
    return GetColumnValueByName(columnName, length, result.get());
}
const void* GetColumnValue(const char* tableName, const char* columnName, const char* criteria, int* length);
int GetColumnTypeByName(const char* columnName, const ResultData* result);
const char* GetColumnNameByIndex(int index, const ResultData* result);
const char* GetTableNameFromResultData(const ResultData* result);
std::string GetTableNameOfView(const char* name);
bool SortResultSet(ResultData* result, const char* columnName, int ascending);
void FreeResultData(ResultHandle& result);

// Typed readers of a value returned by GetColumnValueByName: false for none.
// Integers of any stored width are widened with their sign.
bool ReadColumnInt64(const void* value, int length, std::int64_t* out);
bool ReadColumnInt32(const void* value, int length, std::int32_t* out);

// Diagnostics (written to the log with LogInfo).
void PrintTableData(const char* tableName);
void PrintCustomViewData(const char* viewName);
void PrintResultData(const ResultData* result);
std::optional<std::string> ToStringTableData(const char* tableName);
std::optional<std::string> ToStringCustomViewData(const char* viewName);

// Automatic identifiers. The agent keeps no sequence state, so GenerateID
// answers -1 and UpdateSeqGen / SequenceGenerator fail (there is no SQL
// data source behind the store).
int GenerateID(const char* tableName, const ColumnDefn* column);
int GenerateInstanceID();
bool UpdateSeqGen(const char* tableName, const char* sequenceName);
bool SequenceGenerator();

// Change listeners.
struct IMDSNotification {
    std::string tableName;
    RowObject row;
    DateTimeRecord when;
};
using NotificationCallback = std::function<void(const IMDSNotification&, const char* listenerName)>;
bool AddNotificationListener(const char* name, unsigned char eventType, NotificationCallback callback,
                             bool enabled, std::vector<std::string> tableNames);
bool DisableNotification(const char* name);
bool RemoveNotification(const char* name);
void DeInitNotification();
void SendNotification(const RowObject* row, const char* tableName);
