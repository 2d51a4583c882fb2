// The binary layout of security identifiers, ACLs and self-relative security
// descriptors, read without the operating system: the POSIX backend answers
// its calls with it, and tests build descriptors that no POSIX file has (an
// empty or null DACL, inherited or denying ACEs).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/security.h"

namespace platform::security::layout {

// Bytes a SID takes at data[0..size), or 0 when it is not a valid SID.
std::size_t sidLength(const std::uint8_t* data, std::size_t size);

// A SID from an authority and its sub-authorities.
Sid makeSid(std::uint64_t authority, const std::vector<std::uint32_t>& subAuthorities);

// The ACL bytes of a list of ACEs (revision 2).
Acl buildAcl(const std::vector<Ace>& aces);

// The readers behind getSecurityDescriptorDacl, getAclAceCount and getAce.
WinError descriptorDacl(const SecurityDescriptor& descriptor, bool& present, bool& isNull, Acl& acl);
WinError aceCount(const Acl& acl, std::uint32_t& count);
WinError aceAt(const Acl& acl, std::uint32_t index, Ace& out);

}  // namespace platform::security::layout
