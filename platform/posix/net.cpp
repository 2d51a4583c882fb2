#include "platform/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace platform {

namespace {

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

}  // namespace

long localHostName(std::string* name) {
    if (!name) return kWsaInvalidArgument;
    char buffer[HOST_NAME_MAX + 2] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) return errno != 0 ? errno : kWsaInvalidArgument;
    *name = buffer;
    return 0;
}

long resolveIpv4(const std::string& hostName, std::vector<std::string>* addresses) {
    if (!addresses || hostName.empty()) return kWsaInvalidArgument;
    addresses->clear();
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
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    if (::inet_pton(AF_INET, ipText.c_str(), &sin.sin_addr) != 1) return kWsaInvalidArgument;
    char host[NI_MAXHOST] = {};
    int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&sin), sizeof sin, host, sizeof host,
                           nullptr, 0, NI_NAMEREQD);
    if (rc != 0) return resolverErrorToCode(rc);
    *hostName = host;
    return 0;
}

}  // namespace platform
