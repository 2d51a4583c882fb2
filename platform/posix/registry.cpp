// The registry as one text file in the .reg export format.
//
// Reads never lock: a write replaces the whole file with rename(), so a
// reader sees either the old or the new file. Writers serialise on an flock
// of a side file ("<file>.lock") and re-read the file under that lock, so two
// processes writing different values never lose each other's changes.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry_codec.h"
#include "platform/text.h"

namespace platform {

struct RegistryKeyHandle {
    std::string path;  // canonical: "HKEY_LOCAL_MACHINE\..." without trailing backslash
    RegistryAccess access = RegistryAccess::Read;
    std::vector<RegistryValue> values;  // as read when the key was opened or last written
};

namespace {

constexpr long kErrorDiskFull = 112;
constexpr long kErrorRegistryIoFailed = 1016;

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kOldHeader = "REGEDIT4";
constexpr const char* kDefaultRegistryFile = "/etc/orbisk/registry.reg";

enum class Encoding { Utf8, Utf8Bom, Utf16Le };

struct Section {
    std::string path;
    std::vector<RegistryValue> values;
    std::unordered_map<std::string, std::size_t> byName;  // lower-case name -> index in values
};

struct RegFile {
    bool exists = false;
    Encoding encoding = Encoding::Utf8;
    bool crlf = false;
    std::vector<Section> sections;
    std::unordered_map<std::string, std::size_t> byPath;  // lower-case path -> index in sections
};

std::mutex gErrorMutex;
std::string gLastError;

void setLastError(const std::string& text) {
    std::lock_guard<std::mutex> lock(gErrorMutex);
    gLastError = text;
}

std::string registryFile() {
    const char* env = std::getenv("ORBISK_REGISTRY");
    return (env && *env) ? std::string(env) : std::string(kDefaultRegistryFile);
}

long errnoToCode(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return kErrorFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case ENOSPC:
        case EDQUOT:
            return kErrorDiskFull;
        default:
            return kErrorRegistryIoFailed;
    }
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lowerAscii(c);
    return out;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string_view stripTrailingBackslashes(std::string_view s) {
    while (!s.empty() && s.back() == '\\') s.remove_suffix(1);
    return s;
}

const char* rootName(RegistryRoot root) {
    switch (root) {
        case RegistryRoot::LocalMachine:
            return "HKEY_LOCAL_MACHINE";
    }
    return "HKEY_LOCAL_MACHINE";
}

bool knownRoot(std::string_view path) {
    static const char* const roots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",
                                        "HKEY_CLASSES_ROOT",  "HKEY_USERS",
                                        "HKEY_CURRENT_CONFIG", "HKEY_PERFORMANCE_DATA",
                                        "HKEY_DYN_DATA"};
    std::string_view first = path.substr(0, path.find('\\'));
    for (const char* r : roots)
        if (equalsNoCase(first, r)) return true;
    return false;
}

// "HKEY_LOCAL_MACHINE\<path>" with the path's leading and trailing
// backslashes dropped; none when a component is empty ("a\\b").
std::optional<std::string> canonicalKey(RegistryRoot root, std::string_view path) {
    while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
    path = stripTrailingBackslashes(path);
    if (path.find("\\\\") != std::string_view::npos) return std::nullopt;
    std::string key = rootName(root);
    if (!path.empty()) {
        key += '\\';
        key += path;
    }
    return key;
}

// ---- parsing -------------------------------------------------------------

struct Parser {
    const std::string& fileName;
    std::vector<std::string_view> lines;
    std::size_t index = 0;  // next line to read
    std::string error;

    bool fail(std::size_t lineNumber, const std::string& what) {
        error = fileName + ": line " + std::to_string(lineNumber) + ": " + what;
        return false;
    }
};

// Reads a quoted text starting at s[pos] == '"'; \\ and \" are escapes, any
// other backslash is taken literally. pos ends after the closing quote.
bool parseQuoted(std::string_view s, std::size_t& pos, std::string* out) {
    out->clear();
    for (std::size_t i = pos + 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out->push_back(s[i + 1]);
            ++i;
        } else if (c == '"') {
            pos = i + 1;
            return true;
        } else {
            out->push_back(c);
        }
    }
    return false;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool parseHexNumber(std::string_view s, std::uint32_t* value, std::size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits) return false;
    std::uint32_t v = 0;
    for (char c : s) {
        int d = hexDigit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    *value = v;
    return true;
}

bool parseHexBytes(std::string_view list, std::string* out) {
    out->clear();
    list = trim(list);
    if (list.empty()) return true;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        std::string_view token =
            trim(list.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                    : comma - start));
        std::uint32_t byte = 0;
        if (!parseHexNumber(token, &byte, 2)) {
            // One trailing comma is tolerated, as hand edits leave them.
            if (token.empty() && comma == std::string_view::npos && !out->empty()) return true;
            return false;
        }
        out->push_back(static_cast<char>(byte));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return true;
}

void putValue(Section& section, RegistryValue value) {
    std::string key = lowered(value.name);
    auto it = section.byName.find(key);
    if (it != section.byName.end()) {
        RegistryValue& v = section.values[it->second];
        v.type = value.type;
        v.data = std::move(value.data);
        return;
    }
    section.byName.emplace(std::move(key), section.values.size());
    section.values.push_back(std::move(value));
}

void removeValue(Section& section, std::string_view name) {
    auto it = section.byName.find(lowered(name));
    if (it == section.byName.end()) return;
    section.values.erase(section.values.begin() + static_cast<std::ptrdiff_t>(it->second));
    section.byName.clear();
    for (std::size_t i = 0; i < section.values.size(); ++i) section.byName.emplace(lowered(section.values[i].name), i);
}

Section* findSection(RegFile& file, std::string_view path) {
    auto it = file.byPath.find(lowered(path));
    return it == file.byPath.end() ? nullptr : &file.sections[it->second];
}

Section& addSection(RegFile& file, std::string_view path) {
    if (Section* s = findSection(file, path)) return *s;
    file.byPath.emplace(lowered(path), file.sections.size());
    file.sections.push_back(Section{std::string(path), {}, {}});
    return file.sections.back();
}

bool keyExists(const RegFile& file, std::string_view path) {
    if (path.find('\\') == std::string_view::npos) return true;  // a root key
    for (const auto& s : file.sections) {
        if (equalsNoCase(s.path, path)) return true;
        if (s.path.size() > path.size() && startsWithNoCase(s.path, path) &&
            s.path[path.size()] == '\\')
            return true;
    }
    return false;
}

void deleteKeyTree(RegFile& file, std::string_view path) {
    std::vector<Section> kept;
    for (auto& s : file.sections) {
        bool inside = equalsNoCase(s.path, path) ||
                      (s.path.size() > path.size() && startsWithNoCase(s.path, path) &&
                       s.path[path.size()] == '\\');
        if (!inside) kept.push_back(std::move(s));
    }
    file.sections = std::move(kept);
    file.byPath.clear();
    for (std::size_t i = 0; i < file.sections.size(); ++i) file.byPath.emplace(lowered(file.sections[i].path), i);
}

// Parses one value line (with its continuation lines) into the section.
bool parseValueLine(Parser& p, std::size_t lineNumber, std::string_view line, Section* section) {
    if (!section) return p.fail(lineNumber, "value outside of a [key] section");
    std::string name;
    std::size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else if (!parseQuoted(line, pos, &name)) {
        return p.fail(lineNumber, "unterminated value name");
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return p.fail(lineNumber, "'=' expected after the value name");
    std::string_view rest = trim(line.substr(pos + 1));

    RegistryValue value;
    value.name = name;
    if (rest == "-") {
        removeValue(*section, name);
        return true;
    }
    if (!rest.empty() && rest.front() == '"') {
        std::size_t q = 0;
        if (!parseQuoted(rest, q, &value.data)) return p.fail(lineNumber, "unterminated string data");
        if (!trim(rest.substr(q)).empty()) return p.fail(lineNumber, "unexpected text after the string data");
        value.type = kRegSz;
        putValue(*section, std::move(value));
        return true;
    }
    if (startsWithNoCase(rest, "dword:")) {
        std::uint32_t number = 0;
        if (!parseHexNumber(trim(rest.substr(6)), &number, 8))
            return p.fail(lineNumber, "dword value needs up to 8 hexadecimal digits");
        value.type = kRegDword;
        value.data = dwordData(number);
        putValue(*section, std::move(value));
        return true;
    }
    if (startsWithNoCase(rest, "hex")) {
        std::string_view afterHex = rest.substr(3);
        std::uint32_t type = kRegBinary;
        if (!afterHex.empty() && afterHex.front() == '(') {
            std::size_t close = afterHex.find(')');
            if (close == std::string_view::npos || !parseHexNumber(afterHex.substr(1, close - 1), &type, 8))
                return p.fail(lineNumber, "malformed hex(type) prefix");
            afterHex.remove_prefix(close + 1);
        }
        if (afterHex.empty() || afterHex.front() != ':') return p.fail(lineNumber, "':' expected after hex");
        std::string list(afterHex.substr(1));
        // A trailing backslash continues the byte list on the next line.
        while (true) {
            std::string_view t = trim(list);
            if (t.empty() || t.back() != '\\') break;
            list.assign(t.substr(0, t.size() - 1));
            if (p.index >= p.lines.size()) return p.fail(lineNumber, "hex data continues past the end of the file");
            list += std::string(trim(p.lines[p.index++]));
        }
        std::string bytes;
        if (!parseHexBytes(list, &bytes)) return p.fail(lineNumber, "malformed hex byte list");
        value.type = type;
        value.data = registryDataFromUtf16(type, bytes);
        putValue(*section, std::move(value));
        return true;
    }
    return p.fail(lineNumber, "unrecognised value data");
}

bool parseText(Parser& p, std::string_view text, RegFile* file) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t nl = text.find('\n', start);
        std::string_view line = text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            file->crlf = true;
        }
        if (nl == std::string_view::npos) {
            if (!line.empty()) p.lines.push_back(line);  // no empty line after the last break
            break;
        }
        p.lines.push_back(line);
        start = nl + 1;
    }

    bool headerSeen = false;
    Section* current = nullptr;
    bool skipping = false;  // inside a [-key] deletion block
    while (p.index < p.lines.size()) {
        std::size_t lineNumber = p.index + 1;
        std::string_view line = trim(p.lines[p.index++]);
        if (line.empty() || line.front() == ';') continue;
        if (!headerSeen) {
            if (line != kHeader && line != kOldHeader)
                return p.fail(lineNumber, std::string("the first line must be \"") + kHeader + "\"");
            headerSeen = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') return p.fail(lineNumber, "unterminated [key] line");
            std::string_view inner = line.substr(1, line.size() - 2);
            bool remove = !inner.empty() && inner.front() == '-';
            if (remove) inner.remove_prefix(1);
            inner = stripTrailingBackslashes(trim(inner));
            if (inner.empty() || !knownRoot(inner)) return p.fail(lineNumber, "key path must begin with a root key such as HKEY_LOCAL_MACHINE");
            if (inner.find("\\\\") != std::string_view::npos) return p.fail(lineNumber, "empty key name in the path");
            if (remove) {
                deleteKeyTree(*file, inner);
                current = nullptr;
                skipping = true;
                continue;
            }
            skipping = false;
            current = &addSection(*file, inner);
            continue;
        }
        if (line.front() == '"' || line.front() == '@') {
            if (skipping) continue;
            if (!parseValueLine(p, lineNumber, line, current)) return false;
            continue;
        }
        return p.fail(lineNumber, "line is neither a [key] nor a value");
    }
    if (!headerSeen) return p.fail(1, std::string("the file does not begin with \"") + kHeader + "\"");
    return true;
}

// Reads and parses the registry file. 0 with file->exists false when there
// is no file; 1009 (and the error text) when it is malformed.
long loadFile(const std::string& path, RegFile* file) {
    *file = RegFile{};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return kErrorSuccess;
        int err = errno;
        setLastError(path + ": cannot be read: " + std::strerror(err));
        return errnoToCode(err) == kErrorFileNotFound ? kErrorFileNotFound : kErrorAccessDenied;
    }
    std::string bytes;
    char buffer[65536];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            setLastError(path + ": cannot be read: " + std::strerror(err));
            return kErrorAccessDenied;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    file->exists = true;

    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        file->encoding = Encoding::Utf16Le;
        bool even = true;
        text = utf16ToUtf8(utf16FromLittleEndian(std::string_view(bytes).substr(2), &even));
        if (!even) {
            setLastError(path + ": line 1: UTF-16 text ends in the middle of a character");
            return kErrorBadDatabase;
        }
    } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        file->encoding = Encoding::Utf8Bom;
        text = bytes.substr(3);
    } else {
        text = std::move(bytes);
    }
    if (text.find('\0') != std::string::npos) {
        std::size_t line = 1;
        for (char c : std::string_view(text).substr(0, text.find('\0')))
            if (c == '\n') ++line;
        setLastError(path + ": line " + std::to_string(line) +
                     ": NUL byte in the text (UTF-16 without a byte-order mark?)");
        return kErrorBadDatabase;
    }
    Parser parser{path, {}, 0, {}};
    if (!parseText(parser, text, file)) {
        setLastError(parser.error);
        file->sections.clear();
        return kErrorBadDatabase;
    }
    return kErrorSuccess;
}

// ---- writing -------------------------------------------------------------

std::string quote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// Characters that would end or break a quoted line of the file.
bool breaksLine(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

void appendHexValue(std::string& out, const std::string& prefix, const std::string& bytes,
                    const char* nl) {
    static const char digits[] = "0123456789abcdef";
    std::string line = prefix;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        std::string token{digits[b >> 4], digits[b & 15]};
        if (i + 1 < bytes.size()) token.push_back(',');
        if (i > 0 && line.size() + token.size() > 77) {
            out += line + "\\" + nl;
            line = "  ";
        }
        line += token;
    }
    out += line + nl;
}

void appendValue(std::string& out, const RegistryValue& v, const char* nl) {
    std::string prefix = v.name.empty() ? std::string("@") : quote(v.name);
    prefix += "=";
    switch (v.type) {
        case kRegSz:
            if (!breaksLine(v.data)) {
                out += prefix + quote(v.data) + nl;
            } else {
                // Line breaks and NULs cannot stand in a quoted string.
                appendHexValue(out, prefix + "hex(1):", registryDataToUtf16(kRegSz, v.data), nl);
            }
            return;
        case kRegDword:
            if (v.data.size() == 4) {
                char text[16];
                std::snprintf(text, sizeof text, "dword:%08x", dwordValue(v.data));
                out += prefix + text + nl;
                return;
            }
            break;
        case kRegExpandSz:
            appendHexValue(out, prefix + "hex(2):", registryDataToUtf16(kRegExpandSz, v.data), nl);
            return;
        case kRegMultiSz:
            appendHexValue(out, prefix + "hex(7):", registryDataToUtf16(kRegMultiSz, v.data), nl);
            return;
        case kRegBinary:
            appendHexValue(out, prefix + "hex:", v.data, nl);
            return;
        default:
            break;
    }
    char typeText[24];
    std::snprintf(typeText, sizeof typeText, "hex(%x):", v.type);
    appendHexValue(out, prefix + typeText, v.data, nl);
}

std::string serialise(const RegFile& file) {
    const char* nl = file.crlf ? "\r\n" : "\n";
    std::string text = std::string(kHeader) + nl + nl;
    for (const auto& s : file.sections) {
        text += "[" + s.path + "]" + nl;
        for (const auto& v : s.values) appendValue(text, v, nl);
        text += nl;
    }
    switch (file.encoding) {
        case Encoding::Utf16Le:
            return std::string("\xFF\xFE", 2) + utf16ToLittleEndian(utf8ToUtf16(text));
        case Encoding::Utf8Bom:
            return "\xEF\xBB\xBF" + text;
        case Encoding::Utf8:
            break;
    }
    return text;
}

struct FileDescriptor {
    int fd = -1;
    explicit FileDescriptor(int f) : fd(f) {}
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
};

long makeDirectories(const std::string& dir) {
    if (dir.empty()) return kErrorSuccess;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kErrorSuccess : kErrorAccessDenied;
    std::size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        long rc = makeDirectories(dir.substr(0, slash));
        if (rc != kErrorSuccess) return rc;
    }
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return errnoToCode(errno);
    return kErrorSuccess;
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces the file's content atomically: a temporary file in the same
// folder, flushed to disk, then renamed over the old one.
long replaceFile(const std::string& path, const std::string& content) {
    std::string tmpl = path + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return errnoToCode(errno);
    FileDescriptor tmp(fd);
    mode_t mode = 0640;  // a new registry file: root writes, its group reads
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
    if (!writeAll(fd, content) || ::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
        int err = errno;
        ::unlink(name.data());
        return errnoToCode(err);
    }
    if (::rename(name.data(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(name.data());
        return errnoToCode(err);
    }
    // The rename itself reaches the disk with the folder's entry.
    std::size_t slash = path.find_last_of('/');
    FileDescriptor folder(::open(slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1).c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd >= 0) ::fsync(folder.fd);
    return kErrorSuccess;
}

// The file a write replaces: an administrator's symbolic link stays a link
// and its target gets the new content.
std::string writeTarget(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string target = real;
    std::free(real);
    return target;
}

// Runs one change of the registry under the writers' lock: re-reads the
// file, lets change() modify it and writes it back when change() says so.
// A malformed file is never overwritten.
long modifyFile(const std::function<long(RegFile&, bool& dirty)>& change, RegFile* result) {
    const std::string path = registryFile();
    std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) {
        long rc = makeDirectories(path.substr(0, slash));
        if (rc != kErrorSuccess) {
            setLastError(path + ": cannot create its folder");
            return rc;
        }
    }
    FileDescriptor lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640));
    if (lock.fd < 0) {
        int err = errno;
        setLastError(path + ".lock: cannot be opened: " + std::strerror(err));
        return errnoToCode(err);
    }
    while (::flock(lock.fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            int err = errno;
            setLastError(path + ".lock: cannot be locked: " + std::strerror(err));
            return errnoToCode(err);
        }
    }
    long rc = loadFile(path, result);
    if (rc != kErrorSuccess) return rc;
    bool dirty = false;
    rc = change(*result, dirty);
    if (rc != kErrorSuccess || !dirty) return rc;
    rc = replaceFile(writeTarget(path), serialise(*result));
    if (rc != kErrorSuccess) setLastError(path + ": cannot be written");
    return rc;
}

void closeKey(RegistryKeyHandle* handle) { delete handle; }

RegistryKey makeKey(std::string path, RegistryAccess access, std::vector<RegistryValue> values) {
    RegistryKey key(new RegistryKeyHandle{std::move(path), access, std::move(values)}, &closeKey);
    return key;
}

std::vector<RegistryValue> valuesOf(RegFile& file, std::string_view path) {
    Section* s = findSection(file, path);
    return s ? s->values : std::vector<RegistryValue>{};
}

std::size_t storedSize(const RegistryValue& v) { return v.data.size() + (isRegistryTextType(v.type) ? 1 : 0); }

}  // namespace

long regOpenKey(RegistryRoot root, const std::string& path, RegistryAccess access, RegistryKey* key) {
    if (!key) return kErrorInvalidParameter;
    auto canonical = canonicalKey(root, path);
    if (!canonical) return kErrorFileNotFound;
    RegFile file;
    long rc = loadFile(registryFile(), &file);
    if (rc != kErrorSuccess) return rc;
    if (!file.exists || !keyExists(file, *canonical)) return kErrorFileNotFound;
    *key = makeKey(*canonical, access, valuesOf(file, *canonical));
    return kErrorSuccess;
}

long regCreateKey(RegistryRoot root, const std::string& path, RegistryKey* key, bool* created) {
    auto canonical = canonicalKey(root, path);
    if (!canonical) return kErrorInvalidParameter;
    bool made = false;
    RegFile file;
    long rc = modifyFile(
        [&](RegFile& f, bool& dirty) {
            if (keyExists(f, *canonical) && f.exists) return kErrorSuccess;
            addSection(f, *canonical);
            made = dirty = true;
            return kErrorSuccess;
        },
        &file);
    if (rc != kErrorSuccess) return rc;
    if (created) *created = made;
    if (key) *key = makeKey(*canonical, RegistryAccess::AllAccess, valuesOf(file, *canonical));
    return kErrorSuccess;
}

long regQueryValueCount(const RegistryKey& key, std::uint32_t* count) {
    if (!key) return kErrorInvalidHandle;
    if (!count) return kErrorInvalidParameter;
    *count = static_cast<std::uint32_t>(key->values.size());
    return kErrorSuccess;
}

long regEnumValue(const RegistryKey& key, std::uint32_t index, RegistryValue* value,
                  std::size_t nameCapacity, std::size_t dataCapacity) {
    if (!key) return kErrorInvalidHandle;
    if (!value) return kErrorInvalidParameter;
    if (index >= key->values.size()) return kErrorNoMoreItems;
    const RegistryValue& v = key->values[index];
    if (v.name.size() + 1 > nameCapacity || storedSize(v) > dataCapacity) return kErrorMoreData;
    *value = v;
    return kErrorSuccess;
}

long regQueryValue(const RegistryKey& key, const std::string& name, RegistryValue* value) {
    if (!key) return kErrorInvalidHandle;
    for (const auto& v : key->values) {
        if (equalsNoCase(v.name, name)) {
            if (value) *value = v;
            return kErrorSuccess;
        }
    }
    return kErrorFileNotFound;
}

long regSetValue(const RegistryKey& key, const std::string& name, std::uint32_t type,
                 const std::string& data) {
    if (!key) return kErrorInvalidHandle;
    if (key->access != RegistryAccess::AllAccess) return kErrorAccessDenied;
    // A line break or NUL in a name cannot be written in the file's format.
    for (char c : name)
        if (c == '\n' || c == '\r' || c == '\0') return kErrorInvalidParameter;
    const std::string path = key->path;
    RegFile file;
    long rc = modifyFile(
        [&](RegFile& f, bool& dirty) {
            // A key only implied by its subkeys, or removed by another
            // process meanwhile, gets its own section.
            putValue(addSection(f, path), RegistryValue{name, type, data});
            dirty = true;
            return kErrorSuccess;
        },
        &file);
    if (rc != kErrorSuccess) return rc;
    key->values = valuesOf(file, path);
    return kErrorSuccess;
}

std::string lastRegistryError() {
    std::lock_guard<std::mutex> lock(gErrorMutex);
    return gLastError;
}

std::string registryLocation() { return registryFile(); }

}  // namespace platform
