// The DACL of an item as the agent reads it, for the security tests of both
// systems: the descriptor's size first, then the descriptor, its DACL and
// each ACE, every step expected to succeed.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/security.h"

inline std::vector<platform::security::Ace> acesOf(const std::string& path, bool directory) {
    using namespace platform::security;
    FileHandlePtr h;
    EXPECT_EQ(openForSecurity(path, directory, h), ERROR_SUCCESS_) << path;
    if (!h) return {};
    SecurityDescriptor sd;
    std::uint32_t needed = 0;
    EXPECT_EQ(getUserObjectSecurity(*h, 0, sd, needed), ERROR_INSUFFICIENT_BUFFER_);
    EXPECT_GT(needed, 0u);
    EXPECT_EQ(getUserObjectSecurity(*h, needed - 1, sd, needed), ERROR_INSUFFICIENT_BUFFER_);
    EXPECT_EQ(getUserObjectSecurity(*h, needed, sd, needed), ERROR_SUCCESS_);
    EXPECT_EQ(sd.bytes.size(), needed);
    bool present = false, isNull = true;
    Acl acl;
    EXPECT_EQ(getSecurityDescriptorDacl(sd, present, isNull, acl), ERROR_SUCCESS_);
    EXPECT_TRUE(present);
    EXPECT_FALSE(isNull);
    std::uint32_t count = 0;
    EXPECT_EQ(getAclAceCount(acl, count), ERROR_SUCCESS_);
    std::vector<Ace> aces(count);
    for (std::uint32_t i = 0; i < count; ++i) EXPECT_EQ(getAce(acl, i, aces[i]), ERROR_SUCCESS_);
    Ace beyond;
    EXPECT_NE(getAce(acl, count, beyond), ERROR_SUCCESS_);
    return aces;
}
