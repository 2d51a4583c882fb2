#include "platform/service.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

std::mutex g_lock;
std::function<void(std::uint32_t)> g_handler;
ServiceStatus g_lastStatus;

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// Sends one datagram to systemd's notify socket, when there is one.
void notifySystemd(const std::string& message) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || path[0] == '\0') return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::size_t len = std::strlen(path);
    if (len >= sizeof(addr.sun_path)) return;
    std::memcpy(addr.sun_path, path, len);
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    socklen_t addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&addr), addrLen);
    ::close(fd);
}

}  // namespace

void blockStopSignals() {
    sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

long startServiceCtrlDispatcher(const std::string& /*serviceName*/,
                                const std::function<void()>& serviceMain) {
    blockStopSignals();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        serviceMain();
        done.store(true);
    });
    sigset_t set = stopSignals();
    timespec step{0, 100 * 1000 * 1000};
    while (!done.load()) {
        int sig = sigtimedwait(&set, nullptr, &step);
        if (sig != SIGTERM && sig != SIGINT) continue;
        std::function<void(std::uint32_t)> handler;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            handler = g_handler;
        }
        // The control handler runs on a thread of its own, as the service
        // manager's calls do, so that a second signal is still taken.
        if (handler) std::thread([handler] { handler(kServiceControlStop); }).detach();
    }
    worker.join();
    return 0;
}

long registerServiceCtrlHandler(const std::string& /*serviceName*/,
                                std::function<void(std::uint32_t)> handler) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_handler = std::move(handler);
    g_lastStatus = ServiceStatus{};  // a new run reports afresh
    return 0;
}

bool setServiceStatus(const ServiceStatus& status) {
    {
        // None after "stopped": a late report of the handler is dropped.
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_lastStatus.currentState == kServiceStopped && g_handler) return true;
        g_lastStatus = status;
    }
    switch (status.currentState) {
        case kServiceRunning:
            notifySystemd("READY=1\nSTATUS=running");
            break;
        case kServiceStopPending:
            notifySystemd("STOPPING=1\nSTATUS=stop pending");
            break;
        case kServiceStopped:
            notifySystemd("STATUS=stopped");
            break;
        default:
            notifySystemd("STATUS=start pending");
            break;
    }
    return true;
}

void watchConsoleStop(std::function<void()> onStop) {
    std::thread([onStop = std::move(onStop)] {
        sigset_t set = stopSignals();
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (sig == SIGTERM || sig == SIGINT) {
                onStop();
                return;
            }
        }
    }).detach();
}

ServiceStatus lastServiceStatus() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_lastStatus;
}

}  // namespace platform
