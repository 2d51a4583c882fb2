// The agent's HTTP client: GET into memory, GET into a file, multipart upload
// of a file and GET of table data, over libcurl's easy interface.
//
// Results are 0 on success and 1 on failure; a transfer succeeds only when it
// completed and the server answered 200. Every transfer has its own handle, a
// 10 s connect time-out, a low-speed abort (no byte for 120 s) and a total
// time limit fitting the request's kind (HttpTransferLimits), so a server that
// never answers, or answers a byte now and then, cannot hold a thread for ever.
// Total limits are clock time: on an accelerated clock they shrink with it,
// but never below 5 s of real time (or the limit itself if shorter).
//
// The process-wide server status flag is 1 (up) or 2 (down): a GET into
// memory that completes sets it to 1 whatever the HTTP status, one that cannot
// connect (libcurl code 7) sets it to 2, every other failure leaves it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

// The body of one GET into memory. std::string keeps a zero byte after the
// data, so data.c_str() can be read as text; nothing arrived when it is empty.
struct ResponseBuffer {
    std::string data;
    std::int32_t length() const { return static_cast<std::int32_t>(data.size()); }
};

inline std::unique_ptr<ResponseBuffer> NewResponseBuffer() {
    return std::make_unique<ResponseBuffer>();
}
inline void FreeResponseBuffer(std::unique_ptr<ResponseBuffer> buffer) { buffer.reset(); }

// Server status flag.
inline constexpr std::int32_t kServerUp = 1;
inline constexpr std::int32_t kServerDown = 2;
std::int32_t ServerStatus();
void SetServerStatus(std::int32_t status);
inline bool ServerIsUp() { return ServerStatus() == kServerUp; }

// libcurl's global initialisation with all features, and its clean-up.
bool HttpGlobalInit();
void HttpGlobalCleanup();

// What a GET into memory asks for, which chooses its total time limit.
enum class HttpRequestKind {
    Control,     // a line or two: registration, status reports, version, facility
    TableDump,   // an XML table dump: host lists, filters, updates, monitor requests
    StopReport,  // ServiceStop, sent at the end of the 20 s stop
};

// The agent's transfers. TLS: the REG_SZ setting ServerCACertFile, when set,
// turns peer verification on against that CA file; otherwise protocol flag 1
// turns peer verification off.
[[nodiscard]] int HttpGetToBuffer(const std::string& url, ResponseBuffer& response,
                                  HttpRequestKind kind = HttpRequestKind::Control);
[[nodiscard]] int HttpGetToFile(const std::string& url, const std::string& filePath);
[[nodiscard]] int HttpUploadFile(const std::string& url, const std::string& filePath);
// GET into a file the caller has opened (and closes): a body larger than
// maxBytes, or a transfer longer than totalSeconds, fails (0 = no limit).
[[nodiscard]] int HttpGetToStream(const std::string& url, std::FILE* file, std::int64_t maxBytes,
                                  long totalSeconds);
// As HttpGetToBuffer; the transfer is abandoned (libcurl code 42, flag
// unchanged) within about a second once cancelled() answers true. For
// requests that a stop must be able to cut short, such as registration.
[[nodiscard]] int HttpGetToBufferCancellable(const std::string& url, ResponseBuffer& response,
                                             const std::function<bool()>& cancelled);
// Logs kUnpinnedHttpsWarning when the protocol is https and ServerCACertFile
// is not set: the server's certificate is then not verified at all.
void WarnIfHttpsUnpinned();
inline constexpr const char* kUnpinnedHttpsWarning =
    "\n Warning: ServerProtocol is https but ServerCACertFile is not set; the server's certificate is not "
    "verified";
// GET of a table dump: the body goes into a temporary file (never whole into
// memory) and a non-empty 200 body from there to the table-data loader.
void FetchTableData(const std::string& url);
// The same, answering whether the server answered 200; *emptyAnswer tells
// an empty body (an answer without rows).
bool FetchTableDataAnswered(const std::string& url, bool* emptyAnswer);

// Limits applied to every transfer. Tests shorten them; the defaults are the
// agent's.
struct HttpTransferLimits {
    long connectTimeoutSeconds = 10;
    long lowSpeedTimeSeconds = 120;       // abort when slower than lowSpeedBytesPerSecond this long
    long lowSpeedBytesPerSecond = 1;
    std::size_t maxResponseBytes = 256u << 20;  // a larger body fails the GET (libcurl code 23)
    // Total time limits in seconds by kind (libcurl code 28 when reached).
    long controlTotalSeconds = 10;
    long tableDumpTotalSeconds = 120;
    long stopReportTotalSeconds = 2;  // the stop gives its transfers 18 s of its 20
    long uploadTotalSeconds = 600;    // on the transfer worker, which the stop does not wait for
    bool verbose = true;                  // libcurl's trace on the standard error stream
};
void SetHttpTransferLimits(const HttpTransferLimits& limits);
HttpTransferLimits CurrentHttpTransferLimits();

// The building blocks, for a program that has no agent settings table (the
// status tool): TLS choice and message set are given by the caller.
struct HttpTlsOptions {
    bool verifyPeerOff = false;
    std::string caFile;  // when set, verification is on against this file
};
struct HttpGetMessages {
    void (*write)(const char* format, ...);          // writer of the failure messages
    void (*writeStatus)(const char* format, ...);    // writer of the status-code line
    const char* curlError;   // code, error text
    const char* serverDown;
    const char* statusCode;  // url, status
    const char* badStatus;   // status
};
// The agent's message set.
const HttpGetMessages& AgentHttpMessages();
[[nodiscard]] int HttpGetToBufferWith(const std::string& url, ResponseBuffer& response,
                                      const HttpTlsOptions& tls, const HttpGetMessages& messages,
                                      const std::function<bool()>& cancelled = {},
                                      HttpRequestKind kind = HttpRequestKind::Control);
// As HttpGetToBufferWith (messages, flag, total limit, the 256 MiB cap),
// but the body goes into an open file, flushed at the end; *size is the
// number of body bytes written.
[[nodiscard]] int HttpGetToOpenFileWith(const std::string& url, std::FILE* file, std::int64_t* size,
                                        const HttpTlsOptions& tls, const HttpGetMessages& messages,
                                        HttpRequestKind kind);
[[nodiscard]] int HttpGetToFileWith(const std::string& url, const std::string& filePath,
                                    const HttpTlsOptions& tls);
[[nodiscard]] int HttpGetToStreamWith(const std::string& url, std::FILE* file, const HttpTlsOptions& tls,
                                      std::int64_t maxBytes = 0, long totalSeconds = 0);
[[nodiscard]] int HttpUploadFileWith(const std::string& url, const std::string& filePath,
                                     const HttpTlsOptions& tls);
