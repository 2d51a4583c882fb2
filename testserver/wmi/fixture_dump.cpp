// wmi-fixture-dump HOSTS_ROOT [HOST...]
// Writes what the simulated WMI hosts of HOSTS_ROOT answer (the POSIX
// backend's reading of their host.xml and event logs) to standard output in
// the form of testserver/wmi/fixture.h, for the test WMI provider under wine:
// each host's account and delay, its Win32_OperatingSystem object and every
// Win32_NTLogEvent, with the CIM types Windows gives these properties.
// Without HOST arguments every host folder of HOSTS_ROOT is written, in name
// order. Faults of host.xml are not carried over: a host named with any is
// refused, one found in the folder is left out with a warning.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/wmi.h"
#include "testserver/wmi/fixture.h"

namespace {

using namespace platform::wmi;

struct Column {
    const char* name;
    const char* cimType;
};

constexpr Column kOsColumns[] = {{"CurrentTimeZone", "sint16"}, {"Version", "string"}};
constexpr Column kEventColumns[] = {
    {"Category", "uint16"},        {"CategoryString", "string"}, {"ComputerName", "string"},
    {"Data", "uint8[]"},           {"EventCode", "uint16"},      {"EventIdentifier", "uint32"},
    {"EventType", "uint8"},        {"InsertionStrings", "string[]"}, {"Logfile", "string"},
    {"Message", "string"},         {"RecordNumber", "uint32"},   {"SourceName", "string"},
    {"TimeGenerated", "datetime"}, {"TimeWritten", "datetime"},  {"Type", "string"},
    {"User", "string"}};

// What host.xml says beyond what a query answers: the account and the delay.
bool readHostFile(const std::string& path, wmifixture::Host& host, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return true;  // no host.xml: any account
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), path.c_str(), nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) {
        error = path + " is not well-formed XML";
        return false;
    }
    auto attribute = [](const xmlNode* n, const char* name) {
        xmlChar* v = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
        std::string out = v ? reinterpret_cast<const char*>(v) : "";
        xmlFree(v);
        return out;
    };
    bool ok = true;
    const xmlNode* root = xmlDocGetRootElement(doc);
    for (const xmlNode* n = root ? root->children : nullptr; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        const char* name = reinterpret_cast<const char*>(n->name);
        if (std::strcmp(name, "account") == 0) {
            host.hasAccount = true;
            host.user = attribute(n, "user");
            host.password = attribute(n, "password");
        } else if (std::strcmp(name, "delay") == 0) {
            host.delayMs = std::atoi(attribute(n, "ms").c_str());
        } else if (std::strcmp(name, "fault") == 0) {
            error = path + " has faults, which the provider does not reproduce";
            ok = false;
        }
    }
    xmlFreeDoc(doc);
    return ok;
}

wmifixture::Property property(const Object& object, const Column& column) {
    wmifixture::Property p;
    p.name = column.name;
    p.cimType = column.cimType;
    Variant v;
    if (failed(object.get(column.name, v)) || v.isNull()) return p;
    p.null = false;
    switch (v.type) {
        case Variant::Type::Integer: p.values.push_back(std::to_string(v.integer)); break;
        case Variant::Type::Boolean: p.values.push_back(v.boolean ? "1" : "0"); break;
        case Variant::Type::Text: p.values.push_back(v.text); break;
        case Variant::Type::TextArray: p.values = v.texts; break;
        case Variant::Type::Bytes:
            for (std::uint8_t b : v.bytes) p.values.push_back(std::to_string(b));
            break;
        case Variant::Type::Null: p.null = true; break;
    }
    return p;
}

template <std::size_t N>
HResult readQuery(Services& services, const std::string& className, const std::string& wql,
                  const Column (&columns)[N], wmifixture::Host& host) {
    EnumeratorPtr enumerator;
    HResult hr = services.execQuery("WQL", wql, WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                    enumerator);
    if (failed(hr)) return hr;
    ObjectPtr object;
    while ((hr = enumerator->next(WBEM_INFINITE, object)) == WBEM_S_NO_ERROR) {
        wmifixture::Object o{className, {}};
        for (const Column& c : columns) o.properties.push_back(property(*object, c));
        host.objects.push_back(std::move(o));
    }
    return failed(hr) ? hr : WBEM_S_NO_ERROR;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: wmi-fixture-dump HOSTS_ROOT [HOST...]\n";
        return 2;
    }
    std::vector<std::string> names(argv + 2, argv + argc);
    const bool every = names.empty();
    if (every) {
        std::error_code ec;
        for (std::filesystem::directory_iterator it(argv[1], ec), end; !ec && it != end; it.increment(ec))
            if (it->is_directory()) names.push_back(it->path().filename().string());
        if (ec) {
            std::cerr << "wmi-fixture-dump: cannot list " << argv[1] << ": " << ec.message() << "\n";
            return 1;
        }
        std::sort(names.begin(), names.end());
    }
    setHostsRoot(argv[1]);
    setLocalHostName("wmi-fixture-dump.invalid");
    setDiagnosticSink(nullptr);
    initializeCom();
    LocatorPtr locator;
    if (failed(createLocator(locator))) return 1;
    std::vector<wmifixture::Host> hosts;
    for (const std::string& name : names) {
        wmifixture::Host host;
        host.name = name;
        std::string error;
        if (!readHostFile(std::string(argv[1]) + "/" + host.name + "/host.xml", host, error)) {
            std::cerr << "wmi-fixture-dump: " << error << (every ? "; left out\n" : "\n");
            if (every) continue;
            return 1;
        }
        ServicesPtr services;
        HResult hr = locator->connectServer("\\\\" + host.name + "\\root\\cimv2", host.user, host.password, "",
                                            0, services);
        if (succeeded(hr))
            hr = readQuery(*services, "Win32_OperatingSystem",
                           "Select CurrentTimeZone, Version from Win32_OperatingSystem", kOsColumns, host);
        if (succeeded(hr))
            hr = readQuery(*services, "Win32_NTLogEvent", "Select * from Win32_NTLogEvent", kEventColumns, host);
        if (failed(hr)) {
            std::fprintf(stderr, "wmi-fixture-dump: host %s answers 0x%08X\n", host.name.c_str(),
                         static_cast<unsigned>(hr));
            return 1;
        }
        hosts.push_back(std::move(host));
    }
    std::cout << wmifixture::format(hosts);
    std::cout.flush();
    return std::cout ? 0 : 1;
}
