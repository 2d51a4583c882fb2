// Owner and DACL texts.
#include "agent/fim/dacl_text.h"

#include <map>
#include <utility>

#include "common/log.h"

namespace sec = platform::security;

namespace {

struct MaskRow {
    std::uint32_t value;
    const char* fileName;
    const char* directoryName;
};

// The rights in the order they are written: specific file rights, unknown
// bits, file composites, standard rights, unknown bits, special rights,
// unknown bits, generic rights, and last the three masks.
constexpr MaskRow kMaskTable[] = {
    {0x1, "FILE_READ_DATA", "FILE_LIST_DIRECTORY"},
    {0x2, "FILE_WRITE_DATA", "FILE_ADD_FILE"},
    {0x4, "FILE_APPEND_DATA", "FILE_ADD_SUBDIRECTORY"},
    {0x8, "FILE_READ_EA", "FILE_READ_EA"},
    {0x10, "FILE_WRITE_EA", "FILE_WRITE_EA"},
    {0x20, "FILE_EXECUTE", "FILE_TRAVERSE"},
    {0x40, "FILE_DELETE_CHILD", "FILE_DELETE_CHILD"},
    {0x80, "FILE_READ_ATTRIBUTES", "FILE_READ_ATTRIBUTES"},
    {0x100, "FILE_WRITE_ATTRIBUTES", "FILE_WRITE_ATTRIBUTES"},
    {0x200, "unknown", "unknown"},
    {0x400, "unknown", "unknown"},
    {0x800, "unknown", "unknown"},
    {0x1000, "unknown", "unknown"},
    {0x2000, "unknown", "unknown"},
    {0x4000, "unknown", "unknown"},
    {0x8000, "unknown", "unknown"},
    {0x1F01FF, "FILE_ALL_ACCESS", "FILE_ALL_ACCESS"},
    {0x120089, "FILE_GENERIC_READ", "FILE_GENERIC_READ"},
    {0x120116, "FILE_GENERIC_WRITE", "FILE_GENERIC_WRITE"},
    {0x1200A0, "FILE_GENERIC_EXECUTE", "FILE_GENERIC_EXECUTE"},
    {0x10000, "DELETE", "DELETE"},
    {0x20000, "READ_CONTROL", "READ_CONTROL"},
    {0x40000, "WRITE_DAC", "WRITE_DAC"},
    {0x80000, "WRITE_OWNER", "WRITE_OWNER"},
    {0x100000, "SYNCHRONIZE", "SYNCHRONIZE"},
    {0x200000, "unknown", "unknown"},
    {0x400000, "unknown", "unknown"},
    {0x800000, "unknown", "unknown"},
    {0x1000000, "ACCESS_SYSTEM_SECURITY", "ACCESS_SYSTEM_SECURITY"},
    {0x2000000, "MAXIMUM_ALLOWED", "MAXIMUM_ALLOWED"},
    {0x4000000, "unknown", "unknown"},
    {0x8000000, "unknown", "unknown"},
    {0x10000000, "GENERIC_ALL", "GENERIC_ALL"},
    {0x20000000, "GENERIC_EXECUTE", "GENERIC_EXECUTE"},
    {0x40000000, "GENERIC_WRITE", "GENERIC_WRITE"},
    {0x80000000, "GENERIC_READ", "GENERIC_READ"},
    {0xFFFF, "SPECIFIC_RIGHTS_ALL", "SPECIFIC_RIGHTS_ALL"},
    {0xF0000, "STANDARD_RIGHTS_REQUIRED", "STANDARD_RIGHTS_REQUIRED"},
    {0x1F0000, "STANDARD_RIGHTS_ALL", "STANDARD_RIGHTS_ALL"},
};
static_assert(sizeof kMaskTable / sizeof kMaskTable[0] == 39);

const char* aceTypeName(std::uint8_t type) {
    switch (type) {
        case sec::ACCESS_ALLOWED_ACE_TYPE_: return "ACCESS_ALLOWED,";
        case sec::ACCESS_DENIED_ACE_TYPE_: return "ACCESS_DENIED,";
        case sec::ACCESS_ALLOWED_OBJECT_ACE_TYPE_: return "ACCESS_ALLOWED_OBJECT,";
        case sec::ACCESS_DENIED_OBJECT_ACE_TYPE_: return "ACCESS_DENIED_OBJECT,";
        case sec::ACCESS_ALLOWED_CALLBACK_ACE_TYPE_: return "ACCESS_ALLOWED_CALLBACK,";
        case sec::ACCESS_DENIED_CALLBACK_ACE_TYPE_: return "ACCESS_DENIED_CALLBACK,";
        case sec::ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE_: return "ACCESS_ALLOWED_CALLBACK_OBJECT,";
        case sec::ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE_: return "ACCESS_DENIED_CALLBACK_OBJECT,";
        default: return nullptr;  // audit and alarm ACEs are not access rights
    }
}

const char* systemMessage(std::uint32_t code) {
    switch (code) {
        case 0: return "The operation completed successfully.";
        case 2: return "The system cannot find the file specified.";
        case 3: return "The system cannot find the path specified.";
        case 4: return "The system cannot open the file.";
        case 5: return "Access is denied.";
        case 6: return "The handle is invalid.";
        case 8: return "Not enough memory resources are available to process this command.";
        case 32: return "The process cannot access the file because it is being used by another process.";
        case 87: return "The parameter is incorrect.";
        case 122: return "The data area passed to a system call is too small.";
        case 123: return "The filename, directory name, or volume label syntax is incorrect.";
        case 206: return "The filename or extension is too long.";
        case 1332: return "No mapping between account names and security IDs was done.";
        case 1336: return "The access control list (ACL) structure is invalid.";
        case 1337: return "The security ID structure is invalid.";
        case 1338: return "The security descriptor structure is invalid.";
        default: return "";
    }
}

}  // namespace

void logWindowsErrorDetails(std::uint32_t code) {
    LogError("\n Error Details: %s",
             ("failed with error " + std::to_string(code) + ": " + systemMessage(code)).c_str());
}

std::string accessMaskText(std::uint32_t mask, bool isFile) {
    std::string text = "ACCESS_MASK: ";
    for (const MaskRow& row : kMaskTable) {
        if ((mask & row.value) == row.value) {
            text += isFile ? row.fileName : row.directoryName;
            text += ',';
        }
    }
    return text;
}

std::string accountText(const std::string& domain, const std::string& name, int databaseFlag) {
    return domain + (databaseFlag == 1 ? "\\" : "\\\\") + name;
}

std::string daclTextOfDescriptor(const sec::SecurityDescriptor& descriptor, const std::string& path, bool isFile,
                                 int databaseFlag) {
    std::string text = "ACLINFO: ";
    bool present = false, isNull = false;
    sec::Acl acl;
    if (const sec::WinError rc = sec::getSecurityDescriptorDacl(descriptor, present, isNull, acl)) {
        LogError("\n GetDACLInfo: error in getting SEC_DACL for file: %s with error %u", path.c_str(), rc);
        return text + "ACETYPE: ERROR" + "ACCESS_MASK: ERROR";
    }
    if (present && !isNull) {
        std::uint32_t count = 0;
        if (const sec::WinError rc = sec::getAclAceCount(acl, count)) {
            LogError("\nGetDACLInfo: error in getting ACLINFO for file: %s with error %u", path.c_str(), rc);
            logWindowsErrorDetails(rc);
            return text + "ACETYPE: ERROR" + "ACCESS_MASK: ERROR";
        }
        if (count == 0) {
            text += "ACETYPE: ACCESS_DENIED,";
            text += "ACCESS_MASK: ACCESS_DENIED,";
            LogInfo("\n EMPTY DACL for file %s.DACL is by default ACCESS_DENIED to all", path.c_str());
        }
        // Directories: the first ACE written for an account fixes the type
        // its later ACEs are compared with.
        std::map<std::string, std::uint8_t> written;
        for (std::uint32_t i = 0; i < count; ++i) {
            sec::Ace ace;
            if (const sec::WinError rc = sec::getAce(acl, i, ace)) {
                LogError("\nGetDACLInfo: error in getting ACE for file: %s with error %u", path.c_str(), rc);
                continue;
            }
            const char* typeName = aceTypeName(ace.type);
            if (!typeName) continue;
            std::string domain, name;
            std::string account;
            if (const sec::WinError rc = sec::lookupAccountSid(ace.sid, 512, domain, name))
                logWindowsErrorDetails(rc);
            else
                account = accountText(domain, name, databaseFlag);
            if (!isFile) {
                // An account that cannot be named is told apart by its identifier.
                const std::string key = account.empty() ? "?" + sec::sidToText(ace.sid) : account;
                const auto seen = written.find(key);
                if (seen != written.end() && seen->second == ace.type) continue;
                if (seen == written.end()) written.emplace(key, ace.type);
            } else if (ace.type == sec::ACCESS_DENIED_ACE_TYPE_) {
                LogInfo("\n Access Mask is %d", static_cast<int>(ace.mask));
            }
            text += "ACETYPE: ";
            text += typeName;
            text += accessMaskText(ace.mask, isFile);
            text += "TRUSTED_SID: " + account + ",";
        }
    } else if (present && isNull) {
        text += "ACETYPE: ACCESS_ALLOWED,";
        text += "ACCESS_MASK: ACCESS_ALLOWED,";
        LogInfo("\n NULL DACL for file %s.DACL is by default ACCESS_ALLOWED for all", path.c_str());
    }
    const std::size_t comma = text.rfind(',');
    if (comma != std::string::npos) text.erase(comma, 1);
    return text;
}
