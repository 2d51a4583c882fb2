// The agent's transfers: the TLS choice comes from the agent settings table.
#include "agent/server/http_client.h"

#include "agent/server/table_data.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "platform/files.h"
#include "platform/fs.h"

namespace {

HttpTlsOptions agentTlsOptions() {
    HttpTlsOptions tls;
    tls.verifyPeerOff = ProtocolFlag() == 1;
    if (auto caFile = GetAgentSetting("ServerCACertFile")) tls.caFile = *caFile;
    return tls;
}

}  // namespace

int HttpGetToBuffer(const std::string& url, ResponseBuffer& response, HttpRequestKind kind) {
    return HttpGetToBufferWith(url, response, agentTlsOptions(), AgentHttpMessages(), {}, kind);
}

int HttpGetToBufferCancellable(const std::string& url, ResponseBuffer& response,
                               const std::function<bool()>& cancelled) {
    return HttpGetToBufferWith(url, response, agentTlsOptions(), AgentHttpMessages(), cancelled);
}

int HttpGetToFile(const std::string& url, const std::string& filePath) {
    return HttpGetToFileWith(url, filePath, agentTlsOptions());
}

int HttpGetToStream(const std::string& url, std::FILE* file, std::int64_t maxBytes, long totalSeconds) {
    return HttpGetToStreamWith(url, file, agentTlsOptions(), maxBytes, totalSeconds);
}

int HttpUploadFile(const std::string& url, const std::string& filePath) {
    return HttpUploadFileWith(url, filePath, agentTlsOptions());
}

void WarnIfHttpsUnpinned() {
    if (ProtocolFlag() == 1 && GetAgentSetting("ServerCACertFile").value_or("").empty())
        LogError("%s", kUnpinnedHttpsWarning);
}

bool FetchTableDataAnswered(const std::string& url, bool* emptyAnswer) {
    long error = 0;
    std::unique_ptr<std::FILE, platform::FileCloser> file(platform::openTemporaryFile(&error));
    ResponseBuffer response;
    std::int64_t size = 0;
    if (file) {
        if (HttpGetToOpenFileWith(url, file.get(), &size, agentTlsOptions(), AgentHttpMessages(),
                                  HttpRequestKind::TableDump) != 0)
            return false;
    } else {
        // Without a temporary file the answer is held in memory, as a
        // small answer would be anyway.
        LogError("\n Unable to create a temporary file for the answer of %s (error %ld); reading it into memory",
                 url.c_str(), error);
        if (HttpGetToBuffer(url, response, HttpRequestKind::TableDump) != 0) return false;
        size = response.length();
    }
    if (emptyAnswer) *emptyAnswer = size == 0;
    if (size == 0) return true;
    LogInfo("\n Got response of size %d", static_cast<int>(size));
    if (file) LoadServerTableDataFromFile(file.get());
    else LoadServerTableData(response.data.c_str(), response.length());
    return true;
}

void FetchTableData(const std::string& url) { FetchTableDataAnswered(url, nullptr); }
