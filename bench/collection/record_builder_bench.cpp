// Record building throughput: Security and System events held in memory as
// property sets, built with the shipped parsing rules.
//
// Filter and notification matching joins the per-event work once it exists:
// matchRecord below is the place it goes, so the figure stays the cost of
// one event from object to matched record.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "../../tests/agent/collection/fake_event.h"
#include "agent/collection/event_record.h"
#include "agent/collection/parser_rules.h"

namespace {

using collection_test::FakeEvent;

// Hands out the properties of an event of the batch, as the enumerator hands
// out each object; the batch itself stays in memory.
class BatchEvent : public platform::wmi::Object {
public:
    explicit BatchEvent(const FakeEvent& event) : event_(event) {}
    platform::wmi::HResult get(const std::string& name, platform::wmi::Variant& out) const override {
        return event_.get(name, out);
    }

private:
    const FakeEvent& event_;
};

// Filter and notification matching of one record; nothing yet.
inline void matchRecord(EventRecord& record) { benchmark::DoNotOptimize(record); }

std::vector<FakeEvent> makeBatch(std::size_t count) {
    std::vector<FakeEvent> batch;
    batch.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        char time[32];
        std::snprintf(time, sizeof time, "20240305%02zu%02zu%02zu.000000+060", 8 + (i / 3600) % 12,
                      (i / 60) % 60, i % 60);
        switch (i % 4) {
        case 0:
        case 1:
            batch.push_back(*collection_test::securityEvent(
                4624,
                {"S-1-5-18", "DC01$", "CORP", "0x3e7", "S-1-5-21-1-2-3-1104", "alice" + std::to_string(i % 50),
                 "CORP", "0x8b0aad6", "3", "NtLmSsp ", "NTLM", "WS0" + std::to_string(i % 9),
                 "{00000000-0000-0000-0000-000000000000}", "-", "NTLM V2", "128", "0x0", "-",
                 "10.1.2." + std::to_string(i % 250), "49152"},
                time));
            break;
        case 2:
            batch.push_back(*collection_test::securityEvent(
                4663,
                {"S-1-5-21-1-2-3-1104", "bob", "CORP", "0x1f2e3d", "Security", "File",
                 "C:\\Shares\\Finance\\report-" + std::to_string(i % 100) + ".xlsx", "0x1a4",
                 "%%4417\n\t\t\t\t", "0x2", "0x1234", "C:\\Windows\\explorer.exe", "S:AI"},
                time));
            batch.back().text("Message",
                              "An attempt was made to access an object.\r\n\r\nAccess Request Information:\r\n"
                              "\tAccesses:\t\tWriteData (or AddFile)\r\n\t\t\t\tAppendData\r\n");
            break;
        default: {
            batch.push_back(std::move(*collection_test::serviceRunningEvent(time)));
        }
        }
    }
    return batch;
}

void BM_BuildEventRecords(benchmark::State& state) {
    ParserRuleList rules;
    if (!loadParserRulesFile(std::string(AMBRIK_SOURCE_DIR) + "/data/EventIdParserRules.xml", rules)) {
        state.SkipWithError("rules file not readable");
        return;
    }
    setParserRules(std::move(rules));
    const std::vector<FakeEvent> batch = makeBatch(3000);
    AttributeTable attributes;
    initAttributeTable(attributes);
    RecordRunValues run = collection_test::testRunValues();
    RecordHost host{42, 10, 0, 0};
    std::vector<EventRecord> buffer(300);
    std::size_t next = 0;
    for (auto _ : state) {
        auto event = std::make_unique<BatchEvent>(batch[next % batch.size()]);
        EventRecord& record = buffer[next % buffer.size()];
        buildEventRecord(host, std::move(event), record, attributes, run);
        matchRecord(record);
        ++next;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_BuildEventRecords);

void BM_ClassifyAccesses(benchmark::State& state) {
    const std::string message =
        "An attempt was made to access an object.\r\n\r\nSubject:\r\n\tSecurity ID:\t\tCORP\\bob\r\n"
        "Access Request Information:\r\n\tAccesses:\t\tDELETE\r\n\t\t\t\tREAD_CONTROL\r\n"
        "\t\t\t\tReadAttributes\r\n";
    for (auto _ : state) benchmark::DoNotOptimize(classifyAccesses(message, 10));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_ClassifyAccesses);

}  // namespace

BENCHMARK_MAIN();
