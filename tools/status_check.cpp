#include "tools/status_check.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "agent/settings/settings.h"  // the agent key's path
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/registry.h"

namespace {

// A status older than this means the agent is not running.
constexpr std::int64_t kStaleSeconds = 60;
// A data set whose uploads fail and that was last sent longer ago than this
// is critical.
constexpr std::int64_t kNotSentCriticalSeconds = 3600;

constexpr const char* kDataSets[] = {"events", "change", "base", "periodic", "new"};

// A server down this long is critical.
constexpr std::int64_t kServerDownCriticalSeconds = 600;
// A host whose runs failed this many times in a row is critical.
constexpr std::int64_t kHostFailuresCritical = 3;
// Lost records or journal positions warn for this long after they were seen.
constexpr std::int64_t kGapWarningSeconds = 3600;

// The part of JSON the status file uses: objects, arrays, numbers, strings,
// true, false and null.
struct Value {
    enum Kind { Null, Bool, Number, String, Object, Array } kind = Null;
    double number = 0;
    std::string text;
    std::map<std::string, std::shared_ptr<Value>> members;
    std::vector<std::shared_ptr<Value>> items;

    const Value* get(const std::string& name) const {
        const auto it = members.find(name);
        return it == members.end() ? nullptr : it->second.get();
    }
    std::int64_t integer(const std::string& name, std::int64_t fallback = 0) const {
        const Value* v = get(name);
        return v && (v->kind == Number || v->kind == Bool) ? static_cast<std::int64_t>(v->number) : fallback;
    }
    std::string string(const std::string& name) const {
        const Value* v = get(name);
        return v && v->kind == String ? v->text : std::string();
    }
    // The members of an array member (none when it is missing or no array).
    std::vector<const Value*> list(const std::string& name) const {
        std::vector<const Value*> out;
        if (const Value* v = get(name); v && v->kind == Array)
            for (const auto& item : v->items)
                if (item->kind == Object) out.push_back(item.get());
        return out;
    }
};

struct Reader {
    const std::string& s;
    std::size_t i = 0;
    int depth = 0;

    void skip() {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    }
    bool take(char c) {
        skip();
        if (i < s.size() && s[i] == c) return ++i, true;
        return false;
    }
    bool string(std::string& out) {
        if (!take('"')) return false;
        for (; i < s.size() && s[i] != '"'; ++i) {
            if (s[i] != '\\') {
                out += s[i];
                continue;
            }
            if (++i >= s.size()) return false;
            const char e = s[i];
            if (e == 'u') {
                if (i + 4 >= s.size()) return false;
                const unsigned long code = std::strtoul(s.substr(i + 1, 4).c_str(), nullptr, 16);
                out += code < 0x80 ? static_cast<char>(code) : '?';
                i += 4;
            } else {
                out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == 'b' ? '\b' : e == 'f' ? '\f' : e;
            }
        }
        return i++ < s.size();
    }
    bool value(Value& v) {
        if (++depth > 32) return false;
        skip();
        bool ok = false;
        if (i >= s.size()) {
        } else if (s[i] == '{' || s[i] == '[') {
            const char close = s[i] == '{' ? '}' : ']';
            const bool object = s[i++] == '{';
            v.kind = object ? Value::Object : Value::Array;
            ok = take(close);
            while (!ok) {
                std::string name;
                if (object && (!string(name) || !take(':'))) break;
                auto member = std::make_shared<Value>();
                if (!value(*member)) break;
                if (object) v.members[name] = member;
                else v.items.push_back(member);
                if (take(close)) ok = true;
                else if (!take(',')) break;
            }
        } else if (s[i] == '"') {
            v.kind = Value::String;
            ok = string(v.text);
        } else if (s.compare(i, 4, "true") == 0 || s.compare(i, 5, "false") == 0) {
            v.kind = Value::Bool;
            v.number = s[i] == 't';
            i += s[i] == 't' ? 4 : 5;
            ok = true;
        } else if (s.compare(i, 4, "null") == 0) {
            i += 4;
            ok = true;
        } else {
            const char* begin = s.c_str() + i;
            char* end = nullptr;
            v.kind = Value::Number;
            v.number = std::strtod(begin, &end);
            ok = end != begin;
            i += static_cast<std::size_t>(end - begin);
        }
        --depth;
        return ok;
    }
};

std::optional<Value> parse(const std::string& text) {
    Reader reader{text};
    Value v;
    if (!reader.value(v) || v.kind != Value::Object) return std::nullopt;
    reader.skip();
    if (reader.i != text.size()) return std::nullopt;
    return v;
}

// "42 s", "12 min", "3 h" for a duration.
std::string duration(std::int64_t seconds) {
    if (seconds < 120) return std::to_string(seconds) + " s";
    if (seconds < 7200) return std::to_string(seconds / 60) + " min";
    return std::to_string(seconds / 3600) + " h";
}

std::string utc(std::int64_t seconds) {
    if (seconds <= 0) return "never";
    const std::tm tm = platform::toUtcTime(seconds);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

}  // namespace

int checkStatusText(const std::string& text, std::int64_t now, bool json, std::string* report) {
    const std::optional<Value> status = parse(text);
    if (!status) {
        *report = "UNKNOWN: the status file is not a status (the agent may be writing an old or broken one)\n";
        return kStatusUnknown;
    }
    const std::int64_t written = status->integer("written");
    if (now - written > kStaleSeconds) {
        *report = json ? text : "UNKNOWN: the status was written " + std::to_string(now - written) +
                  " s ago (" + utc(written) + "): the agent is not running\n";
        return kStatusUnknown;
    }
    // Durations are judged at the time the agent wrote the status.
    const std::int64_t at = written;
    int code = kStatusOk;
    std::vector<std::string> problems;
    auto problem = [&](bool critical, const std::string& what) {
        problems.push_back(std::string(critical ? "CRITICAL: " : "WARNING: ") + what);
        code = std::max(code, critical ? kStatusCritical : kStatusWarning);
    };
    std::string lines;
    const std::int64_t startedAt = status->integer("startedAt");
    static const Value kNone;

    if (const Value* server = status->get("server")) {
        const bool up = server->integer("up") != 0;
        const std::int64_t lastSuccess = server->integer("lastSuccess");
        const std::string error = server->string("lastError");
        if (!up) {
            const std::int64_t down = at - (lastSuccess > 0 ? lastSuccess : startedAt);
            problem(down > kServerDownCriticalSeconds, "server not answering for " + duration(down) +
                                                          (error.empty() ? "" : " (" + error + ")"));
        }
        lines += std::string("server    ") + (up ? "up" : "DOWN") + ", last answered " + utc(lastSuccess) +
                 (error.empty() ? "" : ", last error " + error) + "\n";
    }

    for (const Value* host : status->list("hosts")) {
        const std::string name = host->string("name") + " (" + std::to_string(host->integer("id")) + ")";
        const std::int64_t failures = host->integer("consecutiveFailures");
        const std::string error = host->string("lastError");
        const std::int64_t gaps = host->integer("recordGaps");
        const std::int64_t lastGap = host->integer("lastGapTime");
        const std::int64_t lag = host->integer("lagSeconds", -1);
        const std::int64_t interval = host->integer("intervalSeconds");
        if (failures > 0)
            problem(failures >= kHostFailuresCritical, "host " + name + ": " + std::to_string(failures) +
                                                           " failed runs in a row (" + error + ")");
        if (gaps > 0 && lastGap > 0 && at - lastGap < kGapWarningSeconds)
            problem(false, "host " + name + ": " + std::to_string(gaps) +
                               " event records lost before they were read, the last " + duration(at - lastGap) +
                               " ago");
        if (failures == 0 && interval > 0 && lag > 2 * interval)
            problem(false, "host " + name + ": " + duration(lag) + " behind (collected every " + duration(interval) +
                               ")");
        lines += "host      " + name + ": " +
                 (host->integer("lastRunEnd") == 0 ? std::string("not collected yet")
                  : failures > 0                   ? "FAILING (" + error + ")"
                                                   : std::string("collected")) +
                 ", " + (lag < 0 ? std::string("lag unknown") : "lag " + duration(lag)) + ", " +
                 std::to_string(host->integer("eventsCollected")) + " events (" +
                 std::to_string(host->integer("eventsFiltered")) + " filtered), " + std::to_string(gaps) +
                 " lost, next run " + utc(host->integer("nextScan")) + "\n";
    }

    const Value* transfers = status->get("transfers");
    for (const char* name : kDataSets) {
        const Value* set = transfers ? transfers->get(name) : nullptr;
        if (!set) set = &kNone;
        const std::int64_t lastSuccess = set->integer("lastSuccess");
        const std::int64_t failures = set->integer("consecutiveFailures");
        const std::int64_t result = set->integer("lastResult", -1);
        if (failures > 0) {
            const std::int64_t since = lastSuccess > 0 ? lastSuccess : startedAt;
            problem(at - since > kNotSentCriticalSeconds, "data set " + std::string(name) + ": " +
                                                              std::to_string(failures) +
                                                              " failed uploads in a row, last sent " + utc(lastSuccess));
        }
        lines += std::string(name) + std::string(10 - std::string(name).size(), ' ') +
                 (result == 0 ? "sent" : result == 1 ? "FAILED" : "nothing sent yet") + ", last sent " +
                 utc(lastSuccess) + ", " + std::to_string(set->integer("pendingFiles")) + " files (" +
                 std::to_string(set->integer("pendingBytes")) + " bytes) waiting\n";
    }

    const Value* fim = status->get("fim");
    if (!fim) fim = &kNone;
    const std::vector<const Value*> drives = fim->list("drives");
    if (!fim->get("drives")) {
        // A status without drives counts the gaps since the start only.
        const std::int64_t gaps = fim->integer("gaps");
        if (gaps > 0) problem(false, std::to_string(gaps) + " change journal gaps since the start (changes lost)");
    }
    for (const Value* drive : drives) {
        const std::string letter = drive->string("letter");
        const std::int64_t gaps = drive->integer("gaps");
        const std::int64_t lastGap = drive->integer("lastGapTime");
        const std::int64_t unwatched = drive->integer("unwatchedFolders");
        if (gaps > 0 && lastGap > 0 && at - lastGap < kGapWarningSeconds)
            problem(false, "drive " + letter + ": " + std::to_string(gaps) +
                               " change journal gaps, the last " + duration(at - lastGap) +
                               " ago (the volume was walked for what changed)");
        if (unwatched > 0)
            problem(false, "drive " + letter + ": " + std::to_string(unwatched) +
                               " folders cannot be watched (walked every 5 s instead)");
        lines += "drive     " + letter + ": " + std::to_string(drive->integer("backlogBytes")) +
                 " journal bytes to read, " + std::to_string(gaps) + " gaps, " +
                 std::to_string(drive->integer("itemsWatched")) + " items watched, " + std::to_string(unwatched) +
                 " folders unwatched, last change job " + utc(drive->integer("lastChangeJob")) + "\n";
    }
    if (const Value* process = status->get("process"); process && process->get("residentBytes"))
        lines += "process   " + std::to_string(process->integer("residentBytes") >> 20) + " MB resident, " +
                 std::to_string(process->integer("cpuSeconds")) + " s processor time, " +
                 std::to_string(process->integer("threads")) + " threads, log level " +
                 std::to_string(process->integer("logLevel")) + "\n";

    if (json) {
        *report = text;
        return code;
    }
    const Value* version = status->get("version");
    const Value* agentId = status->get("agentId");
    std::string out = "ambrik " + (version ? version->text : std::string("?")) + ", agent id " +
                      (agentId && agentId->kind == Value::Number ? std::to_string(static_cast<std::int64_t>(agentId->number))
                                                                 : std::string("none yet")) +
                      ", started " + utc(startedAt) + ", status of " + utc(written) + "\n";
    // Critical problems first.
    std::stable_sort(problems.begin(), problems.end(),
                     [](const std::string& a, const std::string& b) { return a[0] == 'C' && b[0] != 'C'; });
    for (const std::string& p : problems) out += p + "\n";
    if (problems.empty()) out += "OK: no problem\n";
    *report = out + lines;
    return code;
}

int checkStatusFile(const std::string& installDir, std::int64_t now, bool json, std::string* report) {
    const std::string path = platform::joinFolderPath(platform::joinFolderPath(installDir, "logs"), "status.json");
    std::string content;
    // The agent writes a few tens of kilobytes; a larger file is not its status.
    constexpr std::uint64_t kMaxStatusBytes = 16u << 20;
    if (!platform::readFileWhole(path, &content, kMaxStatusBytes)) {
        *report = "UNKNOWN: no status file " + path + ": the agent is not running\n";
        return kStatusUnknown;
    }
    if (content.size() > kMaxStatusBytes) {
        *report = "UNKNOWN: " + path + " is larger than a status\n";
        return kStatusUnknown;
    }
    return checkStatusText(content, now, json, report);
}

const char* const kStatusHelp =
    "ambrik-inspect --status [--json] [INSTALL_DIR] reads the agent's logs/status.json\n"
    "under INSTALL_DIR (default: the agent's AgentInstallDir, else /opt/orbisk/agent) and\n"
    "prints it for a person, problems first, or with --json as it is. Exit status: 0 all\n"
    "well, 1 warning, 2 critical, 3 unknown (no status, or one older than 60 s: the agent\n"
    "is not running).\n";

namespace {

std::string installedDir() {
    platform::RegistryKey key(nullptr, nullptr);
    platform::RegistryValue value;
    if (platform::regOpenKey(platform::RegistryRoot::LocalMachine, kAgentKeyPath, platform::RegistryAccess::QueryValue,
                             &key) == 0 &&
        platform::regQueryValue(key, "AgentInstallDir", &value) == 0 && value.type == platform::kRegSz &&
        !value.data.empty())
        return value.data;
    return "/opt/orbisk/agent";
}

}  // namespace

int runStatusCommand(int argc, char** argv) {
    bool json = false;
    std::string installDir;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (i == argc - 1 && !arg.empty() && arg[0] != '-') {
            installDir = arg;
        } else {
            std::fprintf(stderr, "ambrik-inspect: --status takes [--json] [INSTALL_DIR] (see --help)\n");
            return kStatusUnknown;
        }
    }
    if (installDir.empty()) installDir = installedDir();
    std::string report;
    const int code = checkStatusFile(installDir, platform::nowSeconds(), json, &report);
    std::fputs(report.c_str(), stdout);
    return code;
}
