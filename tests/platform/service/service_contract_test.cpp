// The service control flow, the same on every system: the dispatcher runs
// the service routine, a stop control from the system reaches the handler
// registered for it, and the service reports stop pending, then stopped,
// after which the dispatcher returns.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/service_run.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace std::chrono_literals;

TEST(ServiceContract, AStopControlReachesTheHandlerAndTheServiceEndsStopped) {
    TempFolder temp;
    const auto file = temp.path() / "service.txt";
    ServiceRun run(utf8Path(file));
    ASSERT_EQ(run.started(), 0);
    ASSERT_TRUE(waitForFileText(file, "running\n", 60s)) << readWholeFile(file);
    ASSERT_EQ(run.stop(), 0);
    std::uint32_t exitCode = 99;
    ASSERT_TRUE(run.waitStopped(60s, &exitCode)) << readWholeFile(file);
    EXPECT_EQ(exitCode, 0u);
    ASSERT_TRUE(waitForFileText(file, "after", 60s)) << readWholeFile(file);
    EXPECT_EQ(readWholeFile(file),
              "running\n"
              "control 1\n"
              "last 3 1\n"  // the stop-pending report, as handed over
              "stopped\n"
              "dispatcher returned 0\n"
              "after 1\n");  // a late stop-pending report is dropped
}

}  // namespace
