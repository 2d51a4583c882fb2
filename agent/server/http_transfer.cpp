// The transfers themselves, independent of where the TLS choice and the
// message texts come from (the agent's settings table or the status tool's
// registry reads).
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "agent/server/http_client.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/private_files.h"

namespace {

std::atomic<std::int32_t> g_serverStatus{kServerUp};

std::mutex g_limitsLock;
HttpTransferLimits g_limits;

std::mutex g_globalInitLock;

std::mutex g_contactLock;
ServerContact g_contact;

void noteAnswered(long status) {
    std::lock_guard<std::mutex> guard(g_contactLock);
    g_contact.up = status == 200;
    if (status == 200) {
        g_contact.lastSuccess = platform::nowSeconds();
    } else {
        g_contact.lastFailure = platform::nowSeconds();
        g_contact.lastError = "HTTP status " + std::to_string(status);
    }
}

void noteTransferFailed(CURLcode code, const char* text) {
    if (code == CURLE_ABORTED_BY_CALLBACK) return;
    std::lock_guard<std::mutex> guard(g_contactLock);
    g_contact.up = false;
    g_contact.lastFailure = platform::nowSeconds();
    g_contact.lastError = "curl " + std::to_string(static_cast<int>(code)) + ": " + text;
}

using EasyHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

EasyHandle newEasyHandle() { return EasyHandle(curl_easy_init(), &curl_easy_cleanup); }

// What every transfer sets: the URL, the error buffer, TLS, time-outs.
// CURLOPT_NOSIGNAL keeps libcurl's time-outs from using signals, which a
// process with many threads must not.
void setCommonOptions(CURL* handle, const std::string& url, char* errorBuffer,
                      const HttpTlsOptions& tls, const HttpTransferLimits& limits) {
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeSeconds);
    if (!tls.caFile.empty()) {
        // The pinned file is the only trust anchor: libcurl's built-in CA
        // folder is cleared and no native store is asked, so a certificate
        // that only the system's CAs vouch for is refused. (Schannel has no
        // CA folder, and with CAINFO set it checks the chain against an
        // engine that trusts that file alone.)
        curl_easy_setopt(handle, CURLOPT_CAINFO, tls.caFile.c_str());
        curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, 0L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    } else if (tls.verifyPeerOff) {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    }
}

// A total limit of clock seconds as libcurl's real milliseconds: an
// accelerated clock shortens it, but not below what a request needs in real
// time on a busy machine.
long realMillis(long clockSeconds) {
    if (clockSeconds <= 0) return 0;
    const double millis = static_cast<double>(clockSeconds) * 1000.0 / platform::clockScale();
    // A loaded machine can take a few real seconds for a small answer, so a
    // sped-up clock shortens a limit to no less than 5 real seconds, or to the
    // limit itself where that is shorter.
    const long floorMillis = std::min(5000L, clockSeconds * 1000L);
    return std::max(floorMillis, static_cast<long>(millis));
}

void setTotalLimit(CURL* handle, long clockSeconds) {
    if (clockSeconds > 0) curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, realMillis(clockSeconds));
}

long totalSecondsFor(HttpRequestKind kind, const HttpTransferLimits& limits) {
    switch (kind) {
        case HttpRequestKind::TableDump: return limits.tableDumpTotalSeconds;
        case HttpRequestKind::StopReport: return limits.stopReportTotalSeconds;
        case HttpRequestKind::Control: break;
    }
    return limits.controlTotalSeconds;
}

struct AppendTarget {
    ResponseBuffer* response;
    std::size_t maxBytes;
};

// Appends one piece of the body. std::string grows geometrically, so a long
// body costs linear time; a body past the cap stops the transfer.
std::size_t appendToResponse(char* data, std::size_t size, std::size_t count, void* user) {
    auto* target = static_cast<AppendTarget*>(user);
    const std::size_t n = size * count;
    if (target->response->data.size() + n > target->maxBytes) return 0;
    target->response->data.append(data, n);
    return n;
}

struct FileTarget {
    std::FILE* file;
    std::int64_t maxBytes;  // 0 = no cap
    std::int64_t written = 0;
};

// A body past the cap, or a short write, stops the transfer.
std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* user) {
    auto* target = static_cast<FileTarget*>(user);
    const std::size_t n = size * count;
    if (target->maxBytes > 0 && target->written + static_cast<std::int64_t>(n) > target->maxBytes) return 0;
    target->written += static_cast<std::int64_t>(n);
    return std::fwrite(data, 1, n, target->file);
}

// libcurl calls this about once a second even when no byte moves.
int checkCancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancelled = static_cast<const std::function<bool()>*>(user);
    return (*cancelled)() ? 1 : 0;
}

long responseCode(CURL* handle) {
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

const char* errorText(const char* errorBuffer, CURLcode code) {
    return errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

ServerContact serverContact() {
    std::lock_guard<std::mutex> guard(g_contactLock);
    return g_contact;
}

std::int32_t ServerStatus() { return g_serverStatus.load(); }
void SetServerStatus(std::int32_t status) { g_serverStatus.store(status); }

bool HttpGlobalInit() {
    std::lock_guard<std::mutex> guard(g_globalInitLock);
    return curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
}

void HttpGlobalCleanup() {
    std::lock_guard<std::mutex> guard(g_globalInitLock);
    curl_global_cleanup();
}

void SetHttpTransferLimits(const HttpTransferLimits& limits) {
    std::lock_guard<std::mutex> guard(g_limitsLock);
    g_limits = limits;
}

HttpTransferLimits CurrentHttpTransferLimits() {
    std::lock_guard<std::mutex> guard(g_limitsLock);
    return g_limits;
}

const HttpGetMessages& AgentHttpMessages() {
    static const HttpGetMessages messages{
        &LogError, &LogInfo, " Curl Error: %d <--> %s", "\nSetting server status to down",
        "\n Http status code for url:%s is %ld", "\n Error <--> Got status: %ld"};
    return messages;
}

namespace {

// A GET into memory or into an open file: the same limits, messages and
// server status flag either way; only where the body goes differs.
int getWith(const std::string& url, const HttpTlsOptions& tls, const HttpGetMessages& messages,
            const std::function<bool()>& cancelled, HttpRequestKind kind, const HttpTransferLimits& limits,
            curl_write_callback write, void* target) {
    EasyHandle handle = newEasyHandle();
    if (!handle) {
        messages.write(messages.curlError, static_cast<int>(CURLE_FAILED_INIT),
                       curl_easy_strerror(CURLE_FAILED_INIT));
        return 1;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    setCommonOptions(handle.get(), url, errorBuffer, tls, limits);
    setTotalLimit(handle.get(), totalSecondsFor(kind, limits));
    curl_easy_setopt(handle.get(), CURLOPT_VERBOSE, limits.verbose ? 1L : 0L);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, target);
    if (cancelled) {
        curl_easy_setopt(handle.get(), CURLOPT_XFERINFOFUNCTION, &checkCancelled);
        curl_easy_setopt(handle.get(), CURLOPT_XFERINFODATA, &cancelled);
        curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L);
    }

    const CURLcode code = curl_easy_perform(handle.get());
    if (code != CURLE_OK) {
        noteTransferFailed(code, errorText(errorBuffer, code));
        messages.write(messages.curlError, static_cast<int>(code), errorText(errorBuffer, code));
        if (code == CURLE_COULDNT_CONNECT) {
            messages.write(messages.serverDown);
            SetServerStatus(kServerDown);
        }
        return 1;
    }
    SetServerStatus(kServerUp);
    const long status = responseCode(handle.get());
    noteAnswered(status);
    messages.writeStatus(messages.statusCode, url.c_str(), status);
    if (status == 200) return 0;
    messages.write(messages.badStatus, status);
    return 1;
}

}  // namespace

int HttpGetToBufferWith(const std::string& url, ResponseBuffer& response,
                        const HttpTlsOptions& tls, const HttpGetMessages& messages,
                        const std::function<bool()>& cancelled, HttpRequestKind kind) {
    const HttpTransferLimits limits = CurrentHttpTransferLimits();
    AppendTarget target{&response, limits.maxResponseBytes};
    return getWith(url, tls, messages, cancelled, kind, limits, &appendToResponse, &target);
}

int HttpGetToOpenFileWith(const std::string& url, std::FILE* file, std::int64_t* size,
                          const HttpTlsOptions& tls, const HttpGetMessages& messages, HttpRequestKind kind) {
    const HttpTransferLimits limits = CurrentHttpTransferLimits();
    FileTarget target{file, static_cast<std::int64_t>(limits.maxResponseBytes)};
    int result = getWith(url, tls, messages, {}, kind, limits, &writeToFile, &target);
    // A full disk shows here at the latest: the body is not all in the file.
    if (result == 0 && std::fflush(file) != 0) {
        LogError("\n Unable to write the answer of %s", url.c_str());
        result = 1;
    }
    if (size) *size = target.written;
    return result;
}

int HttpGetToFileWith(const std::string& url, const std::string& filePath,
                      const HttpTlsOptions& tls) {
    std::unique_ptr<std::FILE, FileCloser> file(platform::openRegularFile(filePath, "wb"));
    if (!file) {
        LogError("\n Unable to create the file %s for the download", filePath.c_str());
        return 1;
    }
    const int result = HttpGetToStreamWith(url, file.get(), tls);
    // A full disk shows here: the bytes are not all on disk, so the download failed.
    const bool closed = std::fclose(file.release()) == 0;
    if (result == 0 && !closed) {
        LogError("\n Unable to write the file %s", filePath.c_str());
        return 1;
    }
    return result;
}

int HttpGetToStreamWith(const std::string& url, std::FILE* file, const HttpTlsOptions& tls,
                        std::int64_t maxBytes, long totalSeconds) {
    const HttpTransferLimits limits = CurrentHttpTransferLimits();
    EasyHandle handle = newEasyHandle();
    if (!handle) {
        LogError("Curl Error: %d <--> %s", static_cast<int>(CURLE_FAILED_INIT),
                 curl_easy_strerror(CURLE_FAILED_INIT));
        return 1;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    FileTarget target{file, maxBytes};
    setCommonOptions(handle.get(), url, errorBuffer, tls, limits);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, &writeToFile);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &target);
    if (maxBytes > 0) curl_easy_setopt(handle.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
    if (totalSeconds > 0) curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, totalSeconds);

    const CURLcode code = curl_easy_perform(handle.get());
    const long status = responseCode(handle.get());
    LogInfo("\n Http status code for url:%s is %ld", url.c_str(), status);
    handle.reset();
    if (code != CURLE_OK) {
        noteTransferFailed(code, errorText(errorBuffer, code));
        LogError("Curl Error: %d <--> %s", static_cast<int>(code), errorText(errorBuffer, code));
        return 1;
    }
    noteAnswered(status);
    if (std::fflush(file) != 0) {
        LogError("\n Unable to write the download of %s", url.c_str());
        return 1;
    }
    if (status == 200) return 0;
    LogError("\n Error <--> Got status: %ld", status);
    return 1;
}

int HttpUploadFileWith(const std::string& url, const std::string& filePath,
                       const HttpTlsOptions& tls) {
    HttpGlobalInit();
    const HttpTransferLimits limits = CurrentHttpTransferLimits();
    EasyHandle handle = newEasyHandle();
    if (!handle) {
        std::printf("Curl Error: %d <--> %s", static_cast<int>(CURLE_FAILED_INIT),
                    curl_easy_strerror(CURLE_FAILED_INIT));
        LogError("\n Upload of %s failed: Curl Error: %d <--> %s", filePath.c_str(),
                 static_cast<int>(CURLE_FAILED_INIT), curl_easy_strerror(CURLE_FAILED_INIT));
        return 1;
    }
    // The form: "upfile" carries the file (its name and bytes), "filename"
    // the path text, "submit" the word "send".
    std::unique_ptr<curl_mime, decltype(&curl_mime_free)> form(curl_mime_init(handle.get()),
                                                               &curl_mime_free);
    curl_mimepart* part = curl_mime_addpart(form.get());
    curl_mime_name(part, "upfile");
    const CURLcode fileCode = curl_mime_filedata(part, filePath.c_str());
    if (fileCode != CURLE_OK) {
        std::printf("Curl Error: %d <--> %s: %s", static_cast<int>(fileCode),
                    curl_easy_strerror(fileCode), filePath.c_str());
        LogError("\n Upload of %s failed: Curl Error: %d <--> %s", filePath.c_str(), static_cast<int>(fileCode),
                 curl_easy_strerror(fileCode));
        return 1;
    }
    part = curl_mime_addpart(form.get());
    curl_mime_name(part, "filename");
    curl_mime_data(part, filePath.c_str(), CURL_ZERO_TERMINATED);
    part = curl_mime_addpart(form.get());
    curl_mime_name(part, "submit");
    curl_mime_data(part, "send", CURL_ZERO_TERMINATED);

    char errorBuffer[CURL_ERROR_SIZE] = {};
    setCommonOptions(handle.get(), url, errorBuffer, tls, limits);
    setTotalLimit(handle.get(), limits.uploadTotalSeconds);
    curl_easy_setopt(handle.get(), CURLOPT_MIMEPOST, form.get());
    curl_easy_setopt(handle.get(), CURLOPT_VERBOSE, limits.verbose ? 1L : 0L);

    const CURLcode code = curl_easy_perform(handle.get());
    const long status = responseCode(handle.get());
    LogInfo("\n Http status code for url:%s is %ld", url.c_str(), status);
    handle.reset();
    form.reset();
    if (code != CURLE_OK) {
        noteTransferFailed(code, errorText(errorBuffer, code));
        std::printf("Curl Error: %d <--> %s", static_cast<int>(code), errorText(errorBuffer, code));
        std::fflush(stdout);
        // The reason belongs in the agent's log too: a service's standard
        // output is seldom read.
        LogError("\n Upload of %s failed: Curl Error: %d <--> %s", filePath.c_str(), static_cast<int>(code),
                 errorText(errorBuffer, code));
        return 1;
    }
    noteAnswered(status);
    if (status == 200) return 0;
    LogError("\n Error <--> Got status: %ld", status);
    return 1;
}
