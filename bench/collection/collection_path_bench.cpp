// The collection path as a whole, and the per-event work with the host's
// rules hooked in.
//
// BM_HostToUploadedZip: a simulated host with 100000 events in its event XML
// log is collected by collectHostEvents (records built, filtered, marked,
// written in 300-record buffers to the event store and the raw-log file), and
// the transfer aggregates, zips and uploads the result to a test server on
// loopback (which stores and decodes it before it answers). Argument: the log
// level (0: log closed; 3: the agent's level, written to /dev/null).
//
// BM_BuildAndMatchRecords: buildEventRecord followed by applyFilters and
// applyNotifications for property sets held in memory, with three filters and
// two notification rules on the host, as a collection run does per event.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "../../tests/agent/collection/fake_event.h"
#include "../../tests/agent/collection/run_support.h"
#include "agent/collection/event_matching.h"
#include "agent/collection/event_record.h"
#include "agent/collection/host_poll_queue.h"
#include "agent/collection/parser_rules.h"
#include "agent/collection/wmi_query.h"
#include "agent/hosts/host_cache.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "agent/store/event_store.h"
#include "agent/store/transfer.h"
#include "common/log.h"
#include "platform/wmi.h"
#include "testserver/harness.h"

namespace {

namespace fs = std::filesystem;

constexpr int kHostEvents = 100000;

bool loadShippedRules() {
    ParserRuleList rules;
    if (!loadParserRulesFile(std::string(AMBRIK_SOURCE_DIR) + "/data/EventIdParserRules.xml", rules)) return false;
    setParserRules(std::move(rules));
    return true;
}

// A Security logon, a failed logon and a service event, in turn.
std::string eventXml(int i) {
    char time[40];
    std::snprintf(time, sizeof time, "2026-12-01T%02d:%02d:%02d.000000000Z", 8 + i / 3600 % 12, i / 60 % 60, i % 60);
    std::string x = "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='";
    const int kind = i % 3;
    x += kind == 2 ? "Service Control Manager" : "Microsoft-Windows-Security-Auditing";
    x += "'/><EventID>" + std::string(kind == 0 ? "4624" : kind == 1 ? "4625" : "7036") + "</EventID><Level>" +
         (kind == 2 ? "4" : "0") + "</Level><Task>12544</Task><Keywords>" +
         (kind == 0 ? "0x8020000000000000" : kind == 1 ? "0x8010000000000000" : "0x80000000000000") +
         "</Keywords><TimeCreated SystemTime='" + time + "'/><EventRecordID>" + std::to_string(i + 1) +
         "</EventRecordID><Channel>" + (kind == 2 ? "System" : "Security") + "</Channel><Computer>BENCH</Computer>" +
         "</System><EventData>";
    const std::string user = "user" + std::to_string(i % 200);
    const std::vector<std::string> values =
        kind == 2 ? std::vector<std::string>{"Windows Update", "running"}
                  : std::vector<std::string>{"S-1-5-18", "DC01$", "CORP", "0x3e7", "S-1-5-21-1-1104", user, "CORP",
                                             "0x8b0aad6", "3", "NtLmSsp ", "NTLM", "WS01", "-", "-", "NTLM V2",
                                             "128", "0x0", "-", "10.1.2." + std::to_string(i % 250), "49152", "x"};
    for (const auto& v : values) x += "<Data>" + v + "</Data>";
    x += "</EventData>";
    if (kind == 2)
        x += "<RenderingInfo Culture='en-US'><Message>The Windows Update service entered the running "
             "state.</Message></RenderingInfo>";
    return x + "</Event>\n";
}

// Filters and notifications of a host: a severity filter, a message filter
// that drops nothing of the batch, an event id filter, and two rules.
void addRules(HostSlot& host) {
    FilterRule severity;
    severity.filterId = 1;
    FilterCriterion system;
    system.criterionType = collection_test::kSystemType;
    RuleExpression warning;
    warning.columnKind = kColumnSeverity;
    warning.severity = 2;
    system.expressions.push_back(warning);
    severity.criteria.push_back(system);
    severity.columnMask = kColumnSeverity;

    FilterRule message;
    message.filterId = 2;
    FilterCriterion any;
    any.criterionType = kAnyLogType;
    RuleExpression text;
    text.columnKind = kColumnMessage;
    text.includeValues = std::vector<std::string>{"heartbeat", "keep-alive"};
    any.expressions.push_back(text);
    message.criteria.push_back(any);
    message.columnMask = kColumnMessage;

    FilterRule ids;
    ids.filterId = 3;
    FilterCriterion anyIds;
    anyIds.criterionType = kAnyLogType;
    RuleExpression range;
    range.columnKind = kColumnEventId;
    range.eventIdRanges = {{5000, 5999}};
    anyIds.expressions.push_back(range);
    ids.criteria.push_back(anyIds);
    ids.columnMask = kColumnEventId;
    host.filters = {severity, message, ids};

    NotificationRule failures;
    failures.notificationId = 801;
    failures.logTypeCodes = {collection_test::kSecurityType};
    RuleExpression failed;
    failed.columnKind = kColumnEventId;
    failed.eventIds = {4625};
    failures.expressions.push_back(failed);
    failures.columnMask = kColumnEventId;
    failures.occurrenceThreshold = 3;
    failures.interval = 300;
    NotificationRule admins;
    admins.notificationId = 802;
    admins.logTypeCodes = {kAnyLogType};
    RuleExpression user;
    user.columnKind = kColumnUserName;
    user.includeValues = std::vector<std::string>{"user7"};
    admins.expressions.push_back(user);
    admins.columnMask = kColumnUserName;
    admins.occurrenceThreshold = 1;
    host.notifications = {failures, admins};
}

void BM_BuildAndMatchRecords(benchmark::State& state) {
    if (!loadShippedRules()) {
        state.SkipWithError("rules file not readable");
        return;
    }
    std::vector<std::unique_ptr<collection_test::FakeEvent>> batch;
    for (int i = 0; i < 3000; ++i) {
        char time[32];
        std::snprintf(time, sizeof time, "20261201%02d%02d%02d.000000+000", 8 + i / 3600 % 12, i / 60 % 60, i % 60);
        if (i % 3 == 2) {
            batch.push_back(collection_test::serviceRunningEvent(time));
        } else {
            batch.push_back(collection_test::securityEvent(
                i % 3 ? 4625 : 4624,
                {"S-1-5-18", "DC01$", "CORP", "0x3e7", "S-1-5-21-1-1104", "user" + std::to_string(i % 200), "CORP",
                 "0x8b0aad6", "3", "NtLmSsp ", "NTLM", "WS01", "-", "-", "NTLM V2", "128", "0x0", "-",
                 "10.1.2." + std::to_string(i % 250), "49152", "x"},
                time));
        }
    }
    initHostCache();
    HostSlot& host = hostSlot(0);
    addRules(host);
    AttributeTable attributes;
    initAttributeTable(attributes);
    RecordRunValues run = collection_test::testRunValues();
    const RecordHost recordHost{42, 10, 0, 0};
    std::size_t next = 0, kept = 0;
    for (auto _ : state) {
        const auto& source = *batch[next++ % batch.size()];
        EventRecord record;
        buildEventRecord(recordHost, std::make_unique<collection_test::FakeEvent>(source), record, attributes, run);
        if (!applyFilters(host, record)) {
            applyNotifications(host, record);
            ++kept;
        }
        benchmark::DoNotOptimize(record);
    }
    host.filters.clear();
    host.notifications.clear();
    state.counters["kept"] = static_cast<double>(kept) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_BuildAndMatchRecords);

// A simulated host of 100000 events, a test server, the event store.
struct PathFixture {
    fs::path dir;
    std::unique_ptr<testserver::TestServer> server;
    bool ready = false;

    PathFixture() {
        char pattern[] = "/tmp/ambrik-pathbench-XXXXXX";
        if (!mkdtemp(pattern)) return;
        dir = pattern;
        fs::create_directories(dir / "hosts" / "bench.localhost");
        fs::create_directories(dir / "work" / "serverdata");
        {
            std::ofstream out(dir / "hosts" / "bench.localhost" / "Security.xml", std::ios::binary);
            out << "<Events>\n";
            for (int i = 0; i < kHostEvents; ++i) out << eventXml(i);
            out << "</Events>\n";
        }
        std::ofstream(dir / "hosts" / "bench.localhost" / "host.xml")
            << "<host version=\"10.0.17763\" currentTimeZone=\"0\"/>\n";
        testserver::HarnessOptions options;
        options.https = false;
        options.outputDir = (dir / "server").string();
        server = std::make_unique<testserver::TestServer>(options);
        if (!server->ok()) return;
        HttpGlobalInit();
        collection_test::pointAgentAtServer(server->httpPort());
        fs::current_path(dir / "work");
        platform::wmi::setHostsRoot((dir / "hosts").string());
        platform::wmi::setDiagnosticSink(nullptr);
        if (openEventStore() != 1 || !createEventTables() || !loadShippedRules()) return;
        ready = true;
    }
    ~PathFixture() {
        closeEventStore();
        server.reset();
        std::error_code ec;
        fs::current_path("/", ec);
        fs::remove_all(dir, ec);
    }
};

void BM_HostToUploadedZip(benchmark::State& state) {
    static PathFixture fixture;
    if (!fixture.ready) {
        state.SkipWithError("set-up failed (test server, store or rules)");
        return;
    }
    std::FILE* sink = nullptr;
    if (state.range(0) > 0) {
        sink = std::fopen("/dev/null", "w");
        SetLogInfo("bench.log", ".", 1000000, nullptr, static_cast<unsigned char>(state.range(0)));
        SetLogFilePtr(sink);
    }
    initHostCache();
    HostSlot& host = hostSlot(0);
    std::size_t uploads = fixture.server->uploads().size();
    for (auto _ : state) {
        state.PauseTiming();
        collection_test::prepareWindowsHost(host, 9, "bench.localhost");
        addRules(host);
        state.ResumeTiming();
        collectHostEvents(host, collectorSlot(0));
        transferEventData();
        if (fixture.server->uploads().size() != ++uploads) {
            state.SkipWithError("the upload did not arrive");
            break;
        }
    }
    host.filters.clear();
    host.notifications.clear();
    if (sink) {
        ReplaceLogStream(nullptr);
        std::fclose(sink);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kHostEvents);
}
BENCHMARK(BM_HostToUploadedZip)->Arg(0)->Arg(3)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
