// Rule matching per event, and building a host's rule lists from a dump.

#include <benchmark/benchmark.h>

#include <string>

#include "agent/collection/event_matching.h"
#include "agent/collection/event_record.h"
#include "agent/hosts/host_cache.h"
#include "agent/hosts/host_rules.h"
#include "agent/tablestore/data_dict.h"
#include "agent/tablestore/imds.h"
#include "agent/tablestore/table_loader.h"
#include "common/log.h"

namespace {

// Ten filters of message and event id expressions that never drop, and ten
// notification rules of which every second one matches: the work of a host
// with a realistic rule set for each kept event.
void fillRules(HostSlot& host) {
    for (int i = 0; i < 10; ++i) {
        FilterRule f;
        f.filterId = i;
        FilterCriterion c;
        c.criterionType = kAnyLogType;
        RuleExpression m;
        m.columnKind = kColumnMessage;
        m.includeValues = std::vector<std::string>{"password was changed", "privileges assigned"};
        m.excludeValues = std::vector<std::string>{"test"};
        RuleExpression ids;
        ids.columnKind = kColumnEventId;
        ids.eventIds = {4720, 4722, 4724};
        ids.eventIdRanges = {{4726, 4740}};
        c.expressions = {ids, m};
        f.criteria.push_back(c);
        f.columnMask = kColumnMessage | kColumnEventId;
        host.filters.push_back(f);

        NotificationRule n;
        n.notificationId = 800 + i;
        n.logTypeCodes = {3};
        n.occurrenceThreshold = 3;
        n.interval = 300;
        RuleExpression e;
        e.columnKind = kColumnEventId;
        e.eventIds = {i % 2 == 0 ? 4625 : 4771};
        n.expressions = {e};
        n.columnMask = kColumnEventId;
        host.notifications.push_back(n);
    }
}

void BM_MatchOneEvent(benchmark::State& state) {
    SetLogInfo("bench.log", "/dev", 0, nullptr, 1);  // messages below LogEssential are not written
    HostSlot host;
    fillRules(host);
    EventRecord r;
    r.logTypeId = 3;
    r.severity = 5;
    r.eventId = 4625;
    r.message = std::string(600, 'x') + " An account failed to log on. Failure Reason: Unknown user name or bad password.";
    std::int32_t t = 1700000000;
    for (auto _ : state) {
        r.eventTime = t++;
        benchmark::DoNotOptimize(applyFilters(host, r));
        applyNotifications(host, r);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MatchOneEvent);

// The staging tables hold one dump while the rules are built and are emptied
// afterwards, as the agent does; a run that left its rows behind would make
// every later run build (and hold) the rules of all earlier ones.
void BM_BuildHostFilters(benchmark::State& state) {
    SetLogInfo("bench.log", "/dev", 0, nullptr, 1);
    static const bool dictionary = LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml");
    benchmark::DoNotOptimize(dictionary);
    std::string xml = "<F>";
    const int filters = static_cast<int>(state.range(0));
    for (int i = 0; i < filters; ++i) {
        const std::string id = std::to_string(i + 1);
        xml += "<HostFilter HOSTID=\"17\" FILTERID=\"" + id + "\"/><SyslogFilter ID=\"" + id + "\"/>";
        xml += "<Filter2Criteria FILTERID=\"" + id + "\" CRITERIAID=\"" + id + "\" TYPE=\"255\"/>";
        xml += "<LACriteria2Expressions CRIT_ID=\"" + id + "\" EXP_ID=\"" + id + "\"/>";
        xml += "<LAExpression EXP_ID=\"" + id + "\" COLUMN_NAME=\"EVENTID\" VALUE=\"4624,4625-4634\"/>";
    }
    xml += "</F>";
    loadTableDataFromMemory(xml.data(), xml.size());
    for (auto _ : state) {
        HostSlot host;
        host.hostId = 17;
        buildHostFilters(host);
        if (host.filters.size() != static_cast<std::size_t>(filters)) {
            state.SkipWithError("the staging tables hold rows of another run");
            break;
        }
    }
    for (const char* table : {"HostFilter", "SyslogFilter", "Filter2Criteria", "LACriteria2Expressions",
                              "LAExpression"})
        DeleteAllTableRowObjects(table);
    state.SetItemsProcessed(state.iterations() * filters);
}
BENCHMARK(BM_BuildHostFilters)->Arg(20)->Arg(200);

}  // namespace

BENCHMARK_MAIN();
