// The answers of simulated WMI hosts written out once, for the test WMI
// provider that serves them to the Windows programs under wine
// (wmi-fixture-dump writes such a file from a folder of simulated hosts, the
// provider reads it). One UTF-8 text, one item a line:
//   host NAME                    a host, by its DNS name in lower case
//   account USER PASSWORD        the one account it accepts (absent: any)
//   delay MS                     how long each object takes to come
//   object CLASS                 an object of CLASS follows
//   p NAME CIMTYPE VALUE         one of its properties
// VALUE is "null", "=text" for a scalar, or a count and as many "=text" for
// an array (CIMTYPE ends in "[]"). Numbers are decimal texts. Texts escape
// '%', blanks and control characters as %XX (two hex digits).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace wmifixture {

struct Property {
    std::string name;
    std::string cimType;  // "uint16", "string", "datetime", "string[]", ...
    bool null = true;
    std::vector<std::string> values;  // one for a scalar
};

struct Object {
    std::string className;
    std::vector<Property> properties;
};

struct Host {
    std::string name;
    bool hasAccount = false;
    std::string user, password;
    int delayMs = 0;
    std::vector<Object> objects;
};

inline std::string escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c <= ' ' || c == '%' || c == 0x7F) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

inline bool unescape(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        auto digit = [](char c) {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            return -1;
        };
        const int high = digit(text[i + 1]), low = digit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high << 4 | low);
        i += 2;
    }
    return true;
}

inline std::string format(const std::vector<Host>& hosts) {
    std::string out;
    for (const Host& h : hosts) {
        out += "host " + escape(h.name) + "\n";
        if (h.hasAccount) out += "account =" + escape(h.user) + " =" + escape(h.password) + "\n";
        if (h.delayMs > 0) out += "delay " + std::to_string(h.delayMs) + "\n";
        for (const Object& o : h.objects) {
            out += "object " + o.className + "\n";
            for (const Property& p : o.properties) {
                out += "p " + p.name + " " + p.cimType;
                const bool array = p.cimType.size() > 2 && p.cimType.compare(p.cimType.size() - 2, 2, "[]") == 0;
                if (p.null) {
                    out += " null";
                } else {
                    if (array) out += " " + std::to_string(p.values.size());
                    for (const std::string& v : p.values) out += " =" + escape(v);
                }
                out += "\n";
            }
        }
    }
    return out;
}

// Reads a whole file's text; false, with the line and reason in *error, when
// a line is not one of the forms above.
inline bool parse(const std::string& text, std::vector<Host>& hosts, std::string* error = nullptr) {
    hosts.clear();
    std::size_t lineNumber = 0;
    auto fail = [&](const char* why) {
        if (error) *error = "line " + std::to_string(lineNumber) + ": " + why;
        return false;
    };
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> words;
        for (std::size_t i = 0; i < line.size();) {
            const std::size_t next = line.find(' ', i);
            words.push_back(line.substr(i, next == std::string::npos ? std::string::npos : next - i));
            if (next == std::string::npos) break;
            i = next + 1;
        }
        if (words.empty() || words[0].empty()) continue;
        auto value = [](const std::string& word, std::string& out) {
            return !word.empty() && word[0] == '=' && unescape(word.substr(1), out);
        };
        if (words[0] == "host") {
            if (words.size() != 2) return fail("host needs a name");
            hosts.emplace_back();
            if (!unescape(words[1], hosts.back().name)) return fail("bad host name");
            continue;
        }
        if (hosts.empty()) return fail("an item before the first host");
        Host& host = hosts.back();
        if (words[0] == "account") {
            if (words.size() != 3 || !value(words[1], host.user) || !value(words[2], host.password))
                return fail("account needs =user and =password");
            host.hasAccount = true;
        } else if (words[0] == "delay") {
            if (words.size() != 2) return fail("delay needs milliseconds");
            host.delayMs = std::atoi(words[1].c_str());
        } else if (words[0] == "object") {
            if (words.size() != 2) return fail("object needs a class");
            host.objects.push_back(Object{words[1], {}});
        } else if (words[0] == "p") {
            if (host.objects.empty()) return fail("a property before the first object");
            if (words.size() < 4) return fail("p needs a name, a type and a value");
            Property p;
            p.name = words[1];
            p.cimType = words[2];
            const bool array = p.cimType.size() > 2 && p.cimType.compare(p.cimType.size() - 2, 2, "[]") == 0;
            if (words.size() == 4 && words[3] == "null") {
                p.null = true;
            } else {
                p.null = false;
                std::size_t first = 3;
                if (array) {
                    const std::size_t count = std::strtoul(words[3].c_str(), nullptr, 10);
                    if (words.size() != 4 + count) return fail("the array's count does not match its values");
                    first = 4;
                } else if (words.size() != 4) {
                    return fail("a scalar has one value");
                }
                for (std::size_t i = first; i < words.size(); ++i) {
                    p.values.emplace_back();
                    if (!value(words[i], p.values.back())) return fail("bad value");
                }
            }
            host.objects.back().properties.push_back(std::move(p));
        } else {
            return fail("unknown item");
        }
    }
    return true;
}

}  // namespace wmifixture
