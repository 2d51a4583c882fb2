// The server's monitor requests and exclusions (FIM_AgentRequest,
// FIM_TemplateRequest and their exclude tables, as defined by the shipped
// data dictionary) turned into the monitor rules that every change is
// checked against; the rules are emptied after each input.
#include <cstddef>
#include <cstdint>

#include "agent/fim/monitor_config.h"
#include "agent/tablestore/data_dict.h"
#include "agent/tablestore/table_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml");
    if (!ready) __builtin_trap();
    loadTableDataFromMemory(reinterpret_cast<const char*>(data), size);
    applyMonitorRequests();
    resetMonitorRulesForTests();
    return 0;
}
