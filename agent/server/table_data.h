// The server module's use of the table store: handing a table dump to the
// loader, and reading the rows of the log type mapping.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Loads the tables of a dump body into the table store.
void LoadServerTableData(const char* body, int length);
// The same for a body in an open file, read from its start.
void LoadServerTableDataFromFile(std::FILE* file);

struct LogTypeRow {
    std::string name;     // LTYPE
    std::int32_t value;   // LVALUE
};
// The rows of "LogTypeMapping" (rows without both columns are skipped); the
// table is emptied afterwards so the next dump starts from nothing.
std::vector<LogTypeRow> TakeLogTypeMappingRows();
