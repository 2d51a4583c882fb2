#include "testserver/server.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/clock.h"
#include "testserver/scenario.h"
#include "testserver/tls.h"
#include "testserver/uploads.h"

namespace testserver {

namespace fs = std::filesystem;

// ---- Rules, updates ---------------------------------------------------------------

void RuleSet::add(OverrideRule rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back(std::move(rule));
}

void RuleSet::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
}

std::optional<OverrideRule> RuleSet::take(const std::string& target) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (target.find(it->pattern) == std::string::npos) continue;
        OverrideRule used = *it;
        if (it->remaining > 0 && --it->remaining == 0) rules_.erase(it);
        return used;
    }
    return std::nullopt;
}

std::vector<OverrideRule> RuleSet::list() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rules_;
}

std::string xmlAttribute(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string updateDocument(const std::vector<UpdateRow>& rows) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Updates>\n";
    for (const UpdateRow& row : rows)
        xml += "  <SLUPDATE SERVICETYPE=\"" + xmlAttribute(row.serviceType) + "\" SERVICEID=\"" +
               xmlAttribute(row.serviceId) + "\"/>\n";
    xml += "</Updates>\n";
    return xml;
}

// ---- Server state ----------------------------------------------------------------

namespace {

enum ListenerKind { kHttp = 0, kHttps = 1, kControl = 2 };
const char* const kListenerNames[] = {"http", "https", "control"};

struct Listener {
    ListenerKind kind = kHttp;
    bool enabled = false;
    int port = 0;
    std::unique_ptr<httplib::Server> server;  // the current instance; guarded by State::mutex
    std::thread thread;
    bool refused = false;
    std::int64_t refusedUntil = 0;  // clock millis; LLONG_MAX = until accepted again
};

std::string isoTime(std::int64_t millis) {
    const std::tm t = platform::toUtcTime(millis / 1000);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(millis % 1000));
    return text;
}

void answer(httplib::Response& res, int status, const std::string& body,
            const char* type = "text/plain") {
    res.status = status;
    res.set_content(body, type);
}

// The paths with a handler, which meets the status rules itself.
bool isCatalogueRoute(const std::string& path) {
    return path == "/event/agentHandler" || path == "/event/hostdetails" || path == "/event/filters" ||
           path == "/event/notifications" || path == "/event/agentUpload";
}

std::int64_t numberParam(const httplib::Request& req, const char* key, std::int64_t fallback) {
    if (!req.has_param(key)) return fallback;
    const std::string text = req.get_param_value(key);
    if (text == "all") return -1;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    return end && *end == '\0' && !text.empty() ? v : fallback;
}

}  // namespace

struct Server::State {
    explicit State(ServerOptions o)
        : options(std::move(o)), scenario(options.scenarioDir), uploads(options.outputDir) {}

    ServerOptions options;
    Scenario scenario;
    UploadStore uploads;
    RuleSet statusRules;
    RuleSet delayRules;
    TlsIdentity tls;
    std::string certPath;
    std::string error;

    std::mutex mutex;  // listeners, updates, holds, the facility numbers
    std::condition_variable changed;
    bool stopping = false;
    int holdGeneration = 0;
    std::array<Listener, 3> listeners;
    std::vector<UpdateRow> updates;
    std::map<std::string, int> assignedFacilities;

    std::mutex logMutex;
    std::FILE* log = nullptr;

    void logRequest(const httplib::Request& req) {
        std::lock_guard<std::mutex> lock(logMutex);
        if (!log) return;
        std::fprintf(log, "%s %s %s\n", isoTime(platform::nowMillis()).c_str(), req.method.c_str(),
                     req.target.c_str());
        std::fflush(log);
    }

    // Waits for a delay rule: ms < 0 holds until the delay rules are cleared
    // or the server stops; either also ends a finite delay early.
    void hold(std::int64_t ms) {
        std::unique_lock<std::mutex> lock(mutex);
        const int generation = holdGeneration;
        platform::waitFor(lock, changed, ms, [&] { return stopping || holdGeneration != generation; });
    }

    void releaseHolds() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++holdGeneration;
        }
        changed.notify_all();
    }

    std::unique_ptr<httplib::Server> makeServer(ListenerKind kind);
    bool bind(Listener& l, std::string& why);
    void run(Listener& l);
    void refuse(ListenerKind kind, std::int64_t ms);
    void accept();

    void routeEvents(httplib::Server& s);
    void routeControl(httplib::Server& s);
    void agentHandler(const httplib::Request& req, httplib::Response& res);
    void tableDump(const std::string& base, const httplib::Request& req, httplib::Response& res);
    void hostDetails(const httplib::Request& req, httplib::Response& res) { tableDump("hostdetails", req, res); }
    void filters(const httplib::Request& req, httplib::Response& res) { tableDump("filters", req, res); }
    void notifications(const httplib::Request& req, httplib::Response& res) { tableDump("notifications", req, res); }
    bool forcedAnswer(const httplib::Request& req, httplib::Response& res);
    void serveFile(httplib::Response& res, const std::string& name, const char* type);
    void facility(const httplib::Request& req, httplib::Response& res);
    void upload(const httplib::Request& req, httplib::Response& res);
};

// ---- Listeners ---------------------------------------------------------------------

std::unique_ptr<httplib::Server> Server::State::makeServer(ListenerKind kind) {
    std::unique_ptr<httplib::Server> s;
    if (kind == kHttps) {
        if (!options.certFile.empty())
            s = std::make_unique<httplib::SSLServer>(options.certFile.c_str(), options.keyFile.c_str());
        else
            s = std::make_unique<httplib::SSLServer>(tls.cert, tls.key);
    } else {
        s = std::make_unique<httplib::Server>();
    }
    // Enough workers that requests held by a delay rule do not starve the others.
    s->new_task_queue = [] { return new httplib::ThreadPool(32); };
    s->set_payload_max_length(std::size_t{1} << 30);
    // Control lives on its own listener only, so that whoever can reach the
    // agent's port cannot change the answers (a swapped Renovo.exe is run by
    // the agent).
    if (kind == kControl) routeControl(*s);
    else routeEvents(*s);
    return s;
}

bool Server::State::bind(Listener& l, std::string& why) {
    auto s = makeServer(l.kind);
    if (!s->is_valid()) {
        why = std::string(kListenerNames[l.kind]) + " listener: invalid certificate or key";
        return false;
    }
    if (l.port == 0) {
        const int port = s->bind_to_any_port("127.0.0.1");
        if (port <= 0) {
            why = std::string("cannot bind the ") + kListenerNames[l.kind] + " listener";
            return false;
        }
        l.port = port;
    } else if (!s->bind_to_port("127.0.0.1", l.port)) {
        why = std::string("cannot bind the ") + kListenerNames[l.kind] + " listener to port " +
              std::to_string(l.port);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    l.server = std::move(s);
    return true;
}

// The listener's thread: serves until stopped; while connections are refused
// no socket listens on the port, then the same port is bound again.
void Server::State::run(Listener& l) {
    while (true) {
        httplib::Server* s = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            // Even when a refusal came first: its listening socket is only
            // closed through stop() on a running server (refuse() waits for it).
            if (!stopping) s = l.server.get();
        }
        if (s) s->listen_after_bind();
        std::unique_lock<std::mutex> lock(mutex);
        l.server.reset();
        while (!stopping) {
            if (!l.refused) break;
            if (l.refusedUntil != LLONG_MAX && platform::nowMillis() >= l.refusedUntil) break;
            const std::int64_t wait = l.refusedUntil == LLONG_MAX ? -1 : l.refusedUntil - platform::nowMillis();
            platform::waitFor(lock, changed, wait, [&] { return stopping || !l.refused; });
        }
        l.refused = false;
        if (stopping) return;
        lock.unlock();
        // The port was ours a moment ago; another process may take it while
        // it is closed, so rebinding is retried until the server stops.
        std::string why;
        while (!bind(l, why)) {
            std::unique_lock<std::mutex> again(mutex);
            std::fprintf(stderr, "orbisk-testserver: %s; retrying\n", why.c_str());
            if (platform::waitFor(again, changed, 200, [&] { return stopping; })) return;
        }
    }
}

void Server::State::refuse(ListenerKind kind, std::int64_t ms) {
    for (Listener& l : listeners) {
        if (!l.enabled || l.kind == kControl) continue;
        if (kind != kControl && l.kind != kind) continue;  // kControl here stands for "all"
        // stop() closes the listening socket only once the listener's thread
        // has entered its accept loop, so a listener that is just starting
        // (or coming back from an earlier refusal) is waited for. The request
        // being served keeps its own listener running, so this cannot wait on
        // itself.
        while (true) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) return;
                l.refused = true;
                l.refusedUntil = ms < 0 ? LLONG_MAX : platform::nowMillis() + ms;
                if (!l.server) break;  // already closed
                if (l.server->is_running()) {
                    l.server->stop();
                    break;
                }
            }
            platform::sleepMillis(2);
        }
    }
    changed.notify_all();
}

void Server::State::accept() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (Listener& l : listeners) l.refused = false;
    }
    changed.notify_all();
}

// ---- Catalogue answers ------------------------------------------------------------

void Server::State::serveFile(httplib::Response& res, const std::string& name, const char* type) {
    const auto content = scenario.readFile(name);
    if (!content) return answer(res, 404, "scenario has no " + name + "\n");
    answer(res, 200, *content, type);
}

// Table dumps: the scenario's <base>.xml; a per-host request serves
// <base>-<hostid>.xml when the scenario has one, else <base>.xml reduced to
// the rows of that host. Host details carry, as LAST_MSG_TIME, the newest
// event time received for the host when that is newer than the file's.
void Server::State::tableDump(const std::string& base, const httplib::Request& req, httplib::Response& res) {
    std::optional<std::string> text;
    if (!req.has_param("hostid")) {
        text = scenario.readFile(base + ".xml");
        if (!text) return answer(res, 404, "scenario has no " + base + ".xml\n");
    } else {
        const std::string hostId = req.get_param_value("hostid");
        if (isSafeFileName(base + "-" + hostId + ".xml")) text = scenario.readFile(base + "-" + hostId + ".xml");
        if (!text) {
            const auto all = scenario.readFile(base + ".xml");
            if (!all) return answer(res, 404, "scenario has no " + base + ".xml\n");
            text = keepRowsOfHost(*all, hostId);
            if (!text) return answer(res, 500, base + ".xml does not parse\n");
        }
    }
    // A file that does not parse is served as it is: the agent's answer to it is under test.
    if (base == "hostdetails") {
        if (auto moved = withNewerLastMessageTimes(*text, uploads.newestEventMillis())) text = std::move(moved);
    }
    answer(res, 200, *text, "text/xml");
}

// getFacility: the LVALUE of the log type in logtypemapping.xml; a type the
// mapping lacks gets the next free number, the same one at every request.
void Server::State::facility(const httplib::Request& req, httplib::Response& res) {
    const std::string type = req.get_param_value("type");
    if (type.empty()) return answer(res, 400, "getFacility needs a type\n");
    const auto xml = scenario.readFile("logtypemapping.xml");
    const auto rows = xml ? rowsOfTable(*xml, "LogTypeMapping") : std::nullopt;
    int highest = 0;
    if (rows) {
        for (const auto& row : *rows) {
            auto t = row.find("LTYPE");
            auto v = row.find("LVALUE");
            if (t == row.end() || v == row.end()) continue;
            const int value = std::atoi(v->second.c_str());
            if (t->second == type) return answer(res, 200, std::to_string(value));
            highest = std::max(highest, value);
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    auto it = assignedFacilities.find(type);
    if (it == assignedFacilities.end()) {
        int next = highest + 1;
        for (const auto& [name, value] : assignedFacilities) next = std::max(next, value + 1);
        it = assignedFacilities.emplace(type, next).first;
    }
    answer(res, 200, std::to_string(it->second));
}

void Server::State::agentHandler(const httplib::Request& req, httplib::Response& res) {
    const std::string mode = req.get_param_value("mode");
    if (mode == "register") return answer(res, 200, "SLID " + scenario.setting("slid", "1001") + "\n");
    if (mode == "agentStatusUpdate" || mode == "hoststatus") return answer(res, 200, "");
    if (mode == "agentversion") {
        if (req.get_param_value("isSameVersion") == "check") {
            const std::string v = scenario.setting("agentVersionInServer", req.get_param_value("version"));
            return answer(res, 200, "AGENTVERSIONINSERVER " + v + "\n");
        }
        return answer(res, 200, "");
    }
    if (mode == "version") {
        // The body is compared byte for byte by the agent: version.txt, when
        // the scenario has one, is served exactly (a line end included);
        // otherwise the version setting, without a line end.
        if (auto exact = scenario.readFile("version.txt")) return answer(res, 200, *exact);
        return answer(res, 200, scenario.setting("version", "8.0.0"));
    }
    if (mode == "Renovo.exe") return serveFile(res, "Renovo.exe", "application/octet-stream");
    if (mode == "getFacility") return facility(req, res);
    if (mode == "getTableData") {
        std::string table = req.get_param_value("table");
        std::transform(table.begin(), table.end(), table.begin(), [](unsigned char c) { return std::tolower(c); });
        if (!isSafeFileName(table + ".xml")) return answer(res, 400, "bad table name\n");
        return serveFile(res, table + ".xml", "text/xml");
    }
    if (mode == "isInstall") return serveFile(res, "isinstall.xml", "text/xml");
    if (mode == "monitorrequests") {
        const std::string type = req.get_param_value("rType");
        if (type == "AGENT") return serveFile(res, "monitorrequests-agent.xml", "text/xml");
        if (type == "TEMPLATE") return serveFile(res, "monitorrequests-template.xml", "text/xml");
        return answer(res, 400, "unknown rType " + type + "\n");
    }
    if (mode == "fimRequests")
        return answer(res, 200, "FIMREQUESTS_DELETED " + scenario.setting("fimRequestsDeleted", "NO") + "\n");
    if (mode == "baseconfig")
        return answer(res, 200, "BASECONFIG " + scenario.setting("baseconfig", "INITIALIZED") + "\n");
    if (mode == "update") {
        std::vector<UpdateRow> rows;
        {
            std::lock_guard<std::mutex> lock(mutex);
            rows.swap(updates);
        }
        return answer(res, 200, updateDocument(rows), "text/xml");
    }
    answer(res, 404, "unknown mode " + mode + "\n");
}

void Server::State::upload(const httplib::Request& req, httplib::Response& res) {
    if (!req.is_multipart_form_data() || !req.has_file("upfile"))
        return answer(res, 400, "agentUpload needs a multipart form with an upfile part\n");
    const httplib::MultipartFormData file = req.get_file_value("upfile");
    const std::string field = req.has_file("filename") ? req.get_file_value("filename").content : "";
    std::string summary;
    const bool stored = uploads.store(file.filename, field, file.content, isoTime(platform::nowMillis()), summary);
    answer(res, stored ? 200 : 500, summary + "\n", "application/json");
}

void Server::State::routeEvents(httplib::Server& s) {
    // Every request but the control ones is logged on arrival and delayed by
    // the delay rules; the status rules answer in place of the catalogue once
    // the request, an upload's body included, has been read, so that the
    // client sees the forced status rather than a connection cut mid-send.
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        logRequest(req);
        if (auto delay = delayRules.take(req.target)) hold(delay->delayMillis);
        if (!isCatalogueRoute(req.path) && forcedAnswer(req, res)) return httplib::Server::HandlerResponse::Handled;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    auto guarded = [this](void (State::*handler)(const httplib::Request&, httplib::Response&)) {
        return [this, handler](const httplib::Request& req, httplib::Response& res) {
            if (!forcedAnswer(req, res)) (this->*handler)(req, res);
        };
    };
    s.Get("/event/agentHandler", guarded(&State::agentHandler));
    s.Get("/event/hostdetails", guarded(&State::hostDetails));
    s.Get("/event/filters", guarded(&State::filters));
    s.Get("/event/notifications", guarded(&State::notifications));
    s.Post("/event/agentUpload", guarded(&State::upload));
}

bool Server::State::forcedAnswer(const httplib::Request& req, httplib::Response& res) {
    auto forced = statusRules.take(req.target);
    if (!forced) return false;
    const std::string text = forced->body.value_or("forced status " + std::to_string(forced->status) + "\n");
    if (forced->chunks <= 1 || text.empty()) {
        answer(res, forced->status, text);
        return true;
    }
    // Chunked transfer in equal pieces, a short pause between them, so the
    // client receives the body in several reads.
    res.status = forced->status;
    const std::size_t pieces = static_cast<std::size_t>(forced->chunks);
    const std::size_t step = std::max<std::size_t>(1, (text.size() + pieces - 1) / pieces);
    const std::int64_t pause = forced->pauseMillis;
    res.set_chunked_content_provider("text/plain", [this, text, step, pause](std::size_t offset, httplib::DataSink& sink) {
        if (offset >= text.size()) {
            sink.done();
            return true;
        }
        if (offset > 0) hold(pause);
        const std::size_t n = std::min(step, text.size() - offset);
        return sink.write(text.data() + offset, n);
    });
    return true;
}

// ---- Control interface ------------------------------------------------------------

namespace {

std::string randomToken() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return "";
    static const char* hex = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += hex[b >> 4];
        token += hex[b & 15];
    }
    return token;
}

bool sameToken(const std::string& given, const std::string& expected) {
    return !expected.empty() && given.size() == expected.size() &&
           CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
}

}  // namespace

void Server::State::routeControl(httplib::Server& s) {
    using Req = httplib::Request;
    using Res = httplib::Response;
    // Every control request must carry the token; other paths do not exist here.
    s.set_pre_routing_handler([this](const Req& req, Res& res) {
        if (req.path.rfind("/control/", 0) != 0) {
            answer(res, 404, "the control listener serves /control/ only\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!sameToken(req.get_header_value("X-Control-Token"), options.controlToken)) {
            answer(res, 403, "control requests need the X-Control-Token header\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.Post("/control/update", [this](const Req& req, Res& res) {
        std::vector<UpdateRow> rows;
        if (req.has_param("type")) rows.push_back({req.get_param_value("type"), req.get_param_value("id")});
        // Further rows as "TYPE ID" lines of the body.
        std::size_t pos = 0;
        while (pos < req.body.size()) {
            std::size_t end = req.body.find('\n', pos);
            if (end == std::string::npos) end = req.body.size();
            const std::string line = req.body.substr(pos, end - pos);
            const auto blank = line.find(' ');
            if (blank != std::string::npos) rows.push_back({line.substr(0, blank), line.substr(blank + 1)});
            pos = end + 1;
        }
        if (rows.empty()) return answer(res, 400, "no SLUPDATE row given\n");
        std::lock_guard<std::mutex> lock(mutex);
        updates.insert(updates.end(), rows.begin(), rows.end());
        answer(res, 200, "queued " + std::to_string(updates.size()) + "\n");
    });
    s.Get("/control/update", [this](const Req&, Res& res) {
        std::lock_guard<std::mutex> lock(mutex);
        answer(res, 200, updateDocument(updates), "text/xml");
    });
    s.Post("/control/file", [this](const Req& req, Res& res) {
        if (!scenario.setOverlay(req.get_param_value("name"), req.body)) return answer(res, 400, "bad file name\n");
        answer(res, 200, "ok\n");
    });
    s.Delete("/control/file", [this](const Req& req, Res& res) {
        answer(res, 200, scenario.clearOverlay(req.get_param_value("name")) ? "restored\n" : "was not swapped\n");
    });
    s.Post("/control/status", [this](const Req& req, Res& res) {
        OverrideRule rule;
        rule.pattern = req.get_param_value("pattern");
        rule.status = static_cast<int>(numberParam(req, "code", 0));
        rule.remaining = static_cast<int>(numberParam(req, "count", -1));
        rule.chunks = static_cast<int>(std::clamp<std::int64_t>(numberParam(req, "chunks", 1), 1, 1000));
        rule.pauseMillis = std::clamp<std::int64_t>(numberParam(req, "pause", 20), 1, 60000);
        if (!req.body.empty() || req.has_param("withbody")) rule.body = req.body;
        if (rule.status < 100 || rule.status > 599 || rule.remaining == 0)
            return answer(res, 400, "status needs code=100..599 and count=N (N>0) or all\n");
        statusRules.add(std::move(rule));
        answer(res, 200, "ok\n");
    });
    s.Delete("/control/status", [this](const Req&, Res& res) {
        statusRules.clear();
        answer(res, 200, "ok\n");
    });
    s.Post("/control/delay", [this](const Req& req, Res& res) {
        OverrideRule rule;
        rule.pattern = req.get_param_value("pattern");
        rule.delayMillis = numberParam(req, "ms", 0);
        rule.remaining = static_cast<int>(numberParam(req, "count", -1));
        if (rule.delayMillis == 0 || rule.remaining == 0)
            return answer(res, 400, "delay needs ms=N (-1 = hold) and count=N (N>0) or all\n");
        delayRules.add(std::move(rule));
        answer(res, 200, "ok\n");
    });
    s.Delete("/control/delay", [this](const Req&, Res& res) {
        delayRules.clear();
        releaseHolds();
        answer(res, 200, "ok\n");
    });
    s.Post("/control/refuse", [this](const Req& req, Res& res) {
        const std::string which = req.has_param("listener") ? req.get_param_value("listener") : "all";
        ListenerKind kind = kControl;
        if (which == "http") kind = kHttp;
        else if (which == "https") kind = kHttps;
        else if (which != "all") return answer(res, 400, "listener is http, https or all\n");
        const std::int64_t ms = numberParam(req, "ms", -1);
        // The answer still reaches the caller: stopping a listener closes only
        // its listening socket, and the running request completes.
        refuse(kind, ms);
        answer(res, 200, "ok\n");
    });
    s.Post("/control/accept", [this](const Req&, Res& res) {
        accept();
        answer(res, 200, "ok\n");
    });
    s.Post("/control/reset", [this](const Req&, Res& res) {
        statusRules.clear();
        delayRules.clear();
        releaseHolds();
        scenario.clearAllOverlays();
        {
            std::lock_guard<std::mutex> lock(mutex);
            updates.clear();
        }
        accept();
        answer(res, 200, "ok\n");
    });
    s.Get("/control/ports", [this](const Req&, Res& res) {
        std::lock_guard<std::mutex> lock(mutex);
        std::string text;
        for (const Listener& l : listeners)
            text += std::string(kListenerNames[l.kind]) + "_port=" + std::to_string(l.enabled ? l.port : -1) + "\n";
        answer(res, 200, text);
    });
}

// ---- Server -------------------------------------------------------------------------

Server::Server(ServerOptions options) : state_(std::make_unique<State>(std::move(options))) {}

Server::~Server() { stop(); }

bool Server::start() {
    State& st = *state_;
    std::error_code ec;
    fs::create_directories(st.options.outputDir, ec);
    if (!fs::is_directory(st.options.outputDir)) {
        st.error = "cannot create the output folder " + st.options.outputDir;
        return false;
    }
    if (!fs::is_directory(st.options.scenarioDir)) {
        st.error = "no scenario folder " + st.options.scenarioDir;
        return false;
    }
    const std::string logPath =
        st.options.logFile.empty() ? (fs::path(st.options.outputDir) / "requests.log").string() : st.options.logFile;
    st.log = std::fopen(logPath.c_str(), "a");
    if (!st.log) {
        st.error = "cannot open the request log " + logPath;
        return false;
    }
    if (st.options.controlPort >= 0 && st.options.controlToken.empty()) {
        st.options.controlToken = randomToken();
        if (st.options.controlToken.empty()) {
            st.error = "cannot make a control token";
            return false;
        }
    }
    const int ports[] = {st.options.httpPort, st.options.httpsPort, st.options.controlPort};
    for (int k = 0; k < 3; ++k) {
        st.listeners[k].kind = static_cast<ListenerKind>(k);
        st.listeners[k].enabled = ports[k] >= 0;
        st.listeners[k].port = std::max(ports[k], 0);
    }
    if (st.listeners[kHttps].enabled) {
        if (st.options.certFile.empty() != st.options.keyFile.empty()) {
            st.error = "give both --cert and --key, or neither";
            return false;
        }
        if (st.options.certFile.empty()) {
            st.certPath = (fs::path(st.options.outputDir) / "server-cert.pem").string();
            if (!makeSelfSignedIdentity(st.tls, st.error) || !writeCertificatePem(st.tls, st.certPath, st.error))
                return false;
        } else {
            st.certPath = st.options.certFile;
        }
    }
    for (Listener& l : st.listeners)
        if (l.enabled && !st.bind(l, st.error)) return false;
    for (Listener& l : st.listeners)
        if (l.enabled) l.thread = std::thread([&st, &l] { st.run(l); });
    return true;
}

void Server::stop() {
    State& st = *state_;
    // A listener whose thread has not entered its accept loop yet ignores
    // stop(), so it is asked again until every thread has let go of its server.
    while (true) {
        {
            std::lock_guard<std::mutex> lock(st.mutex);
            st.stopping = true;
            bool serving = false;
            for (Listener& l : st.listeners) {
                if (!l.server || !l.thread.joinable()) continue;
                l.server->stop();
                serving = true;
            }
            if (!serving) break;
        }
        st.changed.notify_all();
        platform::sleepMillis(10);
    }
    st.changed.notify_all();
    for (Listener& l : st.listeners)
        if (l.thread.joinable()) l.thread.join();
    std::lock_guard<std::mutex> lock(st.logMutex);
    if (st.log) std::fclose(st.log);
    st.log = nullptr;
}

const std::string& Server::error() const { return state_->error; }
int Server::httpPort() const { return state_->listeners[kHttp].enabled ? state_->listeners[kHttp].port : -1; }
int Server::httpsPort() const { return state_->listeners[kHttps].enabled ? state_->listeners[kHttps].port : -1; }
int Server::controlPort() const {
    return state_->listeners[kControl].enabled ? state_->listeners[kControl].port : -1;
}
std::string Server::certFile() const { return state_->certPath; }
const std::string& Server::controlToken() const { return state_->options.controlToken; }

}  // namespace testserver
