// One configuration update poll against a server whose every answer about
// the changes is the input: the SLUPDATE rows (SERVICETYPE, SERVICEID), the
// host rows fetched for a "Host" change, the filter and notification rows
// fetched for a "Filter" or "Alert" change, all read with the shipped data
// dictionary. Before each poll the 25 host slots are filled from the test
// server's scenario answers, so that changes meet hosts in use. The server is
// an HTTP server of this process on 127.0.0.1.
#include <httplib.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "agent/hosts/host_cache.h"
#include "agent/hosts/update_poll.h"
#include "agent/scheduler/scheduler.h"
#include "agent/server/http_client.h"
#include "agent/settings/settings.h"
#include "agent/tablestore/data_dict.h"
#include "agent/tablestore/imds.h"
#include "platform/clock.h"

namespace {

std::string scenarioAnswer(const char* name) {
    std::ifstream in(std::string(AMBRIK_SOURCE_DIR "/testserver/scenarios/default/") + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Server {
    httplib::Server http;
    std::mutex lock;
    std::string answer;  // the input, for every question about a change
    int port = 0;

    Server() {
        // The start-up questions (no host named) get the scenario's answers.
        const std::string hosts = scenarioAnswer("hostdetails.xml");
        const std::string filters = scenarioAnswer("filters.xml");
        const std::string notifications = scenarioAnswer("notifications.xml");
        http.Get(".*", [=, this](const httplib::Request& req, httplib::Response& res) {
            const bool forAgent = req.has_param("slid") && !req.has_param("hostid") && req.get_param_value("mode").empty();
            if (forAgent && req.path.find("hostdetails") != std::string::npos)
                res.set_content(hosts, "text/xml");
            else if (forAgent && req.path.find("filters") != std::string::npos)
                res.set_content(filters, "text/xml");
            else if (forAgent && req.path.find("notifications") != std::string::npos)
                res.set_content(notifications, "text/xml");
            else {
                std::lock_guard<std::mutex> guard(lock);
                res.set_content(answer, "text/xml");
            }
        });
        port = http.bind_to_any_port("127.0.0.1");
        std::thread([this] { http.listen_after_bind(); }).detach();
        while (!http.is_running()) std::this_thread::yield();
    }
};

Server& start() {
    static Server* server = [] {
        if (!LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml")) __builtin_trap();
        auto* s = new Server;
        PutAgentSetting("ServerProtocol", "http");
        PutAgentSetting("ServerIPAddress", "127.0.0.1");
        PutAgentSetting("ServerPort", std::to_string(s->port));
        SetAgentId(1001);
        SetAgentHost("agent.localhost", "127.0.0.200");
        HttpTransferLimits limits;
        limits.verbose = false;
        limits.connectTimeoutSeconds = 5;
        SetHttpTransferLimits(limits);
        platform::useManualClock(1772445600000LL);  // timers are set, none fires
        return s;
    }();
    return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Server& server = start();
    {
        std::lock_guard<std::mutex> guard(server.lock);
        server.answer.assign(reinterpret_cast<const char*>(data), size);
    }
    SetServerStatus(kServerUp);
    resetSchedulerForTests();
    initScheduler();
    initHostCache();
    loadAllHosts();
    pollConfigurationUpdates();
    FreeAllTableData();
    return 0;
}
