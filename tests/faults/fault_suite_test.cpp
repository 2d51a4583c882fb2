// Faults of the server and of the agent's input, each in a whole run of the
// agent: what was fed must arrive, whole and once.
#include "tests/faults/fault_fixture.h"

namespace faults {
namespace {

constexpr int kPerFeed = 40;  // events per host and feed

// The server answers 500 to three transfers in a row; the data waits and
// goes out with the next one that is taken.
TEST_F(FaultRun, RefusedUploadsLoseNothing) {
    startServer();
    ASSERT_TRUE(server->failRequests("agentUpload", 500, 3));
    feed(kPerFeed);
    startAgent();
    ASSERT_TRUE(server->waitForRequests("agentUpload", 3, 60000));
    feed(kPerFeed);
    const Tally t = waitForAll(60);
    report("500 for three transfers", t);
    EXPECT_EQ(t.lost, 0u) << t.describe();
    EXPECT_EQ(t.doubled, 0u) << t.describe();
}

// An upload that stalls for a while holds up only the transfer worker: the
// host timers keep their interval (three hosts every two minutes of agent
// time, about 1.5 status reports a second of real time at x60) and events
// fed during the stall are collected and go out with a later transfer,
// nothing twice.
TEST_F(FaultRun, StalledUploadLosesNothing) {
    startServer();
    feed(kPerFeed);
    ASSERT_TRUE(server->delayRequests("agentUpload", 20000, 1));
    startAgent();
    ASSERT_TRUE(server->waitForRequests("agentUpload", 1, 60000));
    const auto stallBegan = Clock::now();
    const std::size_t reportsBefore = server->countRequests("mode=hoststatus");
    feed(kPerFeed);
    // Half of the reports due in 15 s, while the upload is still held.
    EXPECT_TRUE(server->waitForRequests("mode=hoststatus", reportsBefore + 12, 15000))
        << server->countRequests("mode=hoststatus") - reportsBefore << " host status reports during the stall";
    EXPECT_LT(Clock::now() - stallBegan, std::chrono::seconds(20));
    const Tally t = waitForAll(90);
    report("upload stalled 20 s", t);
    EXPECT_EQ(t.lost, 0u) << t.describe();
    EXPECT_EQ(t.doubled, 0u) << t.describe();

    // A stop during a stalled upload still sends ServiceStop and ends within 20 s.
    const std::size_t uploads = server->countRequests("agentUpload");
    ASSERT_TRUE(server->delayRequests("agentUpload", 60000, 1));
    feed(kPerFeed);
    ASSERT_TRUE(server->waitForRequests("agentUpload", uploads + 1, 30000));
    kill(agent, SIGINT);
    EXPECT_EQ(waitForExit(20), 0);
    EXPECT_EQ(server->countRequests("status=ServiceStop"), 1u);
}

// The server is down when the agent starts and again in the middle of a run.
TEST_F(FaultRun, ServerDownAtStartAndInTheMiddle) {
    startServer();
    feed(kPerFeed);
    ASSERT_TRUE(server->refuseConnections(5000));
    startAgent();
    ASSERT_TRUE(server->waitForRequests("agentUpload", 1, 60000));
    ASSERT_TRUE(server->refuseConnections(6000));
    feed(kPerFeed);
    const Tally t = waitForAll(90);
    report("server down at start and mid-run", t);
    EXPECT_EQ(t.lost, 0u) << t.describe();
    EXPECT_EQ(t.doubled, 0u) << t.describe();
}

// kill -9 between transfers and during one, then a restart. The restarted
// agent drops its unsent data files (those of the cut upload included) and
// collects each host again from the last message time the server gives, the
// newest event it has received: nothing is lost and nothing comes twice.
TEST_F(FaultRun, KilledAgentRestartsWithoutLoss) {
    startServer();
    feed(kPerFeed);
    startAgent();
    ASSERT_TRUE(server->waitForRequests("agentUpload", 1, 60000));
    feed(kPerFeed);
    ASSERT_TRUE(server->waitForRequests("mode=hoststatus&hostid=303", 2, 30000));
    killAgent();  // between transfers: the new events are in serverdata/
    startAgent();
    ASSERT_TRUE(server->waitForRequests("mode=register", 2, 30000));
    feed(kPerFeed);
    const std::size_t uploads = server->countRequests("agentUpload");
    ASSERT_TRUE(server->delayRequests("agentUpload", 15000, 1));
    ASSERT_TRUE(server->waitForRequests("agentUpload", uploads + 1, 60000));
    killAgent();  // during a transfer
    ASSERT_TRUE(server->clearDelays());
    startAgent();
    const Tally t = waitForAll(90);
    report("kill -9 between and during transfers", t);
    EXPECT_EQ(t.lost, 0u) << t.describe();
    EXPECT_EQ(t.doubled, 0u) << t.describe();
}

// A registry the agent cannot work with: one line on standard error and a
// non-zero exit, at once, instead of a silent agent.
TEST_F(FaultRun, DamagedRegistryEndsTheAgentWithOneLine) {
    startServer();
    for (const std::string& registry :
         {registryText("\"ServerIPAddress\"=\"127.0.0.1\"\r\n"),
          std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp")}) {
        writeFile(dir / "registry.reg", registry);
        std::error_code ec;
        fs::remove(dir / "agent.out", ec);
        startAgent();
        const int status = waitForExit(20);
        EXPECT_GT(status, 0);
        const std::string out = readFile(dir / "agent.out");
        EXPECT_NE(out.find("ambrik: "), std::string::npos) << out;
        EXPECT_NE(out.find("registry.reg"), std::string::npos) << out;
    }
    EXPECT_EQ(server->countRequests("agentHandler"), 0u);
}

// Bad host lists: a host id given twice is refused (its events are not
// credited to the other host), and a list that cannot be read at start-up,
// or that drips in a byte every 0.9 s, is asked for again until one loads:
// the dripping answer ends at the table dumps' time limit (120 s of agent
// time, 2 s here) although it never falls under the low-speed rule.
TEST_F(FaultRun, BadHostListsAreRefusedAndAskedForAgain) {
    std::string twice = hostListXml(kHosts);
    twice.replace(twice.find("HOST_ID=\"303\""), 13, "HOST_ID=\"301\"");
    twice.replace(twice.find("HOST_ID=\"303\""), 13, "HOST_ID=\"301\"");
    writeFile(scenario / "hostdetails.xml", "<?xml version=\"1.0\"?>\n<HostList><Hosts HOST_ID=");
    startServer();
    const std::string dripped = hostListXml(kHosts).substr(0, 200);
    ASSERT_TRUE(server->answerInChunks("hostdetails?slid=", dripped, static_cast<int>(dripped.size()), 1, 900));
    feed(kPerFeed);
    startAgent();
    ASSERT_TRUE(server->waitForRequests("hostdetails?slid=", 1, 30000)) << agentLog().substr(0, 20000);
    const auto dripBegan = Clock::now();
    ASSERT_TRUE(server->waitForRequests("hostdetails?slid=", 2, 30000)) << agentLog().substr(0, 20000);
    EXPECT_LT(Clock::now() - dripBegan, std::chrono::seconds(15));  // the whole drip takes 180 s
    EXPECT_NE(agentLog().find("Curl Error: 28"), std::string::npos);
    ASSERT_TRUE(server->waitForRequests("hostdetails?slid=", 3, 30000)) << agentLog().substr(0, 20000);
    EXPECT_NE(agentLog().find("No hosts were loaded"), std::string::npos);
    ASSERT_TRUE(server->swapFile("hostdetails.xml", twice));
    ASSERT_TRUE(server->waitForRequests("mode=hoststatus&hostid=301", 1, 60000)) << agentLog().substr(0, 20000);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline && agentLog().find("a second row for host id 301") == std::string::npos)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_NE(agentLog().find("a second row for host id 301 is refused"), std::string::npos);
    // Host 303's events never arrive as host 301's.
    ASSERT_TRUE(server->waitForUploads(1, 60000));
    std::this_thread::sleep_for(std::chrono::seconds(5));
    stopAgent();
    const Tally t = tally();
    report("bad host lists", t);
    EXPECT_EQ(t.doubled, 0u) << t.describe();
    EXPECT_EQ(t.received, 2u * kPerFeed) << t.describe();  // hosts 301 and 302
}

}  // namespace
}  // namespace faults
