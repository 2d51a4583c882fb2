// The HTTP client against a server in the test process: results, the server
// status flag, bodies, files, uploads, TLS and time-outs.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include <condition_variable>

#include "agent/server/http_client.h"
#include "platform/clock.h"
#include "tests/agent/server/local_server.h"

namespace {

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override { HttpGlobalInit(); }
    void TearDown() override { SetHttpTransferLimits(HttpTransferLimits{}); }
    LocalServer server;
};

TEST_F(HttpClientTest, EmptyBodyWith200IsSuccessWithNoData) {
    server.http().Get("/event/empty", [](const httplib::Request&, httplib::Response& res) {
        res.status = 200;
    });
    UseLocalServer(server.start());
    ResponseBuffer response;
    EXPECT_EQ(HttpGetToBuffer(server.url("/event/empty"), response), 0);
    EXPECT_EQ(response.length(), 0);
    EXPECT_TRUE(response.data.empty());
}

TEST_F(HttpClientTest, RefusedConnectionMarksServerDownAndAnyAnswerMarksItUp) {
    server.http().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("not here", "text/plain");
    });
    UseLocalServer(server.start());
    LogCapture log(4);

    ResponseBuffer refused;
    EXPECT_EQ(HttpGetToBuffer("http://127.0.0.1:" + std::to_string(UnusedPort()) + "/x", refused), 1);
    EXPECT_EQ(ServerStatus(), kServerDown);
    EXPECT_NE(log.text().find(" Curl Error: 7 <--> "), std::string::npos);
    EXPECT_NE(log.text().find("\nSetting server status to down"), std::string::npos);

    ResponseBuffer notFound;
    EXPECT_EQ(HttpGetToBuffer(server.url("/missing"), notFound), 1);
    EXPECT_EQ(ServerStatus(), kServerUp);
    EXPECT_NE(log.text().find("\n Http status code for url:" + server.url("/missing") + " is 404"),
              std::string::npos);
    EXPECT_NE(log.text().find("\n Error <--> Got status: 404"), std::string::npos);
}

TEST_F(HttpClientTest, OtherTransportErrorsLeaveTheFlagAlone) {
    UseLocalServer(server.start());
    SetServerStatus(kServerDown);
    ResponseBuffer response;
    // A malformed URL fails before any connection: not code 7.
    EXPECT_EQ(HttpGetToBuffer("http://127.0.0.1:notaport/x", response), 1);
    EXPECT_EQ(ServerStatus(), kServerDown);
    SetServerStatus(kServerUp);
    EXPECT_EQ(HttpGetToBuffer("http://127.0.0.1:notaport/x", response), 1);
    EXPECT_EQ(ServerStatus(), kServerUp);
}

TEST_F(HttpClientTest, ChunkedBodyArrivesInOrderAndZeroTerminated) {
    server.http().Get("/chunks", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
            // 300 pieces of different sizes and contents.
            const std::size_t piece = offset / 7 % 300;
            if (piece >= 299) {
                sink.done();
                return true;
            }
            std::string text(7, static_cast<char>('a' + piece % 26));
            sink.write(text.data(), text.size());
            return true;
        });
    });
    UseLocalServer(server.start());
    ResponseBuffer response;
    ASSERT_EQ(HttpGetToBuffer(server.url("/chunks"), response), 0);
    ASSERT_EQ(response.length(), 299 * 7);
    for (std::size_t i = 0; i < 299; ++i)
        ASSERT_EQ(response.data.substr(i * 7, 7), std::string(7, static_cast<char>('a' + i % 26)));
    EXPECT_EQ(response.data.c_str()[response.length()], '\0');
}

TEST_F(HttpClientTest, BodyLargerThanTheCapFailsWithoutMarkingDown) {
    server.http().Get("/big", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(10000, 'x'), "text/plain");
    });
    UseLocalServer(server.start());
    HttpTransferLimits limits = CurrentHttpTransferLimits();
    limits.maxResponseBytes = 4096;
    SetHttpTransferLimits(limits);
    ResponseBuffer response;
    EXPECT_EQ(HttpGetToBuffer(server.url("/big"), response), 1);
    EXPECT_LE(response.data.size(), 4096u);
    EXPECT_EQ(ServerStatus(), kServerUp);
}

TEST_F(HttpClientTest, GetToFileWritesTheBodyAndKeepsTheFileOnFailure) {
    server.http().Get("/file", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string("line one\nline two\n\0tail", 23), "application/octet-stream");
    });
    server.http().Get("/gone", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("no such file", "text/plain");
    });
    UseLocalServer(server.start());
    ScratchDir dir("http-file");

    EXPECT_EQ(HttpGetToFile(server.url("/file"), dir.file("a.bin")), 0);
    EXPECT_EQ(ReadWholeFile(dir.file("a.bin")), std::string("line one\nline two\n\0tail", 23));

    EXPECT_EQ(HttpGetToFile(server.url("/gone"), dir.file("b.bin")), 1);
    EXPECT_TRUE(std::filesystem::exists(dir.file("b.bin")));

    // A file that cannot be created is a failure, not a crash.
    EXPECT_EQ(HttpGetToFile(server.url("/file"), dir.file("no/such/dir/c.bin")), 1);
}

// A download into an open file stops at its cap, even when the server sends
// no length (chunked), and at its total time even while bytes keep coming.
TEST_F(HttpClientTest, StreamDownloadHasACapAndATotalTime) {
    server.http().Get("/sized", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(1000, 'x'), "application/octet-stream");
    });
    server.http().Get("/endless", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/octet-stream", [](std::size_t, httplib::DataSink& sink) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return sink.write("0123456789", 10);
        });
    });
    UseLocalServer(server.start());
    ScratchDir dir("http-stream");
    auto download = [&](const std::string& path, std::int64_t cap, long seconds) {
        std::FILE* f = std::fopen(dir.file("out").c_str(), "wb");
        const int rc = HttpGetToStream(server.url(path), f, cap, seconds);
        std::fclose(f);
        return rc;
    };
    EXPECT_EQ(download("/sized", 1000, 0), 0);
    EXPECT_EQ(ReadWholeFile(dir.file("out")).size(), 1000u);
    EXPECT_EQ(download("/sized", 999, 0), 1);
    EXPECT_EQ(download("/endless", 200, 0), 1);
    EXPECT_LE(ReadWholeFile(dir.file("out")).size(), 200u);
    EXPECT_EQ(download("/endless", 0, 1), 1);  // code 28 after one second
}

TEST_F(HttpClientTest, UploadSendsTheThreePartsAndA500KeepsTheFile) {
    std::mutex lock;
    std::string upfileName, upfileContent, filenameField, submitField;
    int status = 200;
    server.http().Post("/event/agentUpload", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> guard(lock);
        const auto upfile = req.get_file_value("upfile");
        upfileName = upfile.filename;
        upfileContent = upfile.content;
        filenameField = req.get_file_value("filename").content;
        submitField = req.get_file_value("submit").content;
        res.status = status;
    });
    UseLocalServer(server.start());
    ScratchDir dir("http-upload");
    const std::string path = dir.file("logdata_42.zip");
    { std::FILE* f = std::fopen(path.c_str(), "wb"); std::fputs("PK zip bytes", f); std::fclose(f); }

    EXPECT_EQ(HttpUploadFile(server.url("/event/agentUpload"), path), 0);
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(upfileName, "logdata_42.zip");
        EXPECT_EQ(upfileContent, "PK zip bytes");
        EXPECT_EQ(filenameField, path);
        EXPECT_EQ(submitField, "send");
        status = 500;
    }
    EXPECT_EQ(HttpUploadFile(server.url("/event/agentUpload"), path), 1);
    EXPECT_TRUE(std::filesystem::exists(path));

    // A missing file fails cleanly; the flag is not the upload's business.
    SetServerStatus(kServerUp);
    EXPECT_EQ(HttpUploadFile(server.url("/event/agentUpload"), dir.file("none.zip")), 1);
    EXPECT_EQ(HttpUploadFile("http://127.0.0.1:" + std::to_string(UnusedPort()) + "/u", path), 1);
    EXPECT_EQ(ServerStatus(), kServerUp);
}

TEST_F(HttpClientTest, StallingServerIsAbandonedAtTheLowSpeedLimit) {
    // The handler may run only after the client has given up and this test
    // has returned, so what it waits on is shared with it, not on the stack.
    struct Gate {
        std::mutex lock;
        std::condition_variable released;
        bool release = false;
    };
    auto gate = std::make_shared<Gate>();
    server.http().Get("/stall", [gate](const httplib::Request&, httplib::Response& res) {
        // Holds the answer back until the test ends (and never for ever).
        std::unique_lock<std::mutex> guard(gate->lock);
        gate->released.wait_for(guard, std::chrono::seconds(30), [&] { return gate->release; });
        res.set_content("late", "text/plain");
    });
    UseLocalServer(server.start());
    HttpTransferLimits limits = CurrentHttpTransferLimits();
    limits.lowSpeedTimeSeconds = 1;
    SetHttpTransferLimits(limits);
    ResponseBuffer response;
    SetServerStatus(kServerUp);
    EXPECT_EQ(HttpGetToBuffer(server.url("/stall"), response), 1);  // code 28: a time-out
    EXPECT_EQ(ServerStatus(), kServerUp);
    // Under the low-speed rule's time, the request kind's total limit ends it.
    limits.lowSpeedTimeSeconds = 120;
    limits.controlTotalSeconds = 1;
    limits.tableDumpTotalSeconds = 2;
    SetHttpTransferLimits(limits);
    const std::int64_t began = platform::nowMillis();
    EXPECT_EQ(HttpGetToBuffer(server.url("/stall"), response), 1);
    EXPECT_EQ(HttpGetToBuffer(server.url("/stall"), response, HttpRequestKind::TableDump), 1);
    EXPECT_LT(platform::nowMillis() - began, 8000);
    {
        std::lock_guard<std::mutex> guard(gate->lock);
        gate->release = true;
    }
    gate->released.notify_all();
}

TEST_F(HttpClientTest, HttpsWithVerificationOffAndWithAPinnedCertificate) {
    TestCertificate certificate;
    ASSERT_TRUE(certificate.made) << "openssl could not make a test certificate";
    TestCertificate otherCertificate;
    ASSERT_TRUE(otherCertificate.made);
    LocalServer tls(certificate.cert, certificate.key);
    tls.http().Get("/event/agentHandler", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("SLID 7\n", "text/plain");
    });
    UseLocalServer(tls.start(), "https");
    const std::string url = tls.url("/event/agentHandler?mode=version", "https");

    ResponseBuffer accepted;
    EXPECT_EQ(HttpGetToBuffer(url, accepted), 0);  // protocol flag 1: not verified
    EXPECT_EQ(accepted.data, "SLID 7\n");

    PutAgentSetting("ServerCACertFile", certificate.cert);
    ResponseBuffer pinned;
    EXPECT_EQ(HttpGetToBuffer(url, pinned), 0);

    PutAgentSetting("ServerCACertFile", otherCertificate.cert);
    ResponseBuffer rejected;
    EXPECT_EQ(HttpGetToBuffer(url, rejected), 1);
    EXPECT_EQ(HttpGetToFile(url, certificate.dir.file("x")), 1);

    // Without the flag and without a CA file, a self-signed server is refused.
    UseLocalServer(tls.port(), "http");
    ResponseBuffer unverified;
    EXPECT_EQ(HttpGetToBuffer(url, unverified), 1);
}

// The pinned file is the only trust anchor: a server that the system's CA
// store vouches for, and the pin does not, is refused.
TEST_F(HttpClientTest, PinIsTheOnlyTrustAnchorAsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "a private system CA store needs root";
    TestCertificate serverCa;
    TestCertificate pinnedCa("/CN=Pinned CA");
    ASSERT_TRUE(serverCa.made && pinnedCa.made);
    LocalServer tls(serverCa.cert, serverCa.key);
    tls.http().Get("/event/agentHandler", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("SLID 7\n", "text/plain");
    });
    const int port = tls.start();
    const std::string url = tls.url("/event/agentHandler?mode=version", "https");
    const std::string why = RunWithSystemCa(serverCa.cert, [&] {
        UseLocalServer(port, "http");  // verified against the system store: accepted
        ResponseBuffer trusted;
        EXPECT_EQ(HttpGetToBuffer(url, trusted), 0);
        EXPECT_EQ(trusted.data, "SLID 7\n");

        UseLocalServer(port, "https");
        PutAgentSetting("ServerCACertFile", pinnedCa.cert);
        ResponseBuffer refused;
        EXPECT_EQ(HttpGetToBuffer(url, refused), 1);
        EXPECT_EQ(HttpGetToFile(url, pinnedCa.dir.file("x")), 1);
    });
    if (!why.empty()) GTEST_SKIP() << why;
    EXPECT_EQ(tls.targets().size(), 1u);
}

}  // namespace
