// Name service over the Berkeley socket calls that both systems have; on
// Windows the socket library is started once and errors are its own codes.
#include "platform/net.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace platform {

namespace {

#if defined(_WIN32)
long startSockets() {
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        WSADATA data;
        result = WSAStartup(MAKEWORD(2, 2), &data);
    });
    return result;
}
long resolverErrorToCode(int rc) { return rc; }  // getaddrinfo answers WSA codes
long lastSocketError() { return WSAGetLastError(); }
constexpr std::size_t kHostNameRoom = 256;
#else
long startSockets() { return 0; }
long lastSocketError() { return errno != 0 ? errno : kWsaInvalidArgument; }
constexpr std::size_t kHostNameRoom = HOST_NAME_MAX + 2;

long resolverErrorToCode(int rc) {
    switch (rc) {
        case EAI_NONAME:
            return kWsaHostNotFound;
        case EAI_AGAIN:
            return kWsaTryAgain;
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
        case EAI_ADDRFAMILY:
            return kWsaNoData;
        case EAI_SYSTEM:
            return errno != 0 ? errno : kWsaNoRecovery;
        default:
            return kWsaNoRecovery;
    }
}
#endif

}  // namespace

long localHostName(std::string* name) {
    if (!name) return kWsaInvalidArgument;
    if (long rc = startSockets(); rc != 0) return rc;
    char buffer[kHostNameRoom] = {};
    if (::gethostname(buffer, static_cast<int>(sizeof buffer - 1)) != 0) return lastSocketError();
    *name = buffer;
    return 0;
}

long resolveIpv4(const std::string& hostName, std::vector<std::string>* addresses) {
    if (!addresses || hostName.empty()) return kWsaInvalidArgument;
    addresses->clear();
    if (long rc = startSockets(); rc != 0) return rc;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = ::getaddrinfo(hostName.c_str(), nullptr, &hints, &result);
    if (rc != 0) return resolverErrorToCode(rc);
    for (addrinfo* ai = result; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr) continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        if (!::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) continue;
        if (std::find(addresses->begin(), addresses->end(), text) == addresses->end())
            addresses->push_back(text);
    }
    ::freeaddrinfo(result);
    return addresses->empty() ? kWsaNoData : 0;
}

long reverseLookup(const std::string& ipText, std::string* hostName) {
    if (!hostName) return kWsaInvalidArgument;
    if (long rc = startSockets(); rc != 0) return rc;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    if (::inet_pton(AF_INET, ipText.c_str(), &sin.sin_addr) != 1) return kWsaInvalidArgument;
    char host[NI_MAXHOST] = {};
    int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&sin), static_cast<socklen_t>(sizeof sin), host, static_cast<socklen_t>(sizeof host),
                           nullptr, 0, NI_NAMEREQD);
    if (rc != 0) return resolverErrorToCode(rc);
    *hostName = host;
    return 0;
}

}  // namespace platform
