#include "agent/server/table_data.h"

#include "agent/tablestore/imds.h"
#include "agent/tablestore/table_loader.h"

void LoadServerTableData(const char* body, int length) {
    if (body == nullptr || length <= 0) return;
    loadTableDataFromMemory(body, static_cast<std::size_t>(length));
}

void LoadServerTableDataFromFile(std::FILE* file) {
    if (file == nullptr) return;
    loadTableDataFromStream(file);
}

std::vector<LogTypeRow> TakeLogTypeMappingRows() {
    std::vector<LogTypeRow> rows;
    ResultHandle result = SelectRows("LogTypeMapping", nullptr);
    if (result) {
        while (GotoNextRowObject(result) != nullptr) {
            int length = 0;
            const void* name = GetColumnValueByName("LTYPE", &length, result);
            const void* value = GetColumnValueByName("LVALUE", &length, result);
            std::int32_t number = 0;
            if (name == nullptr || !ReadColumnInt32(value, length, &number)) continue;
            rows.push_back({static_cast<const char*>(name), number});
        }
        FreeResultData(result);
    }
    DeleteAllTableRowObjects("LogTypeMapping");
    return rows;
}
