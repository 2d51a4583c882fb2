// An HTTP(S) server on 127.0.0.1 for the client and protocol tests: it runs
// in the test process on a free port and keeps the targets it was asked for.
#pragma once

#include <curl/curl.h>
#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <arpa/inet.h>
#include <sched.h>
#include <sys/mount.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/server/http_client.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "tests/support/log_capture.h"

class LocalServer {
public:
    // An HTTP server, or an HTTPS one with the given certificate and key.
    explicit LocalServer(const std::string& certFile = {}, const std::string& keyFile = {}) {
        if (certFile.empty())
            server_ = std::make_unique<httplib::Server>();
        else
            server_ = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
        // Recorded before the handler answers, so a client that has its
        // answer always finds its request in the list.
        server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            std::lock_guard<std::mutex> guard(lock_);
            targets_.push_back(req.target);
            return httplib::Server::HandlerResponse::Unhandled;
        });
    }
    ~LocalServer() { stop(); }

    httplib::Server& http() { return *server_; }

    // Binds a free port (the socket listens at once) and serves on a thread.
    int start() {
        port_ = server_->bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        // stop() only reaches a server whose accept loop runs.
        while (!server_->is_running()) std::this_thread::yield();
        return port_;
    }
    void stop() {
        if (thread_.joinable()) {
            server_->stop();
            thread_.join();
        }
    }
    int port() const { return port_; }
    std::string url(const std::string& path, const char* scheme = "http") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> targets() {
        std::lock_guard<std::mutex> guard(lock_);
        return targets_;
    }

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = -1;
    std::mutex lock_;
    std::vector<std::string> targets_;
};

// A port on which nothing listens (bound once, then released).
inline int UnusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// Points the agent settings at a local server and quiets libcurl's trace.
inline void UseLocalServer(int port, const char* protocol = "http") {
    ResetAgentSettings();
    PutAgentSetting("ServerProtocol", protocol);
    PutAgentSetting("ServerIPAddress", "127.0.0.1");
    PutAgentSetting("ServerPort", std::to_string(port));
    SetProtocolFlag();
    HttpTransferLimits limits;
    limits.verbose = false;
    SetHttpTransferLimits(limits);
    SetServerStatus(kServerUp);
}

// A scratch directory removed at the end of the test.
struct ScratchDir {
    std::filesystem::path path;
    explicit ScratchDir(const std::string& name) {
        path = std::filesystem::temp_directory_path() /
               (name + "-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand()));
        std::filesystem::create_directories(path);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

// Captures the log into a memory stream for the test's duration.

inline std::string ReadWholeFile(const std::string& path) {
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

// A throw-away self-signed certificate for 127.0.0.1.
struct TestCertificate {
    ScratchDir dir{"http-tls"};
    std::string cert = dir.file("cert.pem");
    std::string key = dir.file("key.pem");
    bool made = false;
    // A subject of its own keeps a CA apart from the server's certificate
    // when OpenSSL looks an issuer up by name.
    explicit TestCertificate(const std::string& subject = "/CN=127.0.0.1") {
        const std::string command =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj '" + subject + "' "
            "-addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + cert +
            " >/dev/null 2>&1";
        made = std::system(command.c_str()) == 0;
    }
};

// Runs `body` on a thread of its own that sees, at libcurl's built-in CA
// folder, a folder trusting `caCert`: the system store as libcurl finds it,
// changed for that thread's private mount namespace alone, never for the
// machine. Needs root; returns why it could not when it could not.
inline std::string RunWithSystemCa(const std::string& caCert, const std::function<void()>& body) {
    std::string caPath;
    std::string caBundle;
    if (CURL* probe = curl_easy_init()) {
        char* path = nullptr;
        if (curl_easy_getinfo(probe, CURLINFO_CAPATH, &path) == CURLE_OK && path) caPath = path;
        if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &path) == CURLE_OK && path) caBundle = path;
        curl_easy_cleanup(probe);
    }
    if (caPath.empty()) return "libcurl has no built-in CA folder";
    // The folder holds the certificate under its subject hash, as c_rehash names it.
    unsigned long hash = 0;
    if (std::FILE* f = std::fopen(caCert.c_str(), "r")) {
        if (X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr)) {
            hash = X509_subject_name_hash(x);
            X509_free(x);
        }
        std::fclose(f);
    }
    ScratchDir store("system-ca");
    char name[16];
    std::snprintf(name, sizeof name, "%08lx.0", hash);
    std::filesystem::copy_file(caCert, store.file(name));
    // libcurl's built-in bundle, when it lies in that folder, holds it too.
    const std::filesystem::path bundle(caBundle);
    if (bundle.parent_path() == std::filesystem::path(caPath))
        std::filesystem::copy_file(caCert, store.file(bundle.filename().string()));
    std::string why;
    std::thread([&] {
        // The namespace is the thread's alone (CLONE_NEWNS unshares the
        // thread's file-system context); private propagation keeps the bind
        // mount from reaching the machine's namespace.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            why = std::string("no private mount namespace: ") + std::strerror(errno);
            return;
        }
        if (::mount(store.path.c_str(), caPath.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            why = "cannot bind a folder over " + caPath + ": " + std::strerror(errno);
            return;
        }
        body();
        ::umount2(caPath.c_str(), MNT_DETACH);
    }).join();
    return why;
}
