// File security on Linux: owners and POSIX ACLs answered as Windows owners
// and DACLs (the mapping is described in platform/security.h).
#include <acl/libacl.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>

#include "platform/net.h"
#include "platform/posix/local_path.h"
#include "platform/security.h"
#include "platform/security_layout.h"
#include "platform/text.h"

namespace platform::security {

namespace {

constexpr std::uint64_t kWorldAuthority = 1;   // S-1-1-0: Everyone
constexpr std::uint64_t kUnixAuthority = 22;   // S-1-22-1-uid, S-1-22-2-gid
constexpr std::uint32_t kUnixUsers = 1;
constexpr std::uint32_t kUnixGroups = 2;

class PosixFileHandle : public FileHandle {
public:
    explicit PosixFileHandle(int fd, bool directory) : fd_(fd), directory_(directory) {}
    ~PosixFileHandle() override { ::close(fd_); }
    PosixFileHandle(const PosixFileHandle&) = delete;
    PosixFileHandle& operator=(const PosixFileHandle&) = delete;
    int fd() const { return fd_; }
    bool directory() const { return directory_; }

private:
    int fd_;
    bool directory_;
};

WinError fromErrno(int e) {
    switch (e) {
        case ENOENT: return ERROR_FILE_NOT_FOUND_;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND_;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED_;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES_;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY_;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE_;
        case ELOOP: return ERROR_CANT_RESOLVE_FILENAME_;
        case EBUSY:
        case ETXTBSY: return ERROR_SHARING_VIOLATION_;
        case EINVAL: return ERROR_INVALID_PARAMETER_;
        default: return ERROR_GEN_FAILURE_;
    }
}

Sid userSid(uid_t uid) { return layout::makeSid(kUnixAuthority, {kUnixUsers, static_cast<std::uint32_t>(uid)}); }
Sid groupSid(gid_t gid) { return layout::makeSid(kUnixAuthority, {kUnixGroups, static_cast<std::uint32_t>(gid)}); }

std::uint32_t rightsOf(bool r, bool w, bool x, bool directory) {
    std::uint32_t mask = 0;
    if (r) mask |= FILE_GENERIC_READ_;
    if (w) mask |= FILE_GENERIC_WRITE_ | (directory ? FILE_DELETE_CHILD_ : 0u);
    if (x) mask |= FILE_GENERIC_EXECUTE_;
    return mask;
}

std::uint32_t rightsOfPermset(acl_permset_t perms, unsigned maskBits, bool directory) {
    auto has = [&](acl_perm_t p, unsigned bit) { return acl_get_perm(perms, p) == 1 && (maskBits & bit); };
    return rightsOf(has(ACL_READ, 4), has(ACL_WRITE, 2), has(ACL_EXECUTE, 1), directory);
}

// The DACL of an open item: from its access ACL, or from the mode bits.
std::vector<Ace> daclOf(int fd, const struct stat& st, bool directory) {
    constexpr std::uint32_t kOwnerExtra = READ_CONTROL_ | WRITE_DAC_ | WRITE_OWNER_;
    std::vector<Ace> owner, users, group, groups, other;
    acl_t acl = acl_get_fd(fd);
    if (acl) {
        // The ACL mask limits named users and every group entry.
        unsigned maskBits = 7;
        acl_entry_t entry;
        for (int id = ACL_FIRST_ENTRY; acl_get_entry(acl, id, &entry) == 1; id = ACL_NEXT_ENTRY) {
            acl_tag_t tag;
            acl_permset_t perms;
            if (acl_get_tag_type(entry, &tag) == 0 && tag == ACL_MASK && acl_get_permset(entry, &perms) == 0)
                maskBits = (acl_get_perm(perms, ACL_READ) == 1 ? 4u : 0u) |
                           (acl_get_perm(perms, ACL_WRITE) == 1 ? 2u : 0u) |
                           (acl_get_perm(perms, ACL_EXECUTE) == 1 ? 1u : 0u);
        }
        for (int id = ACL_FIRST_ENTRY; acl_get_entry(acl, id, &entry) == 1; id = ACL_NEXT_ENTRY) {
            acl_tag_t tag;
            acl_permset_t perms;
            if (acl_get_tag_type(entry, &tag) != 0 || acl_get_permset(entry, &perms) != 0) continue;
            Ace ace;
            switch (tag) {
                case ACL_USER_OBJ:
                    ace.sid = userSid(st.st_uid);
                    ace.mask = rightsOfPermset(perms, 7, directory) | kOwnerExtra;
                    owner.push_back(ace);
                    break;
                case ACL_USER: {
                    const void* q = acl_get_qualifier(entry);
                    if (!q) break;
                    ace.sid = userSid(*static_cast<const uid_t*>(q));
                    acl_free(const_cast<void*>(q));
                    ace.mask = rightsOfPermset(perms, maskBits, directory);
                    users.push_back(ace);
                    break;
                }
                case ACL_GROUP_OBJ:
                    ace.sid = groupSid(st.st_gid);
                    ace.mask = rightsOfPermset(perms, maskBits, directory);
                    group.push_back(ace);
                    break;
                case ACL_GROUP: {
                    const void* q = acl_get_qualifier(entry);
                    if (!q) break;
                    ace.sid = groupSid(*static_cast<const gid_t*>(q));
                    acl_free(const_cast<void*>(q));
                    ace.mask = rightsOfPermset(perms, maskBits, directory);
                    groups.push_back(ace);
                    break;
                }
                case ACL_OTHER:
                    ace.sid = layout::makeSid(kWorldAuthority, {0});
                    ace.mask = rightsOfPermset(perms, 7, directory);
                    other.push_back(ace);
                    break;
                default:
                    break;
            }
        }
        acl_free(acl);
    }
    if (owner.empty() && group.empty() && other.empty()) {
        // No ACL could be read (file system without ACL support): the mode bits.
        const mode_t m = st.st_mode;
        owner.push_back({ACCESS_ALLOWED_ACE_TYPE_, 0,
                         rightsOf(m & S_IRUSR, m & S_IWUSR, m & S_IXUSR, directory) | kOwnerExtra,
                         userSid(st.st_uid)});
        group.push_back({ACCESS_ALLOWED_ACE_TYPE_, 0,
                         rightsOf(m & S_IRGRP, m & S_IWGRP, m & S_IXGRP, directory), groupSid(st.st_gid)});
        other.push_back({ACCESS_ALLOWED_ACE_TYPE_, 0,
                         rightsOf(m & S_IROTH, m & S_IWOTH, m & S_IXOTH, directory),
                         layout::makeSid(kWorldAuthority, {0})});
    }
    std::vector<Ace> all;
    for (auto* part : {&owner, &users, &group, &groups, &other})
        all.insert(all.end(), part->begin(), part->end());
    return all;
}

// The sub-authorities of a SID (empty when it is not one).
bool sidParts(const Sid& sid, std::uint64_t& authority, std::vector<std::uint32_t>& subs) {
    const std::vector<std::uint8_t>& b = sid.bytes;
    if (layout::sidLength(b.data(), b.size()) == 0) return false;
    authority = 0;
    for (int k = 0; k < 6; ++k) authority = (authority << 8) | b[2 + k];
    subs.clear();
    for (std::size_t k = 0; k < b[1]; ++k) {
        const std::uint8_t* p = &b[8 + 4 * k];
        subs.push_back(static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                       (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
    }
    return true;
}

// The computer name as Windows shows it for local accounts: the first label
// of the host name, in upper case.
std::string computerName() {
    std::string name;
    if (localHostName(&name) != 0 || name.empty()) name = "localhost";
    name = name.substr(0, name.find('.'));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

std::string userName(uid_t uid) {
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return found->pw_name;
    return std::to_string(static_cast<unsigned long>(uid));
}

std::string groupName(gid_t gid) {
    struct group gr {};
    struct group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrgid_r(gid, &gr, buffer.data(), buffer.size(), &found) == 0 && found && found->gr_name)
        return found->gr_name;
    return std::to_string(static_cast<unsigned long>(gid));
}

}  // namespace

WinError openForSecurity(const std::string& path, bool directory, FileHandlePtr& out) {
    out.reset();
    const std::string local = posix::localPathOf(path);
    if (local.empty()) return path.find('\0') != std::string::npos ? ERROR_INVALID_NAME_ : ERROR_PATH_NOT_FOUND_;
    // Non-blocking, so that a FIFO or a device never holds the caller up. A
    // symbolic link is never followed: its own owner and permissions are
    // read through a path descriptor (which has no ACL, so the DACL comes
    // from the link's mode bits).
    int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0 && errno == ELOOP) fd = ::open(local.c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        const int e = errno;
        // As on Windows: a missing file in a missing folder is a missing path.
        struct stat parent {};
        const std::size_t slash = local.rfind('/');
        if (e == ENOENT && slash != std::string::npos &&
            stat(slash == 0 ? "/" : local.substr(0, slash).c_str(), &parent) != 0)
            return ERROR_PATH_NOT_FOUND_;
        return fromErrno(e);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return fromErrno(e);
    }
    // Without the back-up flag a directory cannot be opened, as on Windows.
    if (S_ISDIR(st.st_mode) && !directory) {
        ::close(fd);
        return ERROR_ACCESS_DENIED_;
    }
    out = std::make_unique<PosixFileHandle>(fd, S_ISDIR(st.st_mode));
    return ERROR_SUCCESS_;
}

WinError getOwnerSid(const FileHandle& file, Sid& owner) {
    const auto* h = dynamic_cast<const PosixFileHandle*>(&file);
    if (!h) return ERROR_INVALID_HANDLE_;
    struct stat st {};
    if (fstat(h->fd(), &st) != 0) return fromErrno(errno);
    owner = userSid(st.st_uid);
    return ERROR_SUCCESS_;
}

WinError lookupAccountSid(const Sid& sid, std::size_t capacity, std::string& domain, std::string& name) {
    domain.clear();
    name.clear();
    std::uint64_t authority = 0;
    std::vector<std::uint32_t> subs;
    if (!sidParts(sid, authority, subs)) return ERROR_INVALID_SID_;
    std::string d, n;
    if (authority == kWorldAuthority && subs.size() == 1 && subs[0] == 0) {
        n = "Everyone";
    } else if (authority == kUnixAuthority && subs.size() == 2 && subs[0] == kUnixUsers) {
        d = computerName();
        n = userName(static_cast<uid_t>(subs[1]));
    } else if (authority == kUnixAuthority && subs.size() == 2 && subs[0] == kUnixGroups) {
        d = computerName();
        n = groupName(static_cast<gid_t>(subs[1]));
    } else {
        return ERROR_NONE_MAPPED_;
    }
    if (utf8ToUtf16(n).size() + 1 > capacity || utf8ToUtf16(d).size() + 1 > capacity)
        return ERROR_INSUFFICIENT_BUFFER_;
    domain = std::move(d);
    name = std::move(n);
    return ERROR_SUCCESS_;
}

WinError getUserObjectSecurity(const FileHandle& file, std::uint32_t bufferSize, SecurityDescriptor& out,
                               std::uint32_t& needed) {
    needed = 0;
    const auto* h = dynamic_cast<const PosixFileHandle*>(&file);
    if (!h) return ERROR_INVALID_HANDLE_;
    struct stat st {};
    if (fstat(h->fd(), &st) != 0) return fromErrno(errno);
    const std::vector<Ace> aces = daclOf(h->fd(), st, S_ISDIR(st.st_mode));
    SecurityDescriptor sd = buildSecurityDescriptor(nullptr, true, &aces);
    needed = static_cast<std::uint32_t>(sd.bytes.size());
    if (bufferSize < needed) return ERROR_INSUFFICIENT_BUFFER_;
    out = std::move(sd);
    return ERROR_SUCCESS_;
}

WinError getSecurityDescriptorDacl(const SecurityDescriptor& descriptor, bool& present, bool& isNull,
                                   Acl& acl) {
    return layout::descriptorDacl(descriptor, present, isNull, acl);
}

WinError getAclAceCount(const Acl& acl, std::uint32_t& count) { return layout::aceCount(acl, count); }

WinError getAce(const Acl& acl, std::uint32_t index, Ace& out) { return layout::aceAt(acl, index, out); }

bool enableSecurityPrivilege(WinError& lastError) {
    // Reading every file needs root or CAP_DAC_READ_SEARCH in the effective set.
    if (geteuid() == 0) {
        lastError = ERROR_SUCCESS_;
        return true;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) {
        lastError = ERROR_NOT_ALL_ASSIGNED_;
        return true;
    }
    const bool held = (data[CAP_DAC_READ_SEARCH / 32].effective >> (CAP_DAC_READ_SEARCH % 32)) & 1u;
    lastError = held ? ERROR_SUCCESS_ : ERROR_NOT_ALL_ASSIGNED_;
    return true;
}

}  // namespace platform::security
