// Cost of the registry file backend (every open re-reads and parses the
// file; every write re-reads it under the lock and replaces it) and of
// starting and reaping a program.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/process.h"
#include "platform/registry.h"

using namespace platform;

namespace {

struct TempRegistry {
    std::filesystem::path dir;
    explicit TempRegistry(int values) {
        char tmpl[] = "/tmp/ambrik-regbench-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("ORBISK_REGISTRY", (dir / "registry.reg").c_str(), 1);
        std::ofstream out(dir / "registry.reg");
        out << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\Ambrik]\n";
        for (int i = 0; i < values; ++i)
            out << "\"Value" << i << "\"=\"C:\\\\Program Files\\\\Orbisk_Agent\\\\" << i << "\"\n";
    }
    ~TempRegistry() {
        unsetenv("ORBISK_REGISTRY");
        std::filesystem::remove_all(dir);
    }
};

void OpenAndQuery(benchmark::State& state) {
    TempRegistry reg(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        RegistryKey key(nullptr, nullptr);
        regOpenKey(RegistryRoot::LocalMachine, "Software\\Vardo Corp\\Orbisk\\Ambrik", RegistryAccess::Read, &key);
        RegistryValue value;
        benchmark::DoNotOptimize(regQueryValue(key, "Value0", &value));
    }
}
BENCHMARK(OpenAndQuery)->Arg(20)->Arg(2000);

void SetValue(benchmark::State& state) {
    TempRegistry reg(static_cast<int>(state.range(0)));
    RegistryKey key(nullptr, nullptr);
    bool created = false;
    regCreateKey(RegistryRoot::LocalMachine, "Software\\Vardo Corp\\Orbisk\\Ambrik", &key, &created);
    int i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(regSetValue(key, "Value0", kRegSz, std::to_string(i++)));
}
BENCHMARK(SetValue)->Arg(20)->Arg(2000)->Unit(benchmark::kMicrosecond);

void StartAndWait(benchmark::State& state) {
    for (auto _ : state) {
        Process p(nullptr, nullptr);
        startProcess("true", "/tmp", false, &p);
        std::uint32_t code = 0;
        benchmark::DoNotOptimize(waitProcess(p, -1, &code));
    }
}
BENCHMARK(StartAndWait)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
