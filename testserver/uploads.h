// Keeps every upload: the zip as received, its entries unpacked beside it,
// and each decoded into JSON lines; one summary line per upload goes to
// <root>/uploads.jsonl.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace testserver {

class UploadStore {
public:
    explicit UploadStore(std::string root);
    // Stores one upload and sets its summary line (JSON, without "\n").
    // Nothing is overwritten: every upload gets its own sequence number.
    // False when the zip itself could not be written: the caller then fails
    // the request so that the sender keeps its files.
    bool store(const std::string& upfileName, const std::string& filenameField, const std::string& bytes,
               const std::string& receivedAt, std::string& summary);
    // The newest event time (milliseconds since 1970) that stored uploads
    // carried for each host, by host id; the server answers it as the host's
    // LAST_MSG_TIME, as the real server keeps what it has received.
    std::map<std::string, std::int64_t> newestEventMillis() const;

private:
    std::string root_;
    mutable std::mutex mutex_;
    int next_ = 1;
    std::map<std::string, std::int64_t> newestEventMillis_;
};

// A file name safe to create inside a folder: the last path component of
// name (after "/" or "\"), with every byte outside [A-Za-z0-9._-] replaced by
// "_"; "" and names made of dots give fallback.
std::string safeBaseName(const std::string& name, const std::string& fallback);

}  // namespace testserver
