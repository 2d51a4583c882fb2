// Shared pieces of the attribute tests: Windows paths of temporary folders
// and the database flag.
#pragma once

#include <cctype>
#include <filesystem>
#include <string>

#include "agent/settings/settings.h"
#include "platform/net.h"

inline std::string windowsPathOf(const std::filesystem::path& p) {
    std::string s = "c:" + p.string();
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

// "postgres" gives flag 2, "mssql" 1, anything else 0.
inline void useDatabaseFlag(int flag) {
    PutAgentSetting("ServerDBType", flag == 2 ? "postgres" : flag == 1 ? "mssql" : "firebird");
    SetDatabaseFlag();
}

inline std::string doubled(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\\') out += '\\';
    }
    return out;
}

inline std::string hostDomain() {
    std::string name;
    platform::localHostName(&name);
    name = name.substr(0, name.find('.'));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}
