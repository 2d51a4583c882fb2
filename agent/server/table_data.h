// The server module's use of the table store: handing a table dump to the
// loader, and reading the rows of the log type mapping.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Loads the tables of a dump body into the table store.
void LoadServerTableData(const char* body, int length);

struct LogTypeRow {
    std::string name;     // LTYPE
    std::int32_t value;   // LVALUE
};
// The rows of "LogTypeMapping" (rows without both columns are skipped); the
// table is emptied afterwards so the next dump starts from nothing.
std::vector<LogTypeRow> TakeLogTypeMappingRows();
