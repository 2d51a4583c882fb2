// The simulated hosts' files are written by whoever runs the demo or a test,
// not by the agent: host.xml, the WQL text, the event XML and the EVTX reader
// must take any bytes. The first byte picks which one gets the input; the
// others get a valid file. Every object that comes back is read whole.

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/wmi.h"

namespace {

namespace wmi = platform::wmi;

const char* const kValidHost = "<host version=\"10.0.17763\" currentTimeZone=\"60\"/>";
const char* const kValidEvents =
    "<Events><Event xmlns=\"http://schemas.microsoft.com/win/2004/08/events/event\"><System>"
    "<Provider Name=\"P\"/><EventID>4624</EventID><Level>4</Level><Channel>Security</Channel>"
    "<TimeCreated SystemTime=\"2024-01-02T03:04:05.000Z\"/><EventRecordID>7</EventRecordID>"
    "</System><EventData><Data>a</Data></EventData></Event></Events>";
const char* const kEventQuery = "Select * from Win32_NTLogEvent where TimeGenerated > '20240101000000.000000+000'";
const char* const kProperties[] = {"SourceName", "Category", "CategoryString", "EventIdentifier", "EventCode",
                                   "EventType",  "Type",     "Logfile",        "Data",            "TimeGenerated",
                                   "TimeWritten", "Message", "InsertionStrings", "CurrentTimeZone", "Version"};

std::string hostFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/ambrik-wmi-fuzz-XXXXXX";
        const std::string root = mkdtemp(pattern) ? pattern : "/tmp";
        wmi::setHostsRoot(root);
        wmi::setDiagnosticSink(nullptr);
        wmi::initializeCom();
        const std::string host = root + "/fuzzhost";
        ::mkdir(host.c_str(), 0700);
        return host;
    }();
    return folder;
}

void writeFile(const std::string& path, std::string_view bytes) {
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string folder = hostFolder();
    const int kind = data[0] % 4;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

    writeFile(folder + "/host.xml", kind == 0 ? input : std::string_view(kValidHost));
    writeFile(folder + "/events.xml", kind == 2 ? input : std::string_view(kValidEvents));
    if (kind == 3) writeFile(folder + "/events.evtx", input);
    const std::string query = kind == 1 ? std::string(input) : (size & 1 ? kEventQuery : "Select CurrentTimeZone, Version from Win32_OperatingSystem");

    wmi::LocatorPtr locator;
    wmi::ServicesPtr services;
    wmi::EnumeratorPtr results;
    if (wmi::succeeded(wmi::createLocator(locator)) &&
        wmi::succeeded(locator->connectServer("\\\\fuzzhost\\root\\cimv2", "", "", "", 0, services)) &&
        wmi::succeeded(services->execQuery("WQL", query, 0, results))) {
        for (int i = 0; i < 10000; ++i) {
            wmi::ObjectPtr object;
            if (results->next(0, object) != wmi::WBEM_S_NO_ERROR || !object) break;
            wmi::Variant value;
            for (const char* name : kProperties) object->get(name, value);
        }
    }
    std::remove((folder + "/events.evtx").c_str());
    return 0;
}
