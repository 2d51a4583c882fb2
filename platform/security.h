// File security: the owner of a file or directory, its DACL read ACE by ACE,
// account names of security identifiers, and the process privilege that lets
// the agent read every file.
//
// The operations follow the Windows calls one to one (CreateFileW,
// GetSecurityInfo, LookupAccountSidW, GetUserObjectSecurity,
// GetSecurityDescriptorDacl, GetAclInformation, GetAce, and the token calls of
// the privilege step) and answer with the Windows error codes, so the
// caller's messages and fall-backs are the same code on every system. Paths
// are UTF-8 texts in the Windows form ("c:\\data\\a.txt").
//
// Security identifiers, ACLs and security descriptors are bytes in the
// Windows binary layout (a self-relative descriptor) on both systems; damaged
// bytes are refused (1336, 1338) by both backends before anything reads them.
//
// Windows backend (win32/security.cpp): the real calls.
// POSIX backend (posix/security.cpp): the path is translated through the
// drive map; the owner is the file's uid as S-1-22-1-<uid>, groups are
// S-1-22-2-<gid>, "other" is Everyone (S-1-1-0). The account of a uid is its
// user name (the number when it has none) with the host name in upper case as
// its domain, as Windows names local accounts; Everyone has an empty domain;
// any other identifier has no mapping (1332). The DACL is built from the
// POSIX access ACL (the mode bits when the file has none): one ACCESS_ALLOWED
// ACE per entry, in the order owner, named users, owning group, named groups,
// other; the rights of named users and groups and of the owning group are
// those left after the ACL mask; r gives FILE_GENERIC_READ, w
// FILE_GENERIC_WRITE (on a directory also FILE_DELETE_CHILD, the right to
// delete its entries), x FILE_GENERIC_EXECUTE, and the owner's ACE also
// carries READ_CONTROL, WRITE_DAC and WRITE_OWNER, the owner's right to change
// the ACL and hand the file on. The privilege is held when the process runs
// as root or has CAP_DAC_READ_SEARCH.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::security {

// ---------------------------------------------------------------- results

using WinError = std::uint32_t;

constexpr WinError ERROR_SUCCESS_ = 0;
constexpr WinError ERROR_FILE_NOT_FOUND_ = 2;
constexpr WinError ERROR_PATH_NOT_FOUND_ = 3;
constexpr WinError ERROR_TOO_MANY_OPEN_FILES_ = 4;
constexpr WinError ERROR_ACCESS_DENIED_ = 5;
constexpr WinError ERROR_INVALID_HANDLE_ = 6;
constexpr WinError ERROR_NOT_ENOUGH_MEMORY_ = 8;
constexpr WinError ERROR_GEN_FAILURE_ = 31;
constexpr WinError ERROR_SHARING_VIOLATION_ = 32;
constexpr WinError ERROR_INVALID_PARAMETER_ = 87;
constexpr WinError ERROR_INSUFFICIENT_BUFFER_ = 122;
constexpr WinError ERROR_INVALID_NAME_ = 123;
constexpr WinError ERROR_FILENAME_EXCED_RANGE_ = 206;
constexpr WinError ERROR_NOT_ALL_ASSIGNED_ = 1300;
constexpr WinError ERROR_NONE_MAPPED_ = 1332;
constexpr WinError ERROR_INVALID_ACL_ = 1336;
constexpr WinError ERROR_INVALID_SID_ = 1337;
constexpr WinError ERROR_INVALID_SECURITY_DESCR_ = 1338;
constexpr WinError ERROR_CANT_RESOLVE_FILENAME_ = 1921;

// ---------------------------------------------------------------- ACEs and rights

constexpr std::uint8_t ACCESS_ALLOWED_ACE_TYPE_ = 0;
constexpr std::uint8_t ACCESS_DENIED_ACE_TYPE_ = 1;
constexpr std::uint8_t SYSTEM_AUDIT_ACE_TYPE_ = 2;
constexpr std::uint8_t ACCESS_ALLOWED_OBJECT_ACE_TYPE_ = 5;
constexpr std::uint8_t ACCESS_DENIED_OBJECT_ACE_TYPE_ = 6;
constexpr std::uint8_t ACCESS_ALLOWED_CALLBACK_ACE_TYPE_ = 9;
constexpr std::uint8_t ACCESS_DENIED_CALLBACK_ACE_TYPE_ = 10;
constexpr std::uint8_t ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE_ = 11;
constexpr std::uint8_t ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE_ = 12;

constexpr std::uint8_t OBJECT_INHERIT_ACE_ = 0x1;
constexpr std::uint8_t CONTAINER_INHERIT_ACE_ = 0x2;
constexpr std::uint8_t INHERITED_ACE_ = 0x10;

constexpr std::uint32_t FILE_DELETE_CHILD_ = 0x40;
constexpr std::uint32_t DELETE_ = 0x10000;
constexpr std::uint32_t READ_CONTROL_ = 0x20000;
constexpr std::uint32_t WRITE_DAC_ = 0x40000;
constexpr std::uint32_t WRITE_OWNER_ = 0x80000;
constexpr std::uint32_t FILE_ALL_ACCESS_ = 0x1F01FF;
constexpr std::uint32_t FILE_GENERIC_READ_ = 0x120089;
constexpr std::uint32_t FILE_GENERIC_WRITE_ = 0x120116;
constexpr std::uint32_t FILE_GENERIC_EXECUTE_ = 0x1200A0;

// A security identifier in its binary layout (revision 1, sub-authority
// count, 48-bit big-endian authority, 32-bit little-endian sub-authorities).
struct Sid {
    std::vector<std::uint8_t> bytes;
    bool operator==(const Sid&) const = default;
};

// "S-1-22-1-1000" and back; false for a malformed text or identifier.
bool sidFromText(const std::string& text, Sid& out);
std::string sidToText(const Sid& sid);

// One ACE as GetAce gives it; `sid` is the trustee, wherever the ACE type
// keeps it (after the object GUIDs in object ACEs).
struct Ace {
    std::uint8_t type = ACCESS_ALLOWED_ACE_TYPE_;
    std::uint8_t flags = 0;
    std::uint32_t mask = 0;
    Sid sid;
};

// An ACL and a self-relative security descriptor, as bytes.
struct Acl {
    std::vector<std::uint8_t> bytes;
};
struct SecurityDescriptor {
    std::vector<std::uint8_t> bytes;
};

// Builds a self-relative descriptor with an optional owner and a DACL:
// `daclPresent` false gives none, `dacl` null a present but null DACL.
SecurityDescriptor buildSecurityDescriptor(const Sid* owner, bool daclPresent,
                                           const std::vector<Ace>* dacl);

// ---------------------------------------------------------------- the calls

// An open file or directory (a HANDLE from CreateFileW); closed when dropped.
class FileHandle {
public:
    virtual ~FileHandle() = default;
};
using FileHandlePtr = std::unique_ptr<FileHandle>;

// CreateFileW for reading, shared read, existing items only; directories
// with FILE_FLAG_BACKUP_SEMANTICS. `out` is null on failure.
WinError openForSecurity(const std::string& path, bool directory, FileHandlePtr& out);

// GetSecurityInfo(SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION).
WinError getOwnerSid(const FileHandle& file, Sid& owner);

// LookupAccountSidW on the local system. `capacity` is the size of each of
// the name and domain buffers in UTF-16 units, terminator included; a longer
// name is ERROR_INSUFFICIENT_BUFFER_. Texts come back in UTF-8.
WinError lookupAccountSid(const Sid& sid, std::size_t capacity, std::string& domain,
                          std::string& name);

// GetUserObjectSecurity with DACL_SECURITY_INFORMATION (the Windows backend
// makes the same query through GetKernelObjectSecurity, which wine answers too). Called with a
// `bufferSize` smaller than the descriptor it answers
// ERROR_INSUFFICIENT_BUFFER_ and sets `needed`; otherwise it fills `out`.
WinError getUserObjectSecurity(const FileHandle& file, std::uint32_t bufferSize,
                               SecurityDescriptor& out, std::uint32_t& needed);

// GetSecurityDescriptorDacl: `present` whether the descriptor has a DACL,
// `isNull` whether that DACL is null (no ACL: every access allowed); `acl`
// receives the ACL's bytes otherwise.
WinError getSecurityDescriptorDacl(const SecurityDescriptor& descriptor, bool& present,
                                   bool& isNull, Acl& acl);

// GetAclInformation(AclSizeInformation): the number of ACEs.
WinError getAclAceCount(const Acl& acl, std::uint32_t& count);

// GetAce: the ACE at `index`.
WinError getAce(const Acl& acl, std::uint32_t index, Ace& out);

// The privilege step: opens the process token for adjusting and querying
// privileges and enables "SeSecurityPrivilege". False when the token could not
// be opened (nothing was tried); otherwise true with the last error after the
// attempt in `lastError` (0: enabled; ERROR_NOT_ALL_ASSIGNED_: not held).
bool enableSecurityPrivilege(WinError& lastError);

}  // namespace platform::security
