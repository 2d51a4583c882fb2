// The test server's core: the answers of the request catalogue, the request
// log, the upload store and the control interface, served on 127.0.0.1 by
// one HTTP, one HTTPS and optionally one control listener. Control is served
// only on its own listener and only to requests that carry the token.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace testserver {

struct ServerOptions {
    std::string scenarioDir;
    std::string outputDir = "testserver-out";
    std::string logFile;      // "" = <outputDir>/requests.log
    int httpPort = 0;         // 0 = any free port, -1 = no listener
    int httpsPort = 0;
    int controlPort = -1;     // the control listener, never refused; -1 = no control at all
    std::string controlToken; // control requests carry it in X-Control-Token; "" = a random one
    std::string certFile;     // both empty: a self-signed certificate is made
    std::string keyFile;
};

// A rule of the control interface: requests whose target (path and query)
// contains pattern are answered with status (and body), or delayed, for the
// next `remaining` matches (-1 = all).
struct OverrideRule {
    std::string pattern;
    int status = 0;                     // 0 = no forced answer (delay only)
    std::optional<std::string> body;    // forced body; default "forced status N"
    std::int64_t delayMillis = 0;       // -1 = hold until cleared or stopped
    int remaining = -1;
    int chunks = 1;                     // >1: the body goes out chunked in this many pieces
    std::int64_t pauseMillis = 20;      // between two chunks (a dripping answer: long pauses)
};

// The rule list: the first rule that matches a target is used and counted.
class RuleSet {
public:
    void add(OverrideRule rule);
    void clear();
    // The matching rule (copied, after counting it down), if any.
    std::optional<OverrideRule> take(const std::string& target);
    std::vector<OverrideRule> list() const;

private:
    mutable std::mutex mutex_;
    std::vector<OverrideRule> rules_;
};

// SLUPDATE rows queued by a test; one update request takes all of them.
struct UpdateRow {
    std::string serviceType;
    std::string serviceId;
};
std::string updateDocument(const std::vector<UpdateRow>& rows);

// Escapes text for an XML attribute value.
std::string xmlAttribute(const std::string& text);

// Runs the server until stop() (or a signal handled by the caller). start()
// binds every listener and fills the chosen ports; false with error() set
// when a listener or the certificate cannot be set up.
class Server {
public:
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool start();
    void stop();
    const std::string& error() const;
    int httpPort() const;
    int httpsPort() const;
    int controlPort() const;
    std::string certFile() const;
    const std::string& controlToken() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace testserver
