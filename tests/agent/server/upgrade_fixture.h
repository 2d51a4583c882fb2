// The upgrade tests' fixture: a local server that answers the version and
// Renovo.exe, and an install directory in a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "agent/server/upgrade.h"
#include "platform/clock.h"
#include "tests/agent/server/local_server.h"

class UpgradeTest : public ::testing::Test {
protected:
    void SetUp() override {
        HttpGlobalInit();
        server.http().Get("/event/agentHandler", [this](const httplib::Request& req, httplib::Response& res) {
            const std::string mode = req.get_param_value("mode");
            if (mode == "version") res.set_content(serverVersion, "text/plain");
            else if (mode == "Renovo.exe") {
                res.status = renovoStatus;
                res.set_content(renovoScript, "application/octet-stream");
            }
            else res.status = 404;
        });
        UseLocalServer(server.start());
        PutAgentSetting("AgentVersion", "8.0.1");
        std::filesystem::create_directories(root.path / "install" / "bin");
        PutAgentSetting("AgentInstallDir", (root.path / "install").string() + "/");
    }
    void TearDown() override { platform::useSystemClock(); }
    std::string upgradeDir() const { return (root.path / "install" / "OrbiskAgent").string(); }
    // A Renovo that records its working directory and arguments in the marker.
    std::string recordingRenovo(const std::string& marker) const {
        return "#!/bin/sh\npwd > " + marker + ".tmp\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done >> " + marker +
               ".tmp\nmv " + marker + ".tmp " + marker + "\n";
    }
    static bool waitForFile(const std::string& path) {
        for (int i = 0; i < 1000 && !std::filesystem::exists(path); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return std::filesystem::exists(path);
    }

    LocalServer server;
    ScratchDir root{"upgrade"};
    std::string serverVersion = "8.0.1";
    std::string renovoScript;
    int renovoStatus = 200;
};

