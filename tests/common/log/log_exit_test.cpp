// Tamsel's log in a forked child: what is pending reaches the file at exit.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/common/log/log_fixture.h"

namespace {

// A process that ends with exit() writes what is still in memory.
TEST_F(LogFile, ExitWritesWhatIsPending) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        LogInfo("\n written by the child before exit");
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(onDisk(), "\n written by the child before exit");
}

}  // namespace
