#include "testserver/harness.h"

#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace testserver {

namespace fs = std::filesystem;

namespace {

// The child runs in real time whatever clock the test installed, so these
// waits are real-time waits on purpose.
void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }
std::int64_t realMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    // A line still being written has no line end yet and is left for later.
    while (std::getline(in, line) && !in.eof()) lines.push_back(line);
    return lines;
}

}  // namespace

std::string encodeQueryValue(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

TestServer::TestServer(HarnessOptions options) {
    outputDir_ = options.outputDir;
    if (outputDir_.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orbisk-testserver-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            error_ = "cannot create a temporary output folder";
            return;
        }
        outputDir_ = pattern;
        ownOutput_ = true;
    }
    std::vector<std::string> args = {TESTSERVER_EXECUTABLE,
                                     "--scenario",
                                     options.scenarioDir.empty() ? TESTSERVER_DEFAULT_SCENARIO : options.scenarioDir,
                                     "--output",
                                     outputDir_,
                                     "--http-port",
                                     "0",
                                     "--https-port",
                                     options.https ? "0" : "-1",
                                     "--control-port",
                                     "0"};
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe(out) != 0) {
        error_ = "cannot create a pipe";
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // The server must not hold the test's other descriptors (pipes whose
    // end-of-file a test waits for, sockets) open for its whole life.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        error_ = std::string("cannot start ") + TESTSERVER_EXECUTABLE;
        return;
    }
    pid_ = pid;

    // Read "key=value" lines until "ready", the end of the output, or the time-out.
    std::string pending;
    bool ready = false;
    const std::int64_t deadline = realMillis() + options.startTimeoutMillis;
    while (!ready) {
        const std::int64_t left = deadline - realMillis();
        if (left <= 0) break;
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[512];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            const auto eq = line.find('=');
            const std::string key = line.substr(0, eq);
            const std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
            if (line == "ready") ready = true;
            else if (key == "http_port") httpPort_ = std::atoi(value.c_str());
            else if (key == "https_port") httpsPort_ = std::atoi(value.c_str());
            else if (key == "control_port") controlPort_ = std::atoi(value.c_str());
            else if (key == "cert_file") certFile_ = value;
            else if (key == "control_token") controlToken_ = value;
        }
    }
    close(out[0]);
    if (!ready) error_ = "orbisk-testserver did not become ready (see its messages on stderr)";
}

TestServer::~TestServer() {
    stop();
    if (ownOutput_ && !std::getenv("AMBRIK_KEEP_TESTSERVER_OUTPUT")) {
        std::error_code ec;
        fs::remove_all(outputDir_, ec);
    }
}

bool TestServer::stop() {
    if (pid_ <= 0) return false;
    kill(pid_, SIGTERM);
    bool clean = false;
    const std::int64_t deadline = realMillis() + 5000;
    while (true) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || r < 0) {
            clean = r == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
            break;
        }
        if (realMillis() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        pause();
    }
    pid_ = -1;
    return clean;
}

std::string TestServer::httpBase() const { return "http://127.0.0.1:" + std::to_string(httpPort_) + "/event/"; }
std::string TestServer::httpsBase() const { return "https://127.0.0.1:" + std::to_string(httpsPort_) + "/event/"; }
std::string TestServer::logFile() const { return outputDir_ + "/requests.log"; }

std::vector<RequestLine> TestServer::requests() const {
    std::vector<RequestLine> result;
    for (const std::string& line : readLines(logFile())) {
        const auto a = line.find(' ');
        const auto b = a == std::string::npos ? std::string::npos : line.find(' ', a + 1);
        if (b == std::string::npos) continue;
        result.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
    }
    return result;
}

std::vector<std::string> TestServer::targets() const {
    std::vector<std::string> result;
    for (RequestLine& r : requests()) result.push_back(std::move(r.target));
    return result;
}

std::size_t TestServer::countRequests(const std::string& substring) const {
    std::size_t n = 0;
    for (const std::string& t : targets())
        if (t.find(substring) != std::string::npos) ++n;
    return n;
}

bool TestServer::waitForRequests(const std::string& substring, std::size_t count, int timeoutMillis) const {
    const std::int64_t deadline = realMillis() + timeoutMillis;
    while (countRequests(substring) < count) {
        if (realMillis() >= deadline) return false;
        pause();
    }
    return true;
}

std::vector<std::string> TestServer::uploads() const { return readLines(outputDir_ + "/uploads.jsonl"); }

bool TestServer::waitForUploads(std::size_t count, int timeoutMillis) const {
    const std::int64_t deadline = realMillis() + timeoutMillis;
    while (uploads().size() < count) {
        if (realMillis() >= deadline) return false;
        pause();
    }
    return true;
}

bool TestServer::control(const char* method, const std::string& pathAndQuery, const std::string& body) {
    if (controlPort_ <= 0) return false;
    httplib::Client client("127.0.0.1", controlPort_);
    client.set_default_headers({{"X-Control-Token", controlToken_}});
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(10, 0);
    httplib::Result r = std::string(method) == "DELETE" ? client.Delete(pathAndQuery.c_str())
                                                        : client.Post(pathAndQuery.c_str(), body, "text/plain");
    return r && r->status == 200;
}

bool TestServer::queueUpdate(const std::string& serviceType, long long serviceId) {
    return control("POST", "/control/update?type=" + encodeQueryValue(serviceType) +
                               "&id=" + std::to_string(serviceId));
}

bool TestServer::swapFile(const std::string& name, const std::string& content) {
    return control("POST", "/control/file?name=" + encodeQueryValue(name), content);
}

bool TestServer::restoreFile(const std::string& name) {
    return control("DELETE", "/control/file?name=" + encodeQueryValue(name));
}

bool TestServer::failRequests(const std::string& pattern, int status, int count,
                              const std::optional<std::string>& body) {
    return control("POST",
                   "/control/status?pattern=" + encodeQueryValue(pattern) + "&code=" + std::to_string(status) +
                       "&count=" + (count < 0 ? std::string("all") : std::to_string(count)) +
                       (body ? "&withbody=1" : ""),
                   body.value_or(""));
}

bool TestServer::answerInChunks(const std::string& pattern, const std::string& body, int chunks, int count,
                                long long pauseMillis) {
    return control("POST",
                   "/control/status?pattern=" + encodeQueryValue(pattern) + "&code=200&withbody=1&chunks=" +
                       std::to_string(chunks) + "&count=" + (count < 0 ? std::string("all") : std::to_string(count)) +
                       "&pause=" + std::to_string(pauseMillis),
                   body);
}

bool TestServer::delayRequests(const std::string& pattern, long long millis, int count) {
    return control("POST", "/control/delay?pattern=" + encodeQueryValue(pattern) + "&ms=" + std::to_string(millis) +
                               "&count=" + (count < 0 ? std::string("all") : std::to_string(count)));
}

bool TestServer::clearStatusRules() { return control("DELETE", "/control/status"); }
bool TestServer::clearDelays() { return control("DELETE", "/control/delay"); }

bool TestServer::refuseConnections(long long millis, const std::string& listener) {
    return control("POST", "/control/refuse?ms=" + std::to_string(millis) + "&listener=" + encodeQueryValue(listener));
}

bool TestServer::acceptConnections() { return control("POST", "/control/accept"); }
bool TestServer::reset() { return control("POST", "/control/reset"); }

}  // namespace testserver
