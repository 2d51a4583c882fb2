// Security identifiers, ACLs and self-relative descriptors in their binary
// layout (little-endian fields, as Windows keeps them in memory).
#include "platform/security_layout.h"

#include <cstdlib>

namespace platform::security {

namespace {

constexpr std::size_t kAclHeader = 8;           // revision, pad, size, count, pad
constexpr std::size_t kAceHeader = 4;           // type, flags, size
constexpr std::size_t kDescriptorHeader = 20;   // revision, pad, control, four offsets
constexpr std::uint16_t SE_DACL_PRESENT = 0x4;
constexpr std::uint16_t SE_SELF_RELATIVE = 0x8000;
constexpr std::uint32_t ACE_OBJECT_TYPE_PRESENT = 0x1;
constexpr std::uint32_t ACE_INHERITED_OBJECT_TYPE_PRESENT = 0x2;

std::uint16_t read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t read32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}
void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}
void set16(std::vector<std::uint8_t>& v, std::size_t at, std::uint16_t x) {
    v[at] = static_cast<std::uint8_t>(x);
    v[at + 1] = static_cast<std::uint8_t>(x >> 8);
}
void set32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<std::uint8_t>(x >> (8 * i));
}

bool hasObjectGuids(std::uint8_t type) {
    return type == ACCESS_ALLOWED_OBJECT_ACE_TYPE_ || type == ACCESS_DENIED_OBJECT_ACE_TYPE_ ||
           type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE_ ||
           type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE_ || type == 7 /* audit object */ ||
           type == 8 /* alarm object */ || type == 15 || type == 16;
}

}  // namespace

bool sidFromText(const std::string& text, Sid& out) {
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return false;
    std::vector<std::uint64_t> parts;
    std::size_t i = 2;
    while (i <= text.size()) {
        std::size_t j = text.find('-', i);
        if (j == std::string::npos) j = text.size();
        if (j == i || j - i > 20) return false;
        std::uint64_t value = 0;
        for (std::size_t k = i; k < j; ++k) {
            if (text[k] < '0' || text[k] > '9') return false;
            const std::uint64_t next = value * 10 + static_cast<std::uint64_t>(text[k] - '0');
            if (next / 10 != value) return false;
            value = next;
        }
        parts.push_back(value);
        i = j + 1;
    }
    // revision, authority, sub-authorities
    if (parts.size() < 2 || parts[0] != 1 || parts[1] > 0xFFFFFFFFFFFFull || parts.size() - 2 > 15)
        return false;
    std::vector<std::uint32_t> subs;
    for (std::size_t k = 2; k < parts.size(); ++k) {
        if (parts[k] > 0xFFFFFFFFull) return false;
        subs.push_back(static_cast<std::uint32_t>(parts[k]));
    }
    out = layout::makeSid(parts[1], subs);
    return true;
}

std::string sidToText(const Sid& sid) {
    if (layout::sidLength(sid.bytes.data(), sid.bytes.size()) == 0) return std::string();
    const std::uint8_t* p = sid.bytes.data();
    std::uint64_t authority = 0;
    for (int k = 0; k < 6; ++k) authority = (authority << 8) | p[2 + k];
    // Appended piece by piece: "literal" + std::string trips a false -Wrestrict
    // of GCC 12 in optimised builds.
    std::string text = "S-";
    text += std::to_string(p[0]);
    text += '-';
    text += std::to_string(authority);
    for (std::size_t k = 0; k < p[1]; ++k) {
        text += '-';
        text += std::to_string(read32(p + 8 + 4 * k));
    }
    return text;
}

SecurityDescriptor buildSecurityDescriptor(const Sid* owner, bool daclPresent,
                                           const std::vector<Ace>* dacl) {
    SecurityDescriptor d;
    std::vector<std::uint8_t>& b = d.bytes;
    b.assign(kDescriptorHeader, 0);
    b[0] = 1;
    std::uint16_t control = SE_SELF_RELATIVE;
    if (daclPresent) control |= SE_DACL_PRESENT;
    set16(b, 2, control);
    if (owner && !owner->bytes.empty()) {
        set32(b, 4, static_cast<std::uint32_t>(b.size()));
        b.insert(b.end(), owner->bytes.begin(), owner->bytes.end());
    }
    if (daclPresent && dacl) {
        while (b.size() % 4) b.push_back(0);
        set32(b, 16, static_cast<std::uint32_t>(b.size()));
        const Acl acl = layout::buildAcl(*dacl);
        b.insert(b.end(), acl.bytes.begin(), acl.bytes.end());
    }
    return d;
}

namespace layout {

std::size_t sidLength(const std::uint8_t* data, std::size_t size) {
    if (!data || size < 8 || data[0] != 1 || data[1] > 15) return 0;
    const std::size_t length = 8 + 4 * static_cast<std::size_t>(data[1]);
    return length <= size ? length : 0;
}

Sid makeSid(std::uint64_t authority, const std::vector<std::uint32_t>& subAuthorities) {
    Sid sid;
    sid.bytes.push_back(1);
    sid.bytes.push_back(static_cast<std::uint8_t>(subAuthorities.size()));
    for (int k = 5; k >= 0; --k) sid.bytes.push_back(static_cast<std::uint8_t>(authority >> (8 * k)));
    for (std::uint32_t s : subAuthorities) put32(sid.bytes, s);
    return sid;
}

Acl buildAcl(const std::vector<Ace>& aces) {
    Acl acl;
    std::vector<std::uint8_t>& b = acl.bytes;
    b.assign(kAclHeader, 0);
    b[0] = 2;
    for (const Ace& ace : aces) {
        const std::size_t start = b.size();
        b.push_back(ace.type);
        b.push_back(ace.flags);
        put16(b, 0);  // size, set below
        put32(b, ace.mask);
        if (hasObjectGuids(ace.type)) put32(b, 0);  // no object GUIDs
        b.insert(b.end(), ace.sid.bytes.begin(), ace.sid.bytes.end());
        while ((b.size() - start) % 4) b.push_back(0);
        set16(b, start + 2, static_cast<std::uint16_t>(b.size() - start));
    }
    set16(b, 2, static_cast<std::uint16_t>(b.size()));
    set16(b, 4, static_cast<std::uint16_t>(aces.size()));
    return acl;
}

WinError descriptorDacl(const SecurityDescriptor& descriptor, bool& present, bool& isNull, Acl& acl) {
    present = false;
    isNull = false;
    acl.bytes.clear();
    const std::vector<std::uint8_t>& b = descriptor.bytes;
    if (b.size() < kDescriptorHeader || b[0] != 1) return ERROR_INVALID_SECURITY_DESCR_;
    const std::uint16_t control = read16(&b[2]);
    if (!(control & SE_SELF_RELATIVE)) return ERROR_INVALID_SECURITY_DESCR_;
    if (!(control & SE_DACL_PRESENT)) return ERROR_SUCCESS_;
    present = true;
    const std::uint32_t offset = read32(&b[16]);
    if (offset == 0) {
        isNull = true;
        return ERROR_SUCCESS_;
    }
    if (offset > b.size() || b.size() - offset < kAclHeader) return ERROR_INVALID_SECURITY_DESCR_;
    const std::uint16_t size = read16(&b[offset + 2]);
    if (size < kAclHeader || size > b.size() - offset) return ERROR_INVALID_SECURITY_DESCR_;
    acl.bytes.assign(b.begin() + offset, b.begin() + offset + size);
    return ERROR_SUCCESS_;
}

WinError aceCount(const Acl& acl, std::uint32_t& count) {
    count = 0;
    const std::vector<std::uint8_t>& b = acl.bytes;
    if (b.size() < kAclHeader || read16(&b[2]) > b.size()) return ERROR_INVALID_ACL_;
    count = read16(&b[4]);
    return ERROR_SUCCESS_;
}

WinError aceAt(const Acl& acl, std::uint32_t index, Ace& out) {
    out = Ace{};
    std::uint32_t count = 0;
    if (aceCount(acl, count) != ERROR_SUCCESS_) return ERROR_INVALID_ACL_;
    if (index >= count) return ERROR_INVALID_PARAMETER_;
    const std::vector<std::uint8_t>& b = acl.bytes;
    const std::size_t end = read16(&b[2]);
    std::size_t at = kAclHeader;
    for (std::uint32_t i = 0;; ++i) {
        if (end - at < kAceHeader) return ERROR_INVALID_ACL_;
        const std::size_t size = read16(&b[at + 2]);
        if (size < kAceHeader || size > end - at) return ERROR_INVALID_ACL_;
        if (i == index) {
            const std::uint8_t* ace = &b[at];
            out.type = ace[0];
            out.flags = ace[1];
            if (size < kAceHeader + 4) return ERROR_SUCCESS_;
            out.mask = read32(ace + 4);
            std::size_t sidAt = 8;
            if (hasObjectGuids(out.type)) {
                if (size < 12) return ERROR_SUCCESS_;
                const std::uint32_t objectFlags = read32(ace + 8);
                sidAt = 12;
                if (objectFlags & ACE_OBJECT_TYPE_PRESENT) sidAt += 16;
                if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT) sidAt += 16;
            }
            if (sidAt < size) {
                const std::size_t n = sidLength(ace + sidAt, size - sidAt);
                if (n) out.sid.bytes.assign(ace + sidAt, ace + sidAt + n);
            }
            return ERROR_SUCCESS_;
        }
        at += size;
    }
}

}  // namespace layout

}  // namespace platform::security
