// Any registry file: reading must not crash; a file that reads must, after a
// write through the API, read again with every value it had plus the new
// one (the writer and the reader agree on the format).
#include <strings.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/registry.h"

using namespace platform;

namespace {

std::string registryPath() {
    static const std::string path = [] {
        std::string p = "/tmp/ambrik-regfuzz-" + std::to_string(::getpid()) + ".reg";
        setenv("ORBISK_REGISTRY", p.c_str(), 1);
        return p;
    }();
    return path;
}

std::vector<RegistryValue> readAll(const std::string& key, long* rc) {
    std::vector<RegistryValue> values;
    RegistryKey k(nullptr, nullptr);
    *rc = regOpenKey(RegistryRoot::LocalMachine, key, RegistryAccess::Read, &k);
    if (*rc != 0) return values;
    std::uint32_t count = 0;
    regQueryValueCount(k, &count);
    for (std::uint32_t i = 0; i < count; ++i) {
        RegistryValue v;
        if (regEnumValue(k, i, &v, 1 << 20, 1 << 20) == 0) values.push_back(v);
    }
    return values;
}

bool same(const RegistryValue& a, const RegistryValue& b) {
    return a.name == b.name && a.type == b.type && a.data == b.data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = registryPath();
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    const std::string key = "Software\\Test";
    long rc = 0;
    std::vector<RegistryValue> before = readAll(key, &rc);
    if (rc == kErrorBadDatabase) {
        if (lastRegistryError().find(path) == std::string::npos) std::abort();
        return 0;
    }
    RegistryKey k(nullptr, nullptr);
    bool created = false;
    if (regCreateKey(RegistryRoot::LocalMachine, key, &k, &created) != 0) return 0;
    if (regSetValue(k, "fuzz-added", kRegSz, "a\\b\"c\nd") != 0) return 0;
    std::vector<RegistryValue> after = readAll(key, &rc);
    if (rc != 0) std::abort();
    for (const auto& v : before) {
        if (v.name.size() == 10 && strcasecmp(v.name.c_str(), "fuzz-added") == 0) continue;
        bool found = false;
        for (const auto& w : after) found = found || same(v, w);
        if (!found) std::abort();
    }
    return 0;
}
