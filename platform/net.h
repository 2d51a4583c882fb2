// Name service: the local host name and forward and reverse look-ups, with
// Windows Sockets error codes on failure (11001 host not found, 11002 try
// again, 11003 unrecoverable, 11004 no address, 10022 invalid argument).
#pragma once

#include <string>
#include <vector>

namespace platform {

constexpr long kWsaInvalidArgument = 10022;  // WSAEINVAL
constexpr long kWsaHostNotFound = 11001;     // WSAHOST_NOT_FOUND
constexpr long kWsaTryAgain = 11002;         // WSATRY_AGAIN
constexpr long kWsaNoRecovery = 11003;       // WSANO_RECOVERY
constexpr long kWsaNoData = 11004;           // WSANO_DATA

// The local machine's host name.
long localHostName(std::string* name);
// Every IPv4 address of the name, in dotted form, in the resolver's order
// (each address once).
long resolveIpv4(const std::string& hostName, std::vector<std::string>* addresses);
// The host name registered for a dotted IPv4 address.
long reverseLookup(const std::string& ipText, std::string* hostName);

}  // namespace platform
