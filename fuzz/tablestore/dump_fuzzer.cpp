// Feeds arbitrary documents to the table-dump loader with the shipped data
// dictionary, whose tables are those the server's answers fill (Hosts,
// HostDetails, the filter and notification rule tables, SLUPDATE, the FIM
// requests), then reads every column of every row, prints each table and
// frees them all so that rows do not pile up between inputs.
#include <cstddef>
#include <cstdint>

#include "agent/tablestore/data_dict.h"
#include "agent/tablestore/imds.h"
#include "agent/tablestore/table_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml");
    if (!ready) __builtin_trap();
    loadTableDataFromMemory(reinterpret_cast<const char*>(data), size);
    for (const char* table :
         {"Hosts", "HostDetails", "HostFilter", "HostGroupFilter", "HostGroupMapping", "SyslogFilter",
          "Filter2Criteria", "LACriteria", "LACriteria2Expressions", "LAExpression", "NotificationType",
          "HostNotification", "HostGroupNotification", "SLUPDATE", "LogTypeMapping", "FIM_AgentRequest",
          "FIM_TemplateRequest", "FIM_AgentExclude", "FIM_TemplateExclude"}) {
        if (ResultHandle rows = SelectRows(table, nullptr)) {
            while (GotoNextRowObject(rows))
                for (int i = 0; const char* column = GetColumnNameByIndex(i, rows.get()); ++i) {
                    int length = 0;
                    GetColumnValueByName(column, &length, rows);
                }
        }
        PrintTableData(table);
    }
    FreeAllTableData();
    return 0;
}
