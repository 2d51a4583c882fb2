// serverdata/ on a small tmpfs that fills and empties again, in a whole run
// of the agent: no raw-log member that cannot be decoded, nothing lost,
// nothing twice. Mounting needs root; the test skips without it.
#include <sys/mount.h>

#include "tests/faults/fault_fixture.h"

namespace faults {
namespace {

TEST_F(FaultRun, FullDiskLosesNothingOnceThereIsRoomAgain) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    const fs::path data = inst / "bin" / "serverdata";
    if (mount("tmpfs", data.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "no tmpfs here: " << std::strerror(errno);
    struct Unmount {
        fs::path path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{data};

    // Fill the disk all but a few kilobytes: the first batch does not fit.
    // (In a folder: the zip takes only the plain files of serverdata/.)
    const fs::path filler = data / "fill" / "filler";
    fs::create_directories(filler.parent_path());
    {
        std::ofstream out(filler, std::ios::binary);
        const std::string block(4096, 'f');
        while (out.write(block.data(), block.size()) && out.flush()) {
        }
    }
    std::error_code ec;
    fs::resize_file(filler, fs::file_size(filler, ec) - 6000, ec);
    startServer();
    feed(60);
    startAgent();
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline && agentLog().find("Unable to write to serverdata/rawlogs") == std::string::npos)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string log = agentLog();
    ASSERT_NE(log.find("Unable to write to serverdata/rawlogs: No space left on device"), std::string::npos)
        << log.substr(0, 20000);

    // Room again: the events that could not be written are collected again.
    fs::remove(filler, ec);
    const Tally t = waitForAll(90);
    report("serverdata full, then room again", t);
    EXPECT_EQ(t.lost, 0u) << t.describe();
    EXPECT_EQ(t.doubled, 0u) << t.describe();
    stopAgent();
}

}  // namespace
}  // namespace faults
