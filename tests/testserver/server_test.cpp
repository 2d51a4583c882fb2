// The test server end to end, run as a child process through the harness.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>

#include "testserver/harness.h"
#include "testserver/scenario.h"
#include "testserver/server.h"
#include "tests/testserver/bytes.h"
#include "tests/testserver/test_zip.h"

namespace fs = std::filesystem;
using testserver::TestServer;

namespace {

httplib::Result get(const TestServer& server, const std::string& request) {
    httplib::Client client("127.0.0.1", server.httpPort());
    client.set_read_timeout(20, 0);
    return client.Get(("/event/" + request).c_str());
}

std::string body(const TestServer& server, const std::string& request) {
    auto r = get(server, request);
    if (!r) return "<no answer>";
    if (r->status != 200) return "<status " + std::to_string(r->status) + ">";
    return r->body;
}

int status(const TestServer& server, const std::string& request) {
    auto r = get(server, request);
    return r ? r->status : -1;
}

std::size_t rowCount(const std::string& xml, const std::string& table) {
    auto rows = testserver::rowsOfTable(xml, table);
    return rows ? rows->size() : 0;
}

std::string readAll(const fs::path& path) { return testbytes::readAll(path.string()); }

std::string zipBytes(const testbytes::ZipEntries& entries) {
    const std::string path = "/tmp/ambrik-server-test-" + std::to_string(getpid()) + ".zip";
    EXPECT_TRUE(testbytes::writeZip(path, entries));
    std::string bytes = testbytes::readAll(path);
    fs::remove(path);
    return bytes;
}

httplib::Result upload(const TestServer& server, const std::string& zip, const std::string& name) {
    httplib::Client client("127.0.0.1", server.httpPort());
    httplib::MultipartFormDataItems form = {{"upfile", zip, name, "application/octet-stream"},
                                            {"filename", name, "", ""},
                                            {"submit", "send", "", ""}};
    return client.Post("/event/agentUpload", form);
}

testserver::HarnessOptions httpOnly() {
    testserver::HarnessOptions options;
    options.https = false;
    return options;
}

testserver::OverrideRule statusRule(const std::string& pattern, int status, int remaining) {
    testserver::OverrideRule rule;
    rule.pattern = pattern;
    rule.status = status;
    rule.remaining = remaining;
    return rule;
}

const char* kAggregateLine =
    "|**|NULL|**|14|**|2026-12-07 14:00:00|**|101|**|Security|**|Security|**|4625|**|admin|**|CORP|**|3|**|0|**|0|**|"
    "0|**|0|**|1|**|**|\n";

}  // namespace

TEST(TestServer, AnswersTheWholeCatalogueFromTheDefaultScenario) {
    TestServer server;
    ASSERT_TRUE(server.ok()) << server.error();

    EXPECT_EQ(body(server, "agentHandler?mode=register&name=agenthost&ip=127.0.0.1&aws=no"), "SLID 1001\n");
    EXPECT_EQ(status(server, "agentHandler?mode=agentStatusUpdate&status=ServiceStarted&agentId=1001"), 200);
    EXPECT_EQ(body(server, "agentHandler?mode=agentversion&isSameVersion=check&version=8.0.0&slid=1001"),
              "AGENTVERSIONINSERVER 8.0.0\n");
    EXPECT_EQ(status(server, "agentHandler?mode=agentversion&isSameVersion=yes&slid=1001&installDir=C:\\Program+Files\\"
                             "bin&version=8.0.0"),
              200);
    EXPECT_EQ(body(server, "agentHandler?mode=version"), "8.0.0");
    EXPECT_EQ(body(server, "agentHandler?mode=getFacility&type=Security"), "3");
    // A type the mapping lacks gets a new number, the same one every time.
    const std::string fresh = body(server, "agentHandler?mode=getFacility&type=Custom");
    EXPECT_EQ(fresh, "5");
    EXPECT_EQ(body(server, "agentHandler?mode=getFacility&type=Custom"), fresh);
    EXPECT_EQ(status(server, "agentHandler?mode=hoststatus&hostid=101&status=24&nextScanTime=-"), 200);
    EXPECT_EQ(body(server, "agentHandler?mode=Renovo.exe").rfind("#!/bin/sh", 0), 0u);

    const std::string hosts = body(server, "hostdetails?slid=1001");
    EXPECT_EQ(rowCount(hosts, "Hosts"), 4u);
    EXPECT_EQ(rowCount(hosts, "HostDetails"), 4u);
    const std::string one = body(server, "hostdetails?slid=1001&hostid=102");
    EXPECT_EQ(rowCount(one, "Hosts"), 1u);
    EXPECT_NE(one.find("bravo.localhost"), std::string::npos);
    EXPECT_EQ(rowCount(body(server, "hostdetails?slid=1001&hostid=999"), "Hosts"), 0u);

    const std::string filters = body(server, "filters?slid=1001");
    EXPECT_EQ(rowCount(filters, "HostFilter"), 1u);
    EXPECT_EQ(rowCount(filters, "LAExpression"), 1u);
    const std::string filters102 = body(server, "filters?hostid=102");
    EXPECT_EQ(rowCount(filters102, "HostFilter"), 0u);
    EXPECT_EQ(rowCount(filters102, "HostGroupMapping"), 1u);
    EXPECT_EQ(rowCount(filters102, "SyslogFilter"), 1u);
    EXPECT_EQ(rowCount(body(server, "notifications?slid=1001"), "NotificationType"), 1u);
    EXPECT_EQ(rowCount(body(server, "notifications?hostid=101"), "HostNotification"), 1u);

    EXPECT_EQ(rowCount(body(server, "agentHandler?type=file&mode=monitorrequests&rType=AGENT&slid=1001"),
                       "FIM_AgentRequest"),
              1u);
    EXPECT_EQ(status(server, "agentHandler?type=file&mode=monitorrequests&rType=TEMPLATE&slid=1001"), 200);
    EXPECT_EQ(status(server, "agentHandler?type=file&mode=isInstall&slid=1001"), 200);
    EXPECT_EQ(rowCount(body(server, "agentHandler?mode=getTableData&table=LogTypeMapping"), "LogTypeMapping"), 4u);
    EXPECT_EQ(body(server, "agentHandler?type=file&mode=baseconfig&slid=1001"), "BASECONFIG INITIALIZED\n");
    EXPECT_EQ(body(server, "agentHandler?type=file&mode=fimRequests&slid=1001"), "FIMREQUESTS_DELETED NO\n");
    EXPECT_EQ(status(server, "agentHandler?mode=noSuchMode"), 404);
    EXPECT_EQ(status(server, "agentHandler?mode=getTableData&table=..%2F..%2Fetc%2Fpasswd"), 400);

    // Every request is logged on arrival, in order, exactly as sent.
    const auto log = server.requests();
    ASSERT_GE(log.size(), 20u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].target, "/event/agentHandler?mode=register&name=agenthost&ip=127.0.0.1&aws=no");
    EXPECT_NE(log[3].target.find("&installDir=C:"), std::string::npos) << log[3].target;
    EXPECT_EQ(log[0].time.size(), 24u);
}

TEST(TestServer, HttpsIsVerifiableAgainstItsOwnCertificate) {
    TestServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_FALSE(server.certFile().empty());
    httplib::SSLClient pinned("127.0.0.1", server.httpsPort());
    pinned.set_ca_cert_path(server.certFile().c_str());
    pinned.enable_server_certificate_verification(true);
    auto r = pinned.Get("/event/agentHandler?mode=version");
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->body, "8.0.0");

    // A client that trusts another CA refuses the connection.
    httplib::SSLClient strict("127.0.0.1", server.httpsPort());
    strict.set_ca_cert_path("/nonexistent-ca.pem");
    strict.enable_server_certificate_verification(true);
    EXPECT_FALSE(strict.Get("/event/agentHandler?mode=version"));
}

TEST(TestServer, QueuedUpdatesAreServedOnceInOrder) {
    TestServer server(httpOnly());
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(server.queueUpdate("Host", 17));
    ASSERT_TRUE(server.queueUpdate("Alert", 17));
    const std::string first = body(server, "agentHandler?mode=update&slid=1001");
    auto rows = testserver::rowsOfTable(first, "SLUPDATE");
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ((*rows)[0].at("SERVICETYPE"), "Host");
    EXPECT_EQ((*rows)[1].at("SERVICETYPE"), "Alert");
    EXPECT_EQ((*rows)[1].at("SERVICEID"), "17");
    EXPECT_EQ(rowCount(body(server, "agentHandler?mode=update&slid=1001"), "SLUPDATE"), 0u);
}

TEST(TestServer, StatusRulesCountDownAndCanBeCleared) {
    TestServer server(httpOnly());
    ASSERT_TRUE(server.ok()) << server.error();
    const std::string reg = "agentHandler?mode=register&name=h&ip=1.2.3.4&aws=no";
    ASSERT_TRUE(server.failRequests("mode=register", 500, 2));
    EXPECT_EQ(status(server, reg), 500);
    EXPECT_EQ(status(server, "agentHandler?mode=version"), 200);  // other requests are untouched
    EXPECT_EQ(status(server, reg), 500);
    EXPECT_EQ(body(server, reg), "SLID 1001\n");

    // A canned 200 answer without the SLID line, then the real one.
    ASSERT_TRUE(server.failRequests("mode=register", 200, 1, "REGISTERED\n"));
    EXPECT_EQ(body(server, reg), "REGISTERED\n");
    EXPECT_EQ(body(server, reg), "SLID 1001\n");
    ASSERT_TRUE(server.failRequests("mode=register", 200, 1, std::string()));
    EXPECT_EQ(body(server, reg), "");

    // A canned body in chunked pieces arrives whole.
    ASSERT_TRUE(server.answerInChunks("getTableData", "<R><LogTypeMapping LTYPE=\"A\" LVALUE=\"1\"/></R>", 4));
    EXPECT_EQ(body(server, "agentHandler?mode=getTableData&table=LogTypeMapping"),
              "<R><LogTypeMapping LTYPE=\"A\" LVALUE=\"1\"/></R>");

    ASSERT_TRUE(server.failRequests("hostdetails", 404));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(status(server, "hostdetails?slid=1001"), 404);
    ASSERT_TRUE(server.clearStatusRules());
    EXPECT_EQ(status(server, "hostdetails?slid=1001"), 200);
    // Even a forced answer is logged.
    EXPECT_EQ(server.countRequests("hostdetails"), 4u);
    EXPECT_FALSE(server.failRequests("x", 42));
}

TEST(TestServer, DelaysHoldAnswersUntilTheyEnd) {
    TestServer server(httpOnly());
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(server.delayRequests("mode=version", -1, 1));
    auto held = std::async(std::launch::async, [&] { return body(server, "agentHandler?mode=version"); });
    ASSERT_TRUE(server.waitForRequests("mode=version", 1, 10000));
    // The request arrived and is held; others are answered meanwhile.
    EXPECT_EQ(status(server, "agentHandler?mode=register&name=h&ip=i&aws=no"), 200);
    EXPECT_EQ(held.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    ASSERT_TRUE(server.clearDelays());
    EXPECT_EQ(held.get(), "8.0.0");

    // A finite delay ends by itself and answers normally.
    ASSERT_TRUE(server.delayRequests("mode=version", 300, 1));
    EXPECT_EQ(body(server, "agentHandler?mode=version"), "8.0.0");
    EXPECT_EQ(server.countRequests("mode=version"), 2u);
}

TEST(TestServer, RefusedConnectionsComeBack) {
    TestServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(server.refuseConnections(-1));
    auto r = get(server, "agentHandler?mode=version");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), httplib::Error::Connection);
    httplib::SSLClient tls("127.0.0.1", server.httpsPort());
    tls.enable_server_certificate_verification(false);
    EXPECT_FALSE(tls.Get("/event/agentHandler?mode=version"));
    // The control listener stays open.
    ASSERT_TRUE(server.acceptConnections());
    std::string answer;
    for (int i = 0; i < 250 && answer != "8.0.0"; ++i) {
        answer = body(server, "agentHandler?mode=version");
        if (answer != "8.0.0") std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(answer, "8.0.0");

    // A refusal with a time limit ends by itself.
    ASSERT_TRUE(server.refuseConnections(200, "http"));
    answer.clear();
    for (int i = 0; i < 250 && answer != "8.0.0"; ++i) {
        answer = body(server, "agentHandler?mode=version");
        if (answer != "8.0.0") std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(answer, "8.0.0");
    EXPECT_TRUE(server.stop());
}

TEST(TestServer, UploadsAreKeptUnpackedAndDecoded) {
    TestServer server(httpOnly());
    ASSERT_TRUE(server.ok()) << server.error();
    const std::string raw = testbytes::rawLogRecord() + testbytes::rawLogRecord("second event");
    const std::string zip = zipBytes({{"rawlogs", raw}, {"aggregate", kAggregateLine}});
    auto r = upload(server, zip, "logdata_1001.zip");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    ASSERT_TRUE(upload(server, zip, "logdata_1001.zip"));  // the same name again

    const auto summaries = server.uploads();
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_NE(summaries[0].find("\"stored\":\"uploads/0001-logdata_1001.zip\""), std::string::npos) << summaries[0];
    EXPECT_NE(summaries[0].find("\"entries\":[\"rawlogs\",\"aggregate\"]"), std::string::npos);
    EXPECT_NE(summaries[0].find("\"error\":null"), std::string::npos);
    EXPECT_NE(summaries[1].find("uploads/0002-logdata_1001.zip"), std::string::npos);

    const fs::path dir = fs::path(server.outputDir()) / "uploads";
    EXPECT_EQ(readAll(dir / "0001-logdata_1001.zip"), zip);
    EXPECT_EQ(readAll(dir / "0001-logdata_1001" / "rawlogs"), raw);
    const std::string decoded = readAll(dir / "0001-logdata_1001" / "rawlogs.jsonl");
    EXPECT_NE(decoded.find("\"message\":\"second event\""), std::string::npos) << decoded;
    EXPECT_NE(readAll(dir / "0001-logdata_1001" / "aggregate.jsonl").find("\"EVENTID\":\"4625\""), std::string::npos);
    EXPECT_NE(readAll(dir / "0002-logdata_1001.jsonl").find("{\"entry\":\"rawlogs\""), std::string::npos);
}

// The LAST_MSG_TIME of each host in the host details: the newest event time
// received for it, once that is newer than the scenario's own value.
std::map<std::string, std::string> lastMessageTimes(const std::string& xml) {
    std::map<std::string, std::string> times;
    if (auto rows = testserver::rowsOfTable(xml, "HostDetails"))
        for (auto& row : *rows) times[row["HOST_ID"]] = row["LAST_MSG_TIME"];
    return times;
}

TEST(TestServer, HostDetailsFollowTheNewestEventReceived) {
    TestServer server(httpOnly());
    ASSERT_TRUE(server.ok()) << server.error();
    const std::string before = body(server, "hostdetails?slid=1001");
    EXPECT_EQ(lastMessageTimes(before)["101"], "0");
    // A refused upload does not count; nothing received leaves the file's text as it is.
    ASSERT_TRUE(server.failRequests("agentUpload", 500, 1));
    const std::string raw = testbytes::rawLogRecord();  // host 101, 1700000000
    ASSERT_TRUE(upload(server, zipBytes({{"rawlogs", raw}}), "logdata_1001.zip"));
    EXPECT_EQ(body(server, "hostdetails?slid=1001"), before);

    ASSERT_EQ(upload(server, zipBytes({{"rawlogs", raw}}), "logdata_1001.zip")->status, 200);
    auto times = lastMessageTimes(body(server, "hostdetails?slid=1001"));
    EXPECT_EQ(times["101"], "1700000000000");
    EXPECT_EQ(times["102"], "0");
    EXPECT_EQ(lastMessageTimes(body(server, "hostdetails?slid=1001&hostid=101"))["101"], "1700000000000");

    // The scenario's own time stays when it is the newer one.
    std::string newer = before;
    newer.replace(newer.find("LAST_MSG_TIME=\"0\""), 17, "LAST_MSG_TIME=\"1800000000000\"");
    ASSERT_TRUE(server.swapFile("hostdetails.xml", newer));
    EXPECT_EQ(lastMessageTimes(body(server, "hostdetails?slid=1001"))["101"], "1800000000000");
    // A host list that does not parse is served as it is.
    ASSERT_TRUE(server.swapFile("hostdetails.xml", "<HostList><Hosts HOST_ID="));
    EXPECT_EQ(body(server, "hostdetails?slid=1001"), "<HostList><Hosts HOST_ID=");
}

TEST(TestServer, BadUploadsAreRecordedOrRefused) {
    TestServer server(httpOnly());
    ASSERT_TRUE(server.ok()) << server.error();
    // A broken zip is kept as received, with the decoding error in its summary.
    auto r = upload(server, "PK\x03\x04 truncated", "../../evil name.zip");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    ASSERT_EQ(server.uploads().size(), 1u);
    EXPECT_NE(server.uploads()[0].find("uploads/0001-evil_name.zip"), std::string::npos) << server.uploads()[0];
    EXPECT_EQ(server.uploads()[0].find("\"error\":null"), std::string::npos);

    // A record cut short inside an otherwise sound zip.
    const std::string raw = testbytes::rawLogRecord();
    ASSERT_TRUE(upload(server, zipBytes({{"rawlogs", raw.substr(0, raw.size() - 3)}}), "logdata_1001.zip"));
    ASSERT_EQ(server.uploads().size(), 2u);
    EXPECT_NE(server.uploads()[1].find("record of"), std::string::npos) << server.uploads()[1];

    httplib::Client client("127.0.0.1", server.httpPort());
    EXPECT_EQ(client.Post("/event/agentUpload", "x", "text/plain")->status, 400);
    // A forced failure stores nothing: the agent keeps its files and sends them again.
    ASSERT_TRUE(server.failRequests("agentUpload", 500, 1));
    EXPECT_EQ(upload(server, zipBytes({{"rawlogs", raw}}), "logdata_1001.zip")->status, 500);
    EXPECT_EQ(server.uploads().size(), 2u);
}

TEST(TestServer, AnUploadThatCannotBeStoredFails) {
    // "uploads" taken by a plain file: the zip cannot be written, and the
    // sender must hear so instead of deleting its data.
    const fs::path out = fs::temp_directory_path() / ("ambrik-unwritable-" + std::to_string(getpid()));
    fs::create_directories(out);
    testbytes::writeAll((out / "uploads").string(), "in the way");
    {
        testserver::HarnessOptions options = httpOnly();
        options.outputDir = out.string();
        TestServer server(options);
        ASSERT_TRUE(server.ok()) << server.error();
        auto r = upload(server, zipBytes({{"rawlogs", testbytes::rawLogRecord()}}), "logdata_1001.zip");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 500);
        ASSERT_EQ(server.uploads().size(), 1u);
        EXPECT_NE(server.uploads()[0].find("cannot write"), std::string::npos) << server.uploads()[0];
    }
    fs::remove_all(out);
}

TEST(TestServer, SwappedFilesAnswerUntilRestored) {
    TestServer server(httpOnly());
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(server.swapFile("scenario.conf", "slid = 77\nversion = 9.1.0\n"));
    EXPECT_EQ(body(server, "agentHandler?mode=register&name=h&ip=i&aws=no"), "SLID 77\n");
    EXPECT_EQ(body(server, "agentHandler?mode=version"), "9.1.0");
    ASSERT_TRUE(server.swapFile("version.txt", "9.1.0\n"));
    EXPECT_EQ(body(server, "agentHandler?mode=version"), "9.1.0\n");
    ASSERT_TRUE(server.swapFile("hostdetails.xml", "<R><Hosts HOST_ID=\"5\" DNS_NAME=\"x.localhost\"/></R>"));
    EXPECT_EQ(rowCount(body(server, "hostdetails?slid=77"), "Hosts"), 1u);
    EXPECT_FALSE(server.swapFile("../escape.xml", "x"));
    ASSERT_TRUE(server.restoreFile("scenario.conf"));
    EXPECT_EQ(body(server, "agentHandler?mode=register&name=h&ip=i&aws=no"), "SLID 1001\n");
    ASSERT_TRUE(server.reset());
    EXPECT_EQ(rowCount(body(server, "hostdetails?slid=1001"), "Hosts"), 4u);
}

// Whoever can reach the agent's ports must not be able to swap the answers
// (a swapped Renovo.exe would be run by the agent).
TEST(TestServer, ControlNeedsItsOwnPortAndTheToken) {
    TestServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_GT(server.controlPort(), 0);
    ASSERT_EQ(server.controlToken().size(), 32u);
    const std::string swap = "/control/file?name=Renovo.exe";

    // Not on the agent's ports, with or without the token.
    for (int port : {server.httpPort()}) {
        httplib::Client client("127.0.0.1", port);
        client.set_default_headers({{"X-Control-Token", server.controlToken()}});
        auto r = client.Post(swap.c_str(), "evil", "text/plain");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 404);
    }
    httplib::SSLClient tls("127.0.0.1", server.httpsPort());
    tls.enable_server_certificate_verification(false);
    auto overTls = tls.Post(swap.c_str(), "evil", "text/plain");
    ASSERT_TRUE(overTls);
    EXPECT_EQ(overTls->status, 404);

    // On the control port only with the right token.
    httplib::Client control("127.0.0.1", server.controlPort());
    for (const std::string& token : {std::string(), std::string(32, '0'), server.controlToken() + "0"}) {
        if (!token.empty()) control.set_default_headers({{"X-Control-Token", token}});
        auto r = control.Post(swap.c_str(), "evil", "text/plain");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 403) << token;
    }
    EXPECT_NE(body(server, "agentHandler?mode=Renovo.exe"), "evil");
    EXPECT_EQ(control.Get("/event/agentHandler?mode=version")->status, 404);

    ASSERT_TRUE(server.swapFile("Renovo.exe", "mine"));
    EXPECT_EQ(body(server, "agentHandler?mode=Renovo.exe"), "mine");
}

TEST(TestServer, StartFailuresAreReported) {
    testserver::HarnessOptions options;
    options.scenarioDir = "/nonexistent/scenario";
    TestServer server(options);
    EXPECT_FALSE(server.ok());
}

// ---- Pieces of the server ----------------------------------------------------------------

TEST(ServerPieces, HostRowsAreKeptByHostIdAtAnyDepth) {
    const std::string xml =
        "<Root><Hosts host_id=\"1\"/><Hosts HOST_ID=\"2\"/><Group><HostFilter HOSTID=\"2\" FILTERID=\"9\"/>"
        "<HostFilter HOSTID=\"3\"/></Group><SyslogFilter ID=\"9\"/></Root>";
    const auto kept = testserver::keepRowsOfHost(xml, "2");
    ASSERT_TRUE(kept);
    EXPECT_EQ(rowCount(*kept, "Hosts"), 1u);
    EXPECT_EQ(rowCount(*kept, "HostFilter"), 1u);
    EXPECT_EQ(rowCount(*kept, "SyslogFilter"), 1u);
    EXPECT_FALSE(testserver::keepRowsOfHost("<Root><unclosed></Root>", "2"));
}

TEST(ServerPieces, RulesMatchFirstAndCountDown) {
    testserver::RuleSet rules;
    rules.add(statusRule("register", 500, 1));
    rules.add(statusRule("", 404, -1));
    EXPECT_EQ(rules.take("/event/agentHandler?mode=register")->status, 500);
    EXPECT_EQ(rules.take("/event/agentHandler?mode=register")->status, 404);
    EXPECT_EQ(rules.list().size(), 1u);
    rules.clear();
    EXPECT_FALSE(rules.take("anything"));

    const auto settings = testserver::parseSettings("# c\n slid = 5 \nbad line\nversion=8.0.0 beta\n");
    EXPECT_EQ(settings.at("slid"), "5");
    EXPECT_EQ(settings.at("version"), "8.0.0 beta");
    EXPECT_EQ(settings.size(), 2u);
    EXPECT_NE(testserver::updateDocument({{"Host", "1\"<"}}).find("SERVICEID=\"1&quot;&lt;\""), std::string::npos);
}
