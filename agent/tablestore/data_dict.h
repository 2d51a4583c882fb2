// The data dictionary: the declarations of every table the store can hold.
//
// Read once at start-up from "data/data-dictionary.xml"; a table the
// dictionary does not declare cannot be created, so dump rows of undeclared
// tables are ignored.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Column type codes.
enum : unsigned char {
    QOR_SQL_NOT_SUPPORTED_TYPE = 0,
    QOR_SQL_TINYINT = 1,
    QOR_SQL_UNSIGNED_TINYINT = 2,
    QOR_SQL_SMALLINT = 3,
    QOR_SQL_UNSIGNED_SMALLINT = 4,
    QOR_SQL_INT = 5,
    QOR_SQL_UNSIGNED_INT = 6,
    QOR_SQL_BIGINT = 7,
    QOR_SQL_UNSIGNED_LONG_INT = 8,
    QOR_SQL_FLOAT = 9,
    QOR_SQL_DOUBLE = 10,
    QOR_SQL_REAL = 11,
    QOR_SQL_DECIMAL = 12,
    QOR_SQL_NUMERIC = 13,
    QOR_SQL_CHAR = 14,
    QOR_SQL_STRING = 15,  // "CHAR" in the dictionary
    QOR_SQL_DATE = 16,
    QOR_SQL_TIME = 17,
    QOR_SQL_DATETIME = 18,
    QOR_SQL_BOOLEAN = 19,
    QOR_SQL_BLOB = 20,
    QOR_SQL_CLOB = 21,
};

struct AllowedValues {
    bool isRange = false;
    std::vector<std::string> values;  // list form
    std::string from, to;             // range form
};

struct ColumnDefn {
    std::string name;
    unsigned char type = QOR_SQL_NOT_SUPPORTED_TYPE;
    std::optional<std::string> defaultValue;  // typed bytes, converted like a criteria literal
    int defaultLength = 0;
    bool unique = false;
    std::optional<std::string> generatorName;
    std::optional<std::string> description;
    int maxSize = 0;
    bool nullable = true;
    std::optional<AllowedValues> allowedValues;
};

struct ForeignKeyDefn {
    std::string localColumn, referenceColumn, referenceTable;
    bool onDeleteCascade = false;
    bool bidirectional = false;
};

struct TableDefn {
    std::string name;
    std::optional<std::string> description;
    std::optional<std::string> system;
    std::vector<ColumnDefn> columns;
    bool hasConstraints = false;  // a primary-key or foreign-keys element was present
    std::vector<std::string> primaryKeys;
    std::vector<ForeignKeyDefn> foreignKeys;
};

// Loads a dictionary file; true whenever a path is given (failures are logged).
bool LoadDataDictFromXMLFile(const char* path);
// The same from a document in memory (the file reader's second half).
bool LoadDataDictFromMemory(const char* data, std::size_t length, const char* name);
// Loads every file listed in "datadictionary.txt" of the data folder.
bool LoadAllDataDictFiles();
bool LoadDataDictFiles(const char* folder);
// Root folder used by LoadAllDataDictFiles when "../data/datadictionary.txt" is missing.
void SetDataDictRootFolder(const char* folder);

// The first declaration of that name (case-insensitive), or none.
const TableDefn* getTableDefn(const char* name);
// Shares ownership of the definition, so a table outlives a released dictionary.
std::shared_ptr<const TableDefn> getTableDefnShared(const char* name);
// The column of that name; the column name is compared case-sensitively.
const ColumnDefn* GetColumnDefnEntry(const char* tableName, const char* columnName);
const std::string* GetDefaultValue(const char* tableName, const char* columnName, int* found);
// The first foreign key of that local column (case-insensitive), or none.
const ForeignKeyDefn* GetForeignKeyDefn(const TableDefn* table, const char* localColumn);
// Every declaration, in file order.
std::vector<std::shared_ptr<const TableDefn>> AllTableDefns();

void PrintDataDictionary();
bool ReleaseTableDefn(const char* name);
void ReleaseDataDictionary();

// The code of a data-type text (case-insensitive), 0 for an unknown text.
unsigned char DataTypeCode(const std::string& text);
