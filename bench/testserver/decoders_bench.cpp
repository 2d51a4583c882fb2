// Throughput of the upload decoders on files of the size one transfer
// period produces on a busy agent.
#include <benchmark/benchmark.h>

#include "testserver/decoders/decoders.h"
#include "tests/testserver/bytes.h"

namespace {

std::string rawLogFile(int records) {
    std::string bytes;
    for (int i = 0; i < records; ++i)
        bytes += testbytes::rawLogRecord("An account failed to log on. Subject: Security ID: S-1-5-18 Account Name: "
                                         "ALPHA$ Logon Type: 3 Failure Reason: Unknown user name or bad password. #" +
                                         std::to_string(i));
    return bytes;
}

std::string aggregateFile(int rows) {
    std::string text;
    for (int i = 0; i < rows; ++i)
        text += "|**|NULL|**|14|**|2026-12-07 14:00:00|**|101|**|Microsoft-Windows-Security-Auditing|**|Security|**|" +
                std::to_string(4600 + i % 100) + "|**|admin|**|CORP|**|3|**|0|**|0|**|0|**|2|**|1|**|**|\n";
    return text;
}

void BM_DecodeRawLogRecords(benchmark::State& state) {
    const std::string bytes = rawLogFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::vector<decoders::PackedRecord> records;
        benchmark::DoNotOptimize(decoders::decodeRecords(bytes, decoders::rawLogSchema().format, records));
        benchmark::DoNotOptimize(records.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeRawLogRecords)->Arg(10000);

void BM_RawLogToJsonLines(benchmark::State& state) {
    const std::string bytes = rawLogFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::string out;
        benchmark::DoNotOptimize(decoders::toJsonLines(decoders::FileKind::RawLog, bytes, out));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_RawLogToJsonLines)->Arg(10000);

void BM_DecodeAggregateRows(benchmark::State& state) {
    const std::string text = aggregateFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::vector<decoders::Row> rows;
        decoders::RowFormat format;
        benchmark::DoNotOptimize(decoders::decodeRows(text, std::nullopt, 15, rows, format));
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_DecodeAggregateRows)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
