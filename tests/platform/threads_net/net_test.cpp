// Host name and look-ups, on loopback names only.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/net.h"

using namespace platform;

TEST(NameService, LocalNameAndLoopbackLookups) {
    std::string name;
    ASSERT_EQ(localHostName(&name), 0);
    EXPECT_FALSE(name.empty());

    std::vector<std::string> addresses;
    ASSERT_EQ(resolveIpv4("127.0.0.1", &addresses), 0);
    EXPECT_EQ(addresses, std::vector<std::string>{"127.0.0.1"});
    ASSERT_EQ(resolveIpv4("localhost", &addresses), 0);
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
    EXPECT_EQ(std::count(addresses.begin(), addresses.end(), "127.0.0.1"), 1) << "each address once";

    std::string host;
    ASSERT_EQ(reverseLookup("127.0.0.1", &host), 0);
    EXPECT_FALSE(host.empty());
}

TEST(NameService, BadInputGivesSocketErrors) {
    std::vector<std::string> addresses;
    EXPECT_EQ(resolveIpv4("", &addresses), kWsaInvalidArgument);
    std::string host;
    EXPECT_EQ(reverseLookup("999.1.1.1", &host), kWsaInvalidArgument);
    EXPECT_EQ(reverseLookup("not an address", &host), kWsaInvalidArgument);
    EXPECT_TRUE(host.empty());
}
