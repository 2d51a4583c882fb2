// Attribute collection against the command-line tools that report the same
// facts, in one run:
//  - checksums of a 1 GB tree of 10000 files: collectFileAttributes with
//    checksums on, against md5sum and then sha1sum of the same files;
//  - the DACL and owner texts of 2000 files: GetDACLInfo plus FileOwnerInfo,
//    against getfacl and stat of the same files.
// Every measurement runs on a warm page cache (the tree is read once first).
#include <benchmark/benchmark.h>
#include <fcntl.h>

#include <cstring>

#include <fstream>
#include <random>

#include "agent/fim/file_attributes.h"
#include "bench/fim/bench_support.h"

namespace {

using namespace fimbench;

struct Tree {
    fs::path root;
    std::vector<std::string> local;    // paths for the tools
    std::vector<std::string> windows;  // paths for the agent
    Tree(const char* name, int folders, int filesPerFolder, std::size_t fileSize) {
        root = scratchFolder(name);
        std::mt19937_64 random(42);
        std::string block(fileSize, '\0');
        for (int d = 0; d < folders; ++d) {
            const fs::path folder = root / ("d" + std::to_string(d));
            fs::create_directories(folder);
            for (int f = 0; f < filesPerFolder; ++f) {
                for (std::size_t i = 0; i + 8 <= block.size(); i += 8) {
                    const std::uint64_t v = random();
                    std::memcpy(&block[i], &v, 8);
                }
                const fs::path file = folder / ("f" + std::to_string(f) + ".bin");
                std::ofstream(file, std::ios::binary).write(block.data(), static_cast<std::streamsize>(block.size()));
                local.push_back(file.string());
                windows.push_back(windowsPathOf(file));
            }
        }
        runTool("cat", {}, local);  // warm the page cache
    }
    ~Tree() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Tree& bigTree() {
    static Tree tree("fim-bench-sums", 100, 100, 100 * 1000);  // 10000 files, 1 GB
    return tree;
}

Tree& smallTree() {
    static Tree tree("fim-bench-dacl", 20, 100, 16);
    return tree;
}

void BM_CollectFileAttributesWithChecksums(benchmark::State& state) {
    Tree& tree = bigTree();
    setChecksumSwitch();
    for (auto _ : state) {
        for (const std::string& path : tree.windows) {
            FileAttributeRecord record;
            record.path = path;
            collectFileAttributes(record);
            benchmark::DoNotOptimize(record.sha1);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(tree.windows.size()));
}
BENCHMARK(BM_CollectFileAttributesWithChecksums)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_Md5sumThenSha1sum(benchmark::State& state) {
    Tree& tree = bigTree();
    for (auto _ : state) {
        runTool("md5sum", {}, tree.local);
        runTool("sha1sum", {}, tree.local);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(tree.local.size()));
}
BENCHMARK(BM_Md5sumThenSha1sum)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_DaclAndOwnerTexts(benchmark::State& state) {
    Tree& tree = smallTree();
    for (auto _ : state) {
        for (const std::string& path : tree.windows) {
            FileAttributeRecord record;
            record.path = path;
            GetDACLInfo(record);
            FileOwnerInfo(record);
            benchmark::DoNotOptimize(record.dacl);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(tree.windows.size()));
}
BENCHMARK(BM_DaclAndOwnerTexts)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GetfaclAndStat(benchmark::State& state) {
    Tree& tree = smallTree();
    for (auto _ : state) {
        runTool("getfacl", {"-p", "-n"}, tree.local);
        runTool("stat", {}, tree.local);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(tree.local.size()));
}
BENCHMARK(BM_GetfaclAndStat)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
