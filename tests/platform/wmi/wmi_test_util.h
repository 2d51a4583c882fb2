// Shared pieces of the WMI tests: a temporary hosts root, event XML writers
// and short-cuts through connect, query and enumerate.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wmi.h"

namespace wmitest {

namespace fs = std::filesystem;
using namespace platform::wmi;

// Diagnostics of the backend, kept so tests can look at them.
inline std::mutex& diagnosticsMutex() {
    static std::mutex m;
    return m;
}
inline std::vector<std::string>& diagnostics() {
    static std::vector<std::string> d;
    return d;
}
inline void keepDiagnostic(const char* message) {
    std::lock_guard<std::mutex> lock(diagnosticsMutex());
    diagnostics().push_back(message);
}
inline bool diagnosed(const std::string& part) {
    std::lock_guard<std::mutex> lock(diagnosticsMutex());
    for (const auto& d : diagnostics())
        if (d.find(part) != std::string::npos) return true;
    return false;
}

inline void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline void appendFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << text;
}

// The fields of one test event in Windows event XML.
struct EventXml {
    std::string channel = "Application";
    std::string provider = "TestSource";
    std::string eventSourceName;
    int eventId = 1000;
    int qualifiers = -1;  // -1: no Qualifiers attribute
    int level = 4;
    std::string keywords = "0x80000000000000";
    int task = 0;
    std::string systemTime = "2024-03-10T12:00:00.000000000Z";
    long long recordId = 1;
    std::string computer = "host1.corp.example";
    std::vector<std::string> data;
    bool eventData = true;
    std::string userData;  // inner XML of <UserData>, used when eventData is false
    std::string binary;    // hex digits of <Binary>
    bool hasMessage = false;
    std::string message;
    std::string taskName;
};

inline std::string escapeXml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

inline std::string eventXml(const EventXml& e) {
    std::string x = "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>";
    x += "<Provider Name='" + escapeXml(e.provider) + "'";
    if (!e.eventSourceName.empty()) x += " EventSourceName='" + escapeXml(e.eventSourceName) + "'";
    x += "/><EventID";
    if (e.qualifiers >= 0) x += " Qualifiers='" + std::to_string(e.qualifiers) + "'";
    x += ">" + std::to_string(e.eventId) + "</EventID><Version>0</Version>";
    x += "<Level>" + std::to_string(e.level) + "</Level><Task>" + std::to_string(e.task) +
         "</Task><Opcode>0</Opcode><Keywords>" + e.keywords + "</Keywords>";
    x += "<TimeCreated SystemTime='" + e.systemTime + "'/><EventRecordID>" +
         std::to_string(e.recordId) + "</EventRecordID><Correlation/>";
    x += "<Execution ProcessID='4' ThreadID='8'/><Channel>" + escapeXml(e.channel) +
         "</Channel><Computer>" + escapeXml(e.computer) + "</Computer><Security/></System>";
    if (e.eventData) {
        x += "<EventData>";
        for (std::size_t i = 0; i < e.data.size(); ++i)
            x += "<Data Name='p" + std::to_string(i) + "'>" + escapeXml(e.data[i]) + "</Data>";
        if (!e.binary.empty()) x += "<Binary>" + e.binary + "</Binary>";
        x += "</EventData>";
    } else if (!e.userData.empty()) {
        x += "<UserData>" + e.userData + "</UserData>";
    }
    if (e.hasMessage || !e.taskName.empty()) {
        x += "<RenderingInfo Culture='en-US'>";
        if (e.hasMessage) x += "<Message>" + escapeXml(e.message) + "</Message>";
        x += "<Level>Information</Level>";
        if (!e.taskName.empty()) x += "<Task>" + escapeXml(e.taskName) + "</Task>";
        x += "</RenderingInfo>";
    }
    x += "</Event>\n";
    return x;
}

// A temporary hosts root, installed as the backend's root for one test.
class WmiTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ambrik-wmi-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        setHostsRoot(root.string());
        setLocalHostName("agentbox");
        setDiagnosticSink(keepDiagnostic);
        {
            std::lock_guard<std::mutex> lock(diagnosticsMutex());
            diagnostics().clear();
        }
        ASSERT_TRUE(succeeded(initializeCom()));
    }
    void TearDown() override {
        uninitializeCom();
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    fs::path host(const std::string& name) { return root / name; }

    void writeHostXml(const std::string& name, const std::string& body) {
        writeFile(host(name) / "host.xml", body);
    }

    HResult connect(const std::string& ns, ServicesPtr& services, const std::string& user = "",
                    const std::string& password = "") {
        LocatorPtr locator;
        HResult hr = createLocator(locator);
        if (failed(hr)) return hr;
        return locator->connectServer(ns, user, password, "", 0, services);
    }

    // Connects to a host (no account) and starts a query; null on failure.
    EnumeratorPtr openQuery(const std::string& hostName, const std::string& wql,
                            ServicesPtr* keep = nullptr) {
        ServicesPtr services;
        HResult hr = connect("//" + hostName + "/root/cimv2", services);
        EXPECT_EQ(hr, WBEM_S_NO_ERROR) << std::hex << hr;
        if (failed(hr)) return nullptr;
        EnumeratorPtr enumerator;
        hr = services->execQuery("WQL", wql, WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                 enumerator);
        EXPECT_EQ(hr, WBEM_S_NO_ERROR) << std::hex << hr;
        if (keep) *keep = std::move(services);
        return enumerator;
    }

    // Runs a query on a host and reads every object; the last Next result
    // goes to *end.
    std::vector<ObjectPtr> query(const std::string& hostName, const std::string& wql,
                                 HResult* end = nullptr) {
        std::vector<ObjectPtr> objects;
        EnumeratorPtr enumerator = openQuery(hostName, wql);
        if (!enumerator) return objects;
        ObjectPtr object;
        HResult hr;
        while ((hr = enumerator->next(WBEM_INFINITE, object)) == WBEM_S_NO_ERROR)
            objects.push_back(std::move(object));
        if (end) *end = hr;
        return objects;
    }

    fs::path root;
};

inline Variant prop(const ObjectPtr& object, const std::string& name) {
    Variant v;
    EXPECT_EQ(object->get(name, v), WBEM_S_NO_ERROR) << name;
    return v;
}
inline std::string text(const ObjectPtr& object, const std::string& name) {
    Variant v = prop(object, name);
    EXPECT_EQ(v.type, Variant::Type::Text) << name;
    return v.text;
}
inline std::int64_t integer(const ObjectPtr& object, const std::string& name) {
    Variant v = prop(object, name);
    EXPECT_EQ(v.type, Variant::Type::Integer) << name;
    return v.integer;
}

inline std::string toLowerForTest(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

inline const char* kAllEvents = "Select * from Win32_NTLogEvent";

}  // namespace wmitest
