// Feeds arbitrary criteria to the parser and to selections over rows of
// every column type.
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/tablestore/criteria.h"
#include "agent/tablestore/imds.h"
#include "agent/tablestore/table_loader.h"
#include "fuzz_dictionary.h"

namespace {

bool setUp() {
    LoadFuzzDictionary();
    static const char* kRows = R"(<r>
      <T A="1" B="2" C="3" D="4294967295" E="4294967301" F="1.5" G="2.5" H="abc" I="" J="2020-01-02"
         K="10:20:30" L="2020-01-02 10:20:30" M="true" N="raw" P="7"/>
      <T A="-1" E="-5" H="ABC"/>
      <T/>
    </r>)";
    loadTableDataFromMemory(kRows, std::strlen(kRows));
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool ready = setUp();
    (void)ready;
    std::string criteria(reinterpret_cast<const char*>(data), size);
    // Parsing on its own, with the line break the selection appends.
    if (auto tree = tablestore::ParseCriteria(criteria + "\n")) {
        RowObject row;
        row.values.resize(3);
        row.lengths.resize(3);
        std::vector<ColumnDefn> columns(3);
        columns[0].name = "A";
        columns[0].type = QOR_SQL_INT;
        columns[1].name = "H";
        columns[1].type = QOR_SQL_CHAR;
        columns[2].name = "E";
        columns[2].type = QOR_SQL_BIGINT;
        tablestore::BindCriteria(*tree, columns);
        tablestore::EvaluateCriteria(*tree, row);
    }
    // The text as a C string, as callers pass it.
    std::string cText = criteria.substr(0, criteria.find('\0'));
    if (ResultHandle r = SelectRows("T", cText.c_str())) {
        while (GotoNextRowObject(r)) {
            int len = 0;
            GetColumnValueByName("H", &len, r);
        }
    }
    return 0;
}
