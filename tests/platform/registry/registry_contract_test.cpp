// The registry, the same on every system: keys and values under
// HKEY_LOCAL_MACHINE with their Windows result codes.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "tests/support/test_registry.h"

using namespace platform;

namespace {

class RegistryContract : public ::testing::Test {
protected:
    TestRegistry registry;
    const std::string root = registry.root();

    RegistryKey create(const std::string& path, bool* created = nullptr) {
        RegistryKey key(nullptr, nullptr);
        bool made = false;
        EXPECT_EQ(regCreateKey(RegistryRoot::LocalMachine, path, &key, &made), kErrorSuccess) << path;
        if (created) *created = made;
        return key;
    }
    long open(const std::string& path, RegistryAccess access, RegistryKey* key) {
        return regOpenKey(RegistryRoot::LocalMachine, path, access, key);
    }
};

TEST_F(RegistryContract, KeysAreCreatedOnceWithTheirParentsAndMissingOnesGive2) {
    RegistryKey key(nullptr, nullptr);
    EXPECT_EQ(open(root + "\\Orbisk\\ServerInfo", RegistryAccess::Read, &key), kErrorFileNotFound);
    EXPECT_FALSE(key);
    bool created = false;
    key = create(root + "\\Orbisk\\ServerInfo", &created);
    EXPECT_TRUE(created);
    create(root + "\\Orbisk\\ServerInfo", &created);
    EXPECT_FALSE(created) << "a second create opens the existing key";
    EXPECT_EQ(open(root + "\\Orbisk", RegistryAccess::Read, &key), kErrorSuccess) << "the parent exists";
    EXPECT_EQ(open(root + "\\ORBISK\\serverinfo", RegistryAccess::QueryValue, &key), kErrorSuccess)
        << "paths compare without case";
}

TEST_F(RegistryContract, ValuesRoundTripWithTheirTypesAndMissingOnesGive2) {
    RegistryKey key = create(root + "\\Values");
    ASSERT_EQ(regSetValue(key, "ServerIPAddress", kRegSz, "10.0.0.5"), kErrorSuccess);
    ASSERT_EQ(regSetValue(key, "AgentLogLevel", kRegDword, dwordData(3)), kErrorSuccess);
    ASSERT_EQ(regSetValue(key, "", kRegSz, "default text"), kErrorSuccess);
    ASSERT_EQ(regSetValue(key, "Name", kRegSz, "Gr\xC3\xBC\xC3\x9F" "e"), kErrorSuccess);
    ASSERT_EQ(regSetValue(key, "serveripaddress", kRegSz, "10.0.0.6"), kErrorSuccess)
        << "another spelling replaces the value";

    RegistryKey again(nullptr, nullptr);
    ASSERT_EQ(open(root + "\\Values", RegistryAccess::Read, &again), kErrorSuccess);
    std::uint32_t count = 0;
    ASSERT_EQ(regQueryValueCount(again, &count), kErrorSuccess);
    EXPECT_EQ(count, 4u);
    RegistryValue v;
    ASSERT_EQ(regQueryValue(again, "SERVERIPADDRESS", &v), kErrorSuccess);
    EXPECT_EQ(v.type, kRegSz);
    EXPECT_EQ(v.data, "10.0.0.6");
    ASSERT_EQ(regQueryValue(again, "AgentLogLevel", &v), kErrorSuccess);
    EXPECT_EQ(v.type, kRegDword);
    EXPECT_EQ(dwordValue(v.data), 3u);
    ASSERT_EQ(regQueryValue(again, "", &v), kErrorSuccess);
    EXPECT_EQ(v.data, "default text");
    ASSERT_EQ(regQueryValue(again, "Name", &v), kErrorSuccess);
    EXPECT_EQ(v.data, "Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(regQueryValue(again, "Missing", &v), kErrorFileNotFound);

    // Enumeration gives every value once, then 259.
    int seen = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        ASSERT_EQ(regEnumValue(again, i, &v), kErrorSuccess) << i;
        if (v.name == "AgentLogLevel") {
            EXPECT_EQ(dwordValue(v.data), 3u);
        }
        ++seen;
    }
    EXPECT_EQ(seen, 4);
    EXPECT_EQ(regEnumValue(again, count, &v), kErrorNoMoreItems);
}

TEST_F(RegistryContract, ReadOnlyHandlesAndSmallBuffersGiveWindowsCodes) {
    RegistryKey key = create(root + "\\Limits");
    ASSERT_EQ(regSetValue(key, "Name", kRegSz, "12345"), kErrorSuccess);
    RegistryKey reader(nullptr, nullptr);
    ASSERT_EQ(open(root + "\\Limits", RegistryAccess::Read, &reader), kErrorSuccess);
    EXPECT_EQ(regSetValue(reader, "x", kRegSz, "y"), kErrorAccessDenied) << "read-only handle";
    RegistryValue v;
    EXPECT_EQ(regEnumValue(reader, 0, &v, 4, 100), kErrorMoreData);  // "Name" + terminator needs 5
    EXPECT_EQ(regEnumValue(reader, 0, &v, 5, 5), kErrorMoreData);    // data + terminator needs 6
    EXPECT_EQ(regEnumValue(reader, 0, &v, 5, 6), kErrorSuccess);
    EXPECT_EQ(v.data, "12345");
    const RegistryKey none(nullptr, nullptr);
    EXPECT_EQ(regQueryValue(none, "Name", &v), kErrorInvalidHandle);
}

}  // namespace
