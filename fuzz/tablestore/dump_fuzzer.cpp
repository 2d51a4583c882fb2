// Feeds arbitrary documents to the table-dump loader, then reads and empties
// every table so that rows do not pile up between inputs.
#include <cstddef>
#include <cstdint>

#include "agent/tablestore/imds.h"
#include "agent/tablestore/table_loader.h"
#include "fuzz_dictionary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool ready = (LoadFuzzDictionary(), true);
    (void)ready;
    loadTableDataFromMemory(reinterpret_cast<const char*>(data), size);
    for (const char* table : {"T", "U", "Workflow_Statements"}) {
        if (ResultHandle r = SelectRows(table, nullptr)) {
            while (GotoNextRowObject(r))
                for (const char* column : {"A", "E", "H", "L", "REF", "TXT", "NEXT_STATEMENT_ID"}) {
                    int len = 0;
                    GetColumnValueByName(column, &len, r);
                }
        }
        PrintTableData(table);
        DeleteAllTableRowObjects(table);
    }
    return 0;
}
