// WMI access for the event collection and the file attribute queries.
//
// The operations follow the COM calls one to one (CoInitializeEx,
// CoInitializeSecurity, the locator's ConnectServer, CoSetProxyBlanket,
// ExecQuery, the enumerator's Next, the object's Get) and answer with the real
// HRESULT values, so the caller's ladder of retries and its status table are
// the same code on every system.
//
// Objects are owned by std::unique_ptr: dropping one releases the COM object.
// Texts cross this interface as UTF-8 std::string in both directions; the
// Windows backend converts to and from UTF-16 (BSTR) at the call.
//
// Windows backend (win32/wmi.cpp): the real COM interfaces.
// POSIX backend (posix/wmi*.cpp): simulated hosts. A root folder holds one
// folder per host, named by its DNS name in lower case, with host.xml (what
// Win32_OperatingSystem answers, the accepted account, faults to reproduce) and
// the host's event logs as Windows event XML (*.xml) or EVTX (*.evtx) files,
// read again at every query, in name order, events in file order. "." and the
// agent's own host name are the local host. CIM_DataFile and CIM_Directory are
// answered from the local file system through the drive map of
// platform/volumes.h (by default drive C is /).
//
//   <host version="10.0.17763" currentTimeZone="60">     Win32_OperatingSystem
//     <account user="CORP\admin" password="secret"/>    absent: any account
//     <fault step="connect" hresult="0x80070005" count="1"/>
//     <fault step="next" hresult="0x40004" count="3" after="0"/>
//     <delay ms="700"/>                                   time each object takes
//   </host>
//
// Fault steps: connect, blanket, query (event and file queries), version (the
// Win32_OperatingSystem query), next. Without count a fault answers every
// call; with it the first `count` calls (next: of each enumerator, once
// `after` objects have come). A missing host folder is RPC_S_SERVER_UNAVAILABLE,
// a wrong account E_ACCESSDENIED, an account on a local connection
// WBEM_E_LOCAL_CREDENTIALS, a malformed host.xml WBEM_E_FAILED; a folder
// without host.xml accepts any account. Queries other than the event queries
// ("Select * from Win32_NTLogEvent" with or without "where TimeGenerated >
// 'dmtf'"), "Select CurrentTimeZone, Version from Win32_OperatingSystem" and
// "SELECT * FROM CIM_DataFile|CIM_Directory where Name ='path'" are
// WBEM_E_INVALID_QUERY.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::wmi {

// ---------------------------------------------------------------- results

using HResult = std::int32_t;

constexpr HResult hresult(std::uint32_t bits) { return static_cast<HResult>(bits); }
constexpr bool succeeded(HResult hr) { return hr >= 0; }
constexpr bool failed(HResult hr) { return hr < 0; }

constexpr HResult S_OK_ = 0;
constexpr HResult WBEM_S_NO_ERROR = 0;
constexpr HResult WBEM_S_FALSE = 1;
constexpr HResult WBEM_S_TIMEDOUT = 0x40004;
constexpr HResult S_FALSE_ = 1;

constexpr HResult E_FAIL_ = hresult(0x80004005);
constexpr HResult E_INVALIDARG_ = hresult(0x80070057);
constexpr HResult E_OUTOFMEMORY_ = hresult(0x8007000E);
constexpr HResult E_ACCESSDENIED_ = hresult(0x80070005);
constexpr HResult CO_E_NOTINITIALIZED_ = hresult(0x800401F0);      // COM not initialised on the thread
constexpr HResult RPC_E_TOO_LATE_ = hresult(0x80010119);          // security already initialised
constexpr HResult RPC_S_SERVER_UNAVAILABLE_HR = hresult(0x800706BA);  // host cannot be reached
constexpr HResult WBEM_E_FAILED = hresult(0x80041001);
constexpr HResult WBEM_E_NOT_FOUND = hresult(0x80041002);
constexpr HResult WBEM_E_ACCESS_DENIED = hresult(0x80041003);
constexpr HResult WBEM_E_PROVIDER_FAILURE = hresult(0x80041004);
constexpr HResult WBEM_E_TYPE_MISMATCH = hresult(0x80041005);
constexpr HResult WBEM_E_OUT_OF_MEMORY = hresult(0x80041006);
constexpr HResult WBEM_E_INVALID_CONTEXT = hresult(0x80041007);
constexpr HResult WBEM_E_INVALID_PARAMETER = hresult(0x80041008);
constexpr HResult WBEM_E_NOT_AVAILABLE = hresult(0x80041009);
constexpr HResult WBEM_E_NOT_SUPPORTED = hresult(0x8004100C);
constexpr HResult WBEM_E_INVALID_NAMESPACE = hresult(0x8004100E);
constexpr HResult WBEM_E_INVALID_OBJECT = hresult(0x8004100F);
constexpr HResult WBEM_E_INVALID_CLASS = hresult(0x80041010);
constexpr HResult WBEM_E_TRANSPORT_FAILURE = hresult(0x80041015);
constexpr HResult WBEM_E_INVALID_QUERY = hresult(0x80041017);
constexpr HResult WBEM_E_INVALID_QUERY_TYPE = hresult(0x80041018);
constexpr HResult WBEM_E_INVALID_SYNTAX = hresult(0x80041021);
constexpr HResult WBEM_E_TOO_MUCH_DATA = hresult(0x80041044);
constexpr HResult WBEM_E_SERVER_TOO_BUSY = hresult(0x80041045);
constexpr HResult WBEM_E_INVALID_OPERATOR = hresult(0x80041063);
constexpr HResult WBEM_E_LOCAL_CREDENTIALS = hresult(0x80041064);
constexpr HResult WBEM_E_TIMED_OUT = hresult(0x80041069);
constexpr HResult WBEM_E_CONNECTION_FAILED = hresult(0x80041071);

// ---------------------------------------------------------------- call constants

// CoInitializeSecurity / CoSetProxyBlanket authentication levels.
constexpr std::uint32_t RPC_C_AUTHN_LEVEL_DEFAULT_ = 0;
constexpr std::uint32_t RPC_C_AUTHN_LEVEL_NONE_ = 1;
constexpr std::uint32_t RPC_C_AUTHN_LEVEL_CONNECT_ = 2;
constexpr std::uint32_t RPC_C_AUTHN_LEVEL_CALL_ = 3;
constexpr std::uint32_t RPC_C_AUTHN_LEVEL_PKT_ = 4;
// Impersonation levels.
constexpr std::uint32_t RPC_C_IMP_LEVEL_IDENTIFY_ = 2;
constexpr std::uint32_t RPC_C_IMP_LEVEL_IMPERSONATE_ = 3;
// Authentication services.
constexpr std::uint32_t RPC_C_AUTHN_DEFAULT_ = 0xFFFFFFFFu;
constexpr std::uint32_t RPC_C_AUTHN_WINNT_ = 10;  // NTLM

// ExecQuery flags.
constexpr std::int32_t WBEM_FLAG_RETURN_IMMEDIATELY = 0x10;
constexpr std::int32_t WBEM_FLAG_FORWARD_ONLY = 0x20;
// ConnectServer flag.
constexpr std::int32_t WBEM_FLAG_CONNECT_USE_MAX_WAIT = 0x80;
// Next time-out that waits without limit.
constexpr std::int32_t WBEM_INFINITE = -1;

// ---------------------------------------------------------------- values

// A property value as Get returns it. Numbers of every width are `integer`;
// 64-bit unsigned WMI properties (FileSize) come as text, as on Windows;
// date-times are DMTF texts ("yyyymmddHHMMSS.ffffff+ooo").
struct Variant {
    enum class Type { Null, Boolean, Integer, Text, TextArray, Bytes };
    Type type = Type::Null;
    bool boolean = false;
    std::int64_t integer = 0;
    std::string text;                 // UTF-8
    std::vector<std::string> texts;   // UTF-8, in order
    std::vector<std::uint8_t> bytes;

    bool isNull() const { return type == Type::Null; }
};

// The identity a proxy blanket carries (COAUTHIDENTITY with the ANSI flag).
struct AuthIdentity {
    std::string user;
    std::string domain;
    std::string password;
};

// Arguments of CoSetProxyBlanket: no authorisation service, no principal, no
// capabilities. `identity` null means the process's own identity.
struct ProxyBlanket {
    std::uint32_t authnService = RPC_C_AUTHN_WINNT_;
    std::uint32_t authnLevel = RPC_C_AUTHN_LEVEL_CALL_;
    std::uint32_t impLevel = RPC_C_IMP_LEVEL_IMPERSONATE_;
    const AuthIdentity* identity = nullptr;
};

// ---------------------------------------------------------------- objects

// One result object (IWbemClassObject).
class Object {
public:
    virtual ~Object() = default;
    // Reads a property. An unknown name is WBEM_E_NOT_FOUND and leaves `out` null.
    virtual HResult get(const std::string& name, Variant& out) const = 0;
};
using ObjectPtr = std::unique_ptr<Object>;

// The result of a query (IEnumWbemClassObject), read forward one object at a time.
class Enumerator {
public:
    virtual ~Enumerator() = default;
    virtual HResult setProxyBlanket(const ProxyBlanket& blanket) = 0;
    // Waits up to timeoutMillis (WBEM_INFINITE: without limit) for the next
    // object. WBEM_S_NO_ERROR with an object; WBEM_S_FALSE at the end;
    // WBEM_S_TIMEDOUT when nothing came in time; a failure code otherwise.
    // `out` is null unless an object came back.
    virtual HResult next(std::int32_t timeoutMillis, ObjectPtr& out) = 0;
};
using EnumeratorPtr = std::unique_ptr<Enumerator>;

// A connection to one namespace of one host (IWbemServices).
class Services {
public:
    virtual ~Services() = default;
    virtual HResult setProxyBlanket(const ProxyBlanket& blanket) = 0;
    // language is "WQL"; flags as WBEM_FLAG_*. `out` is null on failure.
    virtual HResult execQuery(const std::string& language, const std::string& query,
                              std::int32_t flags, EnumeratorPtr& out) = 0;
};
using ServicesPtr = std::unique_ptr<Services>;

// The WMI locator (IWbemLocator).
class Locator {
public:
    virtual ~Locator() = default;
    // namespacePath: "//./root/cimv2", "//HOST/root/cimv2", "\\\\HOST\\root\\cimv2"
    // or "ROOT\\CIMV2" (the local host). user is "DOMAIN\\user"; an empty user
    // and password connect with the caller's own identity (NULL on Windows).
    // authority empty = none. `out` is null on failure.
    virtual HResult connectServer(const std::string& namespacePath, const std::string& user,
                                  const std::string& password, const std::string& authority,
                                  std::int32_t flags, ServicesPtr& out) = 0;
};
using LocatorPtr = std::unique_ptr<Locator>;

// ---------------------------------------------------------------- entry points

// CoInitializeEx(multithreaded) for the calling thread; each success is
// matched by one uninitializeCom on the same thread.
HResult initializeCom();
void uninitializeCom();
// CoInitializeSecurity with default authentication services, the given levels
// and no capabilities. RPC_E_TOO_LATE_ when it has already been done.
HResult initializeSecurity(std::uint32_t authnLevel, std::uint32_t impLevel);
// CoCreateInstance of the WMI locator (in-process, local and remote server).
HResult createLocator(LocatorPtr& out);

// ---------------------------------------------------------------- simulated hosts

// The POSIX backend's folder of simulated hosts (the agent passes the REG_SZ
// value WmiHostsDir, or its install directory + "wmi-hosts/"). Until it is
// set, "wmi-hosts" beside the current directory ("../wmi-hosts/") is used.
// The Windows backend ignores both settings.
void setHostsRoot(const std::string& directory);
std::string hostsRoot();
// The agent's own host name: with "." it names the local host (default: the
// machine's own name).
void setLocalHostName(const std::string& name);

// Where the POSIX backend tells what went wrong with a simulated host (a
// malformed host.xml, an unreadable log file, a damaged record): each message
// is one line, begins with "\n " and is handed to the sink (default: standard
// error; null: dropped). The agent passes its error log writer.
using DiagnosticSink = void (*)(const char* message);
void setDiagnosticSink(DiagnosticSink sink);
// The last such message on the calling thread ("" when none).
std::string lastDiagnostic();

}  // namespace platform::wmi
