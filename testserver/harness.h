// Runs orbisk-testserver for a test: a child process on free loopback ports,
// stopped when the object goes out of scope.
//
//   #include "testserver/harness.h"          // link testserver_harness
//
//   testserver::TestServer server;             // default scenario, fresh output folder
//   ASSERT_TRUE(server.ok()) << server.error();
//   std::string url = server.httpBase() + "agentHandler?mode=version";   // http://127.0.0.1:N/event/...
//   ... run the code under test against server.httpBase() or server.httpsBase() ...
//   EXPECT_TRUE(server.waitForRequests("mode=register", 1, 5000));
//   EXPECT_EQ(server.targets()[0], "/event/agentHandler?mode=register&name=...");
//
// Control (each call answers true when the server accepted it):
//   server.failRequests("mode=register", 500, 2);    // the next 2 matching requests get 500
//   server.failRequests("mode=register", 200, 1, "NOSLID\n");  // a canned 200 answer
//   server.answerInChunks("getTableData", xmlText, 4);   // the body in 4 chunked pieces
//   server.delayRequests("agentUpload", 3000);        // every matching request waits 3 s
//   server.delayRequests("mode=version", -1, 1);      // held until clearDelays() or the end
//   server.refuseConnections(2000);                   // nothing listens for 2 s (-1: until accept)
//   server.queueUpdate("Host", 17);                   // one SLUPDATE row for the next update poll
//   server.swapFile("hostdetails.xml", xmlText);      // answer from this text instead
//
// The request log is a file of lines "<UTC time> <METHOD> <target>", one per
// request on arrival (control requests are not logged); the uploads are under
// outputDir()/uploads/ with one summary line each in outputDir()/uploads.jsonl.
// The server runs in real time; the waits below poll it in real time, so
// they work while the test has installed the manual clock.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testserver {

struct HarnessOptions {
    std::string scenarioDir;  // "" = testserver/scenarios/default
    std::string outputDir;    // "" = a fresh temporary folder, removed at the end
    bool https = true;        // also start the HTTPS listener
    std::vector<std::string> extraArgs;
    int startTimeoutMillis = 20000;
};

struct RequestLine {
    std::string time;
    std::string method;
    std::string target;  // path and query exactly as received
};

class TestServer {
public:
    explicit TestServer(HarnessOptions options = {});
    ~TestServer();  // SIGTERM, then SIGKILL after 5 s; removes a temporary output folder
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    bool ok() const { return pid_ > 0 && error_.empty(); }
    const std::string& error() const { return error_; }

    int httpPort() const { return httpPort_; }
    int httpsPort() const { return httpsPort_; }
    int controlPort() const { return controlPort_; }  // the only listener that takes control requests
    const std::string& controlToken() const { return controlToken_; }  // sent as X-Control-Token
    std::string httpBase() const;   // "http://127.0.0.1:N/event/"
    std::string httpsBase() const;  // "https://127.0.0.1:N/event/"
    const std::string& certFile() const { return certFile_; }  // the server's certificate (its own CA)
    const std::string& outputDir() const { return outputDir_; }
    std::string logFile() const;

    // The request log as it is now.
    std::vector<RequestLine> requests() const;
    std::vector<std::string> targets() const;
    std::size_t countRequests(const std::string& substring) const;
    // Waits until at least count logged targets contain substring.
    bool waitForRequests(const std::string& substring, std::size_t count, int timeoutMillis) const;

    // Lines of uploads.jsonl (one JSON object per stored upload).
    std::vector<std::string> uploads() const;
    bool waitForUploads(std::size_t count, int timeoutMillis) const;

    bool queueUpdate(const std::string& serviceType, long long serviceId);
    bool swapFile(const std::string& name, const std::string& content);
    bool restoreFile(const std::string& name);
    // count -1 = every matching request. The pattern is a plain substring of the target.
    bool failRequests(const std::string& pattern, int status, int count = -1,
                      const std::optional<std::string>& body = std::nullopt);
    // A 200 answer whose body goes out with chunked transfer in `chunks` pieces,
    // pauseMillis apart (a dripping answer: one byte a chunk, long pauses).
    bool answerInChunks(const std::string& pattern, const std::string& body, int chunks, int count = 1,
                        long long pauseMillis = 20);
    bool delayRequests(const std::string& pattern, long long millis, int count = -1);
    bool clearStatusRules();
    bool clearDelays();
    bool refuseConnections(long long millis = -1, const std::string& listener = "all");
    bool acceptConnections();
    bool reset();

    // Stops the server now (the destructor does it otherwise); true when it
    // ended by itself after SIGTERM.
    bool stop();

private:
    bool control(const char* method, const std::string& pathAndQuery, const std::string& body = "");

    pid_t pid_ = -1;
    std::string error_;
    int httpPort_ = -1;
    int httpsPort_ = -1;
    int controlPort_ = -1;
    std::string certFile_;
    std::string controlToken_;  // read from the server's output pipe; it reaches nobody else
    std::string outputDir_;
    bool ownOutput_ = false;
};

// Percent-encodes a query parameter value.
std::string encodeQueryValue(const std::string& text);

}  // namespace testserver
