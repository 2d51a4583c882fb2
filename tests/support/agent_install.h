// What whole-program tests of file monitoring set up before they start the
// agent: a scratch folder with an install folder holding the agent's data
// files, a copy of the test server's default scenario with no hosts and the
// test's own monitor requests, and the registry file that points the agent at
// the server, the install folder and the drives of the test.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/support/agent_process.h"

namespace agent_install {

namespace fs = std::filesystem;

struct Layout {
    fs::path dir;       // the test's scratch folder, removed unless the test failed
    fs::path inst;      // AgentInstallDir
    fs::path scenario;  // the test server's scenario folder
};

// "<MonitorRequests>" with the given rows, as the server's table answer file.
inline std::string monitorRequests(const std::string& rows) {
    return "<?xml version=\"1.0\"?>\n<MonitorRequests>\n" + rows + "</MonitorRequests>\n";
}

// One include row; `location` as the server stores it (backslashes doubled).
inline std::string includeRow(const std::string& location, long long locationId, const std::string& checksum = "") {
    return "  <FIM_AgentRequest INCL_LOC=\"" + location + "\" CHECKSUM=\"" + checksum + "\" LOC_ID=\"" +
           std::to_string(locationId) + "\"/>\n";
}

inline std::string excludeRow(const std::string& location) {
    return "  <FIM_AgentExclude EXCL_LOC=\"" + location + "\"/>\n";
}

// Makes a fresh /tmp/<prefix>-XXXXXX (lower case: the agent's locations are)
// with the install folder and the scenario; `requests` answers the agent's
// monitor requests.
inline Layout makeLayout(const std::string& prefix, const std::string& requests) {
    Layout layout;
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (!mkdtemp(pattern.data())) return layout;
    layout.dir = pattern;
    layout.inst = layout.dir / "inst";
    fs::create_directories(layout.inst / "bin" / "data");
    fs::create_directories(layout.inst / "logs");
    for (const char* f : {"data-dictionary.xml", "EventIdParserRules.xml"})
        fs::copy_file(fs::path(AMBRIK_SOURCE_DIR) / "data" / f, layout.inst / "bin" / "data" / f);
    layout.scenario = layout.dir / "scenario";
    fs::copy(fs::path(AMBRIK_SOURCE_DIR) / "testserver" / "scenarios" / "default", layout.scenario,
             fs::copy_options::recursive);
    fs::remove_all(layout.scenario / "wmi-hosts");
    agent_process::writeFile(layout.scenario / "hostdetails.xml", "<?xml version=\"1.0\"?>\n<HostList/>\n");
    agent_process::writeFile(layout.scenario / "monitorrequests-agent.xml", requests);
    return layout;
}

// The registry file: the server on 127.0.0.1:port over http, the install
// folder, and each drive letter of `volumes` mapped to its folder with the
// journals in `journalDir` and the inotify watcher (as every user may run it).
inline std::string registryText(int port, const Layout& layout, const std::map<char, fs::path>& volumes = {},
                                const fs::path& journalDir = {}) {
    std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\ServerInfo]\r\n"
        "\"ServerIPAddress\"=\"127.0.0.1\"\r\n\"ServerPort\"=\"" +
        std::to_string(port) +
        "\"\r\n\"ServerProtocol\"=\"http\"\r\n\"ServerDBType\"=\"mysql\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\Ambrik]\r\n"
        "\"AgentInstallDir\"=\"" +
        layout.inst.string() + "/\"\r\n\"AgentVersion\"=\"8.0.0\"\r\n\"AWS Instance\"=\"no\"\r\n\"WmiHostsDir\"=\"" +
        (layout.inst / "wmi-hosts").string() + "\"\r\n";
    if (!volumes.empty()) {
        text += "\r\n[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\Ambrik\\Volumes]\r\n";
        for (const auto& [letter, folder] : volumes) text += "\"" + std::string(1, letter) + "\"=\"" + folder.string() + "\"\r\n";
        text += "\"JournalDir\"=\"" + journalDir.string() + "/\"\r\n\"Watcher\"=\"inotify\"\r\n";
    }
    return text;
}

// Polls `done` every 200 ms for up to `seconds` of real time.
inline bool waitUntil(const std::function<bool()>& done, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return done();
}

// The stored uploads whose names hold `prefix` ("changedata_"), in arrival order.
inline std::vector<fs::path> uploadZips(const std::string& outputDir, const std::string& prefix) {
    std::vector<fs::path> zips;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(outputDir) / "uploads", ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".zip" && it->path().filename().string().find(prefix) != std::string::npos)
            zips.push_back(it->path());
    std::sort(zips.begin(), zips.end());
    return zips;
}

inline std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

inline void removeUnlessFailed(const fs::path& dir, bool failed) {
    if (dir.empty()) return;
    if (failed) {
        std::fprintf(stderr, "kept %s for inspection\n", dir.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace agent_install
