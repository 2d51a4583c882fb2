// Throughput of the GET into memory for large bodies (the buffer grows
// geometrically, so time per byte stays flat as the body grows), the cost of
// the key/value reader, and facility look-ups of a known type from several
// collector threads at once.
#include <benchmark/benchmark.h>

#include "agent/server/protocol.h"
#include "tests/agent/server/local_server.h"

namespace {

LocalServer& benchServer() {
    static LocalServer* server = [] {
        auto* s = new LocalServer();
        s->http().Get("/event/body", [](const httplib::Request& req, httplib::Response& res) {
            const std::size_t total = std::stoul(req.get_param_value("size"));
            // Sent in 16 KiB pieces, as a server streaming a table dump would.
            res.set_chunked_content_provider("text/plain", [total](size_t offset, httplib::DataSink& sink) {
                static const std::string piece(16384, 'x');
                if (offset >= total) {
                    sink.done();
                    return true;
                }
                sink.write(piece.data(), std::min(piece.size(), total - offset));
                return true;
            });
        });
        s->http().Get("/event/agentHandler", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("7\n", "text/plain");
        });
        HttpGlobalInit();
        UseLocalServer(s->start());
        return s;
    }();
    return *server;
}

void BM_GetLargeBody(benchmark::State& state) {
    auto& server = benchServer();
    const std::string url = server.url("/event/body?size=" + std::to_string(state.range(0)));
    for (auto _ : state) {
        ResponseBuffer response;
        if (HttpGetToBuffer(url, response) != 0) state.SkipWithError("GET failed");
        benchmark::DoNotOptimize(response.data.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GetLargeBody)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20)->Arg(64 << 20)
    ->Unit(benchmark::kMillisecond);

void BM_ReadKeyValueLine(benchmark::State& state) {
    const std::string body = "AGENTVERSIONINSERVER 8.0.0.1234\r\n" + std::string(4096, 'z');
    std::string key, value;
    for (auto _ : state) benchmark::DoNotOptimize(ReadKeyValueLine(body, key, value));
}
BENCHMARK(BM_ReadKeyValueLine);

void BM_LookupKnownFacility(benchmark::State& state) {
    benchServer();
    std::string warm = "Security";
    std::int32_t type = 0;
    if (state.thread_index() == 0) LookupFacility(warm, type);  // one server round trip, then cached
    for (auto _ : state) {
        std::string name = "Security";
        benchmark::DoNotOptimize(LookupFacility(name, type));
    }
}
BENCHMARK(BM_LookupKnownFacility)->Threads(1)->Threads(5);

}  // namespace

BENCHMARK_MAIN();
