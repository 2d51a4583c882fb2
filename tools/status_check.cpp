#include "tools/status_check.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/clock.h"

namespace {

// A status older than this means the agent is not running.
constexpr std::int64_t kStaleSeconds = 60;
// A data set whose uploads fail and that was last sent longer ago than this
// is critical.
constexpr std::int64_t kNotSentCriticalSeconds = 3600;

constexpr const char* kDataSets[] = {"events", "change", "base", "periodic", "new"};

// The part of JSON the status file uses: objects, numbers, strings, true,
// false and null (arrays are read and kept as empty objects).
struct Value {
    enum Kind { Null, Bool, Number, String, Object } kind = Null;
    double number = 0;
    std::string text;
    std::map<std::string, std::shared_ptr<Value>> members;

    const Value* get(const std::string& name) const {
        const auto it = members.find(name);
        return it == members.end() ? nullptr : it->second.get();
    }
    std::int64_t integer(const std::string& name, std::int64_t fallback = 0) const {
        const Value* v = get(name);
        return v && v->kind == Number ? static_cast<std::int64_t>(v->number) : fallback;
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
            v.kind = Value::Object;
            ok = take(close);
            while (!ok) {
                std::string name;
                if (object && (!string(name) || !take(':'))) break;
                auto member = std::make_shared<Value>();
                if (!value(*member)) break;
                if (object) v.members[name] = member;
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
    int code = kStatusOk;
    std::vector<std::string> problems;
    std::string lines;
    const std::int64_t startedAt = status->integer("startedAt");
    static const Value kNone;
    const Value* transfers = status->get("transfers");
    for (const char* name : kDataSets) {
        const Value* set = transfers ? transfers->get(name) : nullptr;
        if (!set) set = &kNone;
        const std::int64_t lastSuccess = set->integer("lastSuccess");
        const std::int64_t failures = set->integer("consecutiveFailures");
        const std::int64_t result = set->integer("lastResult", -1);
        if (failures > 0) {
            const std::int64_t since = lastSuccess > 0 ? lastSuccess : startedAt;
            const bool critical = now - since > kNotSentCriticalSeconds;
            problems.push_back(std::string(critical ? "CRITICAL" : "WARNING") + ": data set " + name + ": " +
                               std::to_string(failures) + " failed uploads in a row, last sent " + utc(lastSuccess));
            code = std::max(code, critical ? kStatusCritical : kStatusWarning);
        }
        lines += std::string(name) + std::string(10 - std::string(name).size(), ' ') +
                 (result == 0 ? "sent" : result == 1 ? "FAILED" : "nothing sent yet") + ", last sent " +
                 utc(lastSuccess) + ", " + std::to_string(set->integer("pendingFiles")) + " files (" +
                 std::to_string(set->integer("pendingBytes")) + " bytes) waiting\n";
    }
    const Value* fim = status->get("fim");
    const std::int64_t gaps = fim ? fim->integer("gaps") : 0;
    if (gaps > 0) {
        problems.push_back("WARNING: " + std::to_string(gaps) + " change journal gaps since the start (changes lost)");
        code = std::max(code, kStatusWarning);
    }
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
    for (const std::string& p : problems) out += p + "\n";
    if (problems.empty()) out += "OK: no problem\n";
    *report = out + lines;
    return code;
}

int checkStatusFile(const std::string& installDir, std::int64_t now, bool json, std::string* report) {
    const std::filesystem::path path = std::filesystem::path(installDir) / "logs" / "status.json";
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    if (in) content << in.rdbuf();
    if (!in || in.bad()) {
        *report = "UNKNOWN: no status file " + path.string() + ": the agent is not running\n";
        return kStatusUnknown;
    }
    return checkStatusText(content.str(), now, json, report);
}
