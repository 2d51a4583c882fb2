// The data dictionary is read at every start from a file of the install
// directory: any document must load or be refused without a crash, and the
// tables it declares must be usable.
#include <cstddef>
#include <cstdint>

#include "agent/tablestore/data_dict.h"
#include "agent/tablestore/imds.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!LoadDataDictFromMemory(reinterpret_cast<const char*>(data), size, "fuzz.xml")) return 0;
    for (const char* table : {"T", "Hosts", "HostDetails", "a"}) {
        if (const TableDefn* defn = getTableDefn(table)) (void)defn;
        GetDefaultValue(table, "A", nullptr);
        if (ResultHandle r = SelectRows(table, nullptr)) (void)r;
    }
    return 0;
}
