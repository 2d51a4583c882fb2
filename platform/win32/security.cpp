// File security on Windows: the calls themselves.
#include "platform/win32/win32_util.h"
// after windows.h
#include <aclapi.h>

#include <string>
#include <vector>

#include "platform/security.h"
#include "platform/security_layout.h"

namespace platform::security {

namespace {

using win32::narrow;
using win32::widen;

class Win32FileHandle : public FileHandle {
public:
    explicit Win32FileHandle(HANDLE h) : handle_(h) {}
    ~Win32FileHandle() override { CloseHandle(handle_); }
    Win32FileHandle(const Win32FileHandle&) = delete;
    Win32FileHandle& operator=(const Win32FileHandle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

HANDLE handleOf(const FileHandle& file) {
    const auto* h = dynamic_cast<const Win32FileHandle*>(&file);
    return h ? h->get() : INVALID_HANDLE_VALUE;
}

}  // namespace

WinError openForSecurity(const std::string& path, bool directory, FileHandlePtr& out) {
    out.reset();
    const std::wstring wide = widen(path);
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | (directory ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL),
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    out = std::make_unique<Win32FileHandle>(h);
    return ERROR_SUCCESS_;
}

WinError getOwnerSid(const FileHandle& file, Sid& owner) {
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD rc = GetSecurityInfo(handleOf(file), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid,
                                     nullptr, nullptr, nullptr, &sd);
    if (rc != ERROR_SUCCESS) return rc;
    if (sid && IsValidSid(sid)) {
        const DWORD n = GetLengthSid(sid);
        const auto* p = static_cast<const std::uint8_t*>(sid);
        owner.bytes.assign(p, p + n);
    }
    LocalFree(sd);
    return ERROR_SUCCESS_;
}

WinError lookupAccountSid(const Sid& sid, std::size_t capacity, std::string& domain, std::string& name) {
    domain.clear();
    name.clear();
    if (layout::sidLength(sid.bytes.data(), sid.bytes.size()) == 0) return ERROR_INVALID_SID_;
    std::vector<wchar_t> nameBuffer(capacity ? capacity : 1), domainBuffer(capacity ? capacity : 1);
    DWORD nameSize = static_cast<DWORD>(nameBuffer.size());
    DWORD domainSize = static_cast<DWORD>(domainBuffer.size());
    SID_NAME_USE use;
    std::vector<std::uint8_t> copy = sid.bytes;
    if (!LookupAccountSidW(nullptr, copy.data(), nameBuffer.data(), &nameSize, domainBuffer.data(),
                           &domainSize, &use))
        return GetLastError();
    nameBuffer.back() = L'\0';
    domainBuffer.back() = L'\0';
    name = narrow(nameBuffer.data());
    domain = narrow(domainBuffer.data());
    return ERROR_SUCCESS_;
}

WinError getUserObjectSecurity(const FileHandle& file, std::uint32_t bufferSize, SecurityDescriptor& out,
                               std::uint32_t& needed) {
    needed = 0;
    const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
    std::vector<std::uint8_t> buffer(bufferSize);
    DWORD length = 0;
    // GetKernelObjectSecurity is the query GetUserObjectSecurity makes for a
    // file handle on Windows, and the one wine answers (its user-object call
    // gives a descriptor without a DACL for every file).
    if (!GetKernelObjectSecurity(handleOf(file), what, bufferSize ? buffer.data() : nullptr, bufferSize,
                                 &length)) {
        needed = length;
        return GetLastError();
    }
    needed = length;
    buffer.resize(length <= bufferSize ? length : bufferSize);
    out.bytes = std::move(buffer);
    return ERROR_SUCCESS_;
}

WinError getSecurityDescriptorDacl(const SecurityDescriptor& descriptor, bool& present, bool& isNull,
                                   Acl& acl) {
    // The layout is checked first: Windows trusts the offsets inside the
    // bytes and would read past a damaged descriptor.
    if (const WinError layoutError = layout::descriptorDacl(descriptor, present, isNull, acl);
        layoutError != ERROR_SUCCESS_)
        return layoutError;
    present = false;
    isNull = false;
    acl.bytes.clear();
    BOOL daclPresent = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    std::vector<std::uint8_t> copy = descriptor.bytes;
    if (!GetSecurityDescriptorDacl(copy.data(), &daclPresent, &dacl, &defaulted)) return GetLastError();
    present = daclPresent != FALSE;
    if (!present) return ERROR_SUCCESS_;
    if (!dacl) {
        isNull = true;
        return ERROR_SUCCESS_;
    }
    const auto* p = reinterpret_cast<const std::uint8_t*>(dacl);
    acl.bytes.assign(p, p + dacl->AclSize);
    return ERROR_SUCCESS_;
}

WinError getAclAceCount(const Acl& acl, std::uint32_t& count) {
    count = 0;
    // An ACL whose size or ACEs lie past its bytes is refused before Windows reads it.
    if (const WinError layoutError = layout::aceCount(acl, count); layoutError != ERROR_SUCCESS_) return layoutError;
    count = 0;
    std::vector<std::uint8_t> copy = acl.bytes;
    ACL_SIZE_INFORMATION info{};
    if (!GetAclInformation(reinterpret_cast<PACL>(copy.data()), &info, sizeof info, AclSizeInformation))
        return GetLastError();
    count = info.AceCount;
    return ERROR_SUCCESS_;
}

WinError getAce(const Acl& acl, std::uint32_t index, Ace& out) {
    out = Ace{};
    std::uint32_t count = 0;
    if (const WinError layoutError = layout::aceCount(acl, count); layoutError != ERROR_SUCCESS_) return layoutError;
    std::vector<std::uint8_t> copy = acl.bytes;
    void* raw = nullptr;
    if (!GetAce(reinterpret_cast<PACL>(copy.data()), index, &raw)) return GetLastError();
    // The ACE lies inside `copy`; the layout reader finds its trustee for
    // every ACE type, object ACEs included.
    return layout::aceAt(acl, index, out);
}

bool enableSecurityPrivilege(WinError& lastError) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    SetLastError(ERROR_SUCCESS);
    if (LookupPrivilegeValueW(nullptr, L"SeSecurityPrivilege", &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
    lastError = GetLastError();
    CloseHandle(token);
    return true;
}

}  // namespace platform::security
