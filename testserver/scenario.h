// A scenario: the folder of files from which the test server answers, with
// an in-memory overlay that the control interface writes so that a test can
// swap a file without touching the folder (which may be shared).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace testserver {

class Scenario {
public:
    explicit Scenario(std::string folder);

    const std::string& folder() const { return folder_; }
    // The file's bytes: the overlay's copy when set, else the folder's file.
    // Names are bare file names; anything with a path separator or "..",
    // or an empty name, reads as absent.
    std::optional<std::string> readFile(const std::string& name) const;
    bool setOverlay(const std::string& name, std::string content);
    bool clearOverlay(const std::string& name);
    void clearAllOverlays();

    // A value of scenario.conf ("key = value" lines, # comments), read anew
    // at every call so that a swapped scenario.conf takes effect at once.
    std::optional<std::string> setting(const std::string& key) const;
    std::string setting(const std::string& key, const std::string& fallback) const;

private:
    std::string folder_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> overlay_;
};

bool isSafeFileName(const std::string& name);

// Keeps, of a table dump, the row elements that belong to one host: an
// element that carries a HOST_ID or HOSTID attribute (any letter case) with
// another value is dropped, every other element stays. An unparsable
// document gives nullopt.
std::optional<std::string> keepRowsOfHost(const std::string& xml, const std::string& hostId);

// Moves the LAST_MSG_TIME attribute (milliseconds since 1970) of every
// element that carries one and a HOST_ID (any letter case) on to the newest
// event time the server holds for that host, when that is newer; older or
// unknown hosts keep the document's own value. The text comes back as it was
// when nothing is newer; nullopt when it does not parse.
std::optional<std::string> withNewerLastMessageTimes(const std::string& xml,
                                                     const std::map<std::string, std::int64_t>& newestMillis);

// The attributes of every element named table (any letter case), in
// document order; nullopt when the document does not parse.
std::optional<std::vector<std::map<std::string, std::string>>> rowsOfTable(const std::string& xml,
                                                                           const std::string& table);

// "key = value" settings of a text ("#" starts a comment line).
std::map<std::string, std::string> parseSettings(const std::string& text);

}  // namespace testserver
