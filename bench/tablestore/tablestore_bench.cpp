// Loading a dump of 10000 HostDetails rows, against a bare libxml2 parse of
// the same document in the same run, and selecting one host by HOST_ID.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <chrono>
#include <string>

#include "agent/tablestore/data_dict.h"
#include "agent/tablestore/imds.h"
#include "agent/tablestore/table_loader.h"

namespace {

constexpr int kHosts = 10000;

const std::string& hostDump() {
    static const std::string dump = [] {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<HostList>\n";
        for (int i = 1; i <= kHosts; ++i) {
            std::string id = std::to_string(4294967296LL + i);
            xml += "  <HostDetails HOST_ID=\"" + id + "\" DOMAIN_NAME=\"CORP\" TYPE=\"Windows\" USERNAME=\"CORP\\admin\""
                   " PASSWORD=\"bnh+b3hp\" LAST_MSG_TIME=\"1700000000000\" MON_INTERVAL=\"2\""
                   " LOG_COLLECTION_STATUS=\"1\" STATUS=\"0\"/>\n";
        }
        return xml + "</HostList>\n";
    }();
    return dump;
}

void loadDictionaryOnce() {
    static bool loaded = LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml");
    (void)loaded;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void bareParse(const std::string& doc) {
    xmlDoc* parsed = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "file.xml", nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    benchmark::DoNotOptimize(parsed);
    xmlFreeDoc(parsed);
}

// Each iteration loads the dump into the store and parses it bare, timing
// both, so the ratio compares the two under the same conditions.
void BM_LoadHostDetailsDump(benchmark::State& state) {
    loadDictionaryOnce();
    const std::string& doc = hostDump();
    double loadSeconds = 0, parseSeconds = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        loadTableDataFromMemory(doc.data(), doc.size());
        loadSeconds += secondsSince(start);
        state.PauseTiming();
        if (GetTableRowCount("HostDetails") != kHosts) state.SkipWithError("rows missing after the load");
        DeleteAllTableRowObjects("HostDetails");
        start = std::chrono::steady_clock::now();
        bareParse(doc);
        parseSeconds += secondsSince(start);
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["load_ms"] = 1000 * loadSeconds / n;
    state.counters["bare_parse_ms"] = 1000 * parseSeconds / n;
    state.counters["ratio_to_bare_parse"] = parseSeconds > 0 ? loadSeconds / parseSeconds : 0;
    state.SetItemsProcessed(state.iterations() * kHosts);
}
BENCHMARK(BM_LoadHostDetailsDump)->Unit(benchmark::kMillisecond);

void BM_BareLibxml2Parse(benchmark::State& state) {
    const std::string& doc = hostDump();
    for (auto _ : state) bareParse(doc);
    state.SetItemsProcessed(state.iterations() * kHosts);
}
BENCHMARK(BM_BareLibxml2Parse)->Unit(benchmark::kMillisecond);

// One host by HOST_ID out of 10000 rows: the criteria is parsed anew and
// every row tested, as each selection does.
void BM_SelectOneHostById(benchmark::State& state) {
    loadDictionaryOnce();
    DeleteAllTableRowObjects("HostDetails");
    const std::string& doc = hostDump();
    loadTableDataFromMemory(doc.data(), doc.size());
    long long next = 0;
    for (auto _ : state) {
        std::string criteria = "HOST_ID = " + std::to_string(4294967296LL + 1 + (next++ % kHosts));
        ResultHandle r = SelectRows("HostDetails", criteria.c_str());
        if (!r || r->rowCount != 1) {
            state.SkipWithError("selection did not find exactly one host");
            break;
        }
        benchmark::DoNotOptimize(GotoNextRowObject(r));
    }
    state.SetItemsProcessed(state.iterations());
    DeleteAllTableRowObjects("HostDetails");
}
BENCHMARK(BM_SelectOneHostById)->Iterations(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
