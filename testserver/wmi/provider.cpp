// A test-only WMI provider for the Windows programs under wine: an
// in-process COM server registered, in the build's own wine prefix only, as
// the InprocServer32 of the WMI locator class, so the agent's unchanged
// CoCreateInstance(CLSID_WbemLocator) reaches it. It is never shipped.
//
// Connections to the local namespace go on to wine's own locator
// (wbemprox.dll), so CIM_DataFile and Win32_OperatingSystem of the local
// machine stay wine's. Connections to any other host are answered from the
// file that AMBRIK_WMI_FIXTURE names (testserver/wmi/fixture.h; written by
// wmi-fixture-dump from a folder of simulated hosts), as Windows answers:
//   - an unknown host: RPC_S_SERVER_UNAVAILABLE (0x800706BA);
//   - a wrong account: E_ACCESSDENIED; a namespace other than root\cimv2:
//     WBEM_E_INVALID_NAMESPACE;
//   - a language other than WQL: WBEM_E_INVALID_QUERY_TYPE; a query other than
//     those of Win32_OperatingSystem and Win32_NTLogEvent (with or without
//     "where TimeGenerated > 'dmtf'"): WBEM_E_INVALID_QUERY;
//   - properties in the VARIANT types WMI hands to C++ clients (uint16,
//     uint32 and sint32 as VT_I4, sint16 as VT_I2, uint8 as VT_UI1, uint64
//     and datetime as VT_BSTR, arrays as SAFEARRAYs, absent values VT_NULL),
//     their CIM type in Get's pType;
//   - semi-synchronous enumeration: each object, and the end, comes the
//     host's delay after the one before (or the query); Next waits at most its time-out and then answers
//     WBEM_S_TIMEDOUT, and WBEM_S_FALSE at the end.
// Every object it hands out is counted: AmbrikWmiProviderLiveObjects() gives
// the number alive, and when the process ends one line "pid P live N" goes to
// the file AMBRIK_WMI_LEAK_LOG names, so a check can report leaks.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "testserver/wmi/fixture.h"

namespace {

std::atomic<long> g_live{0};   // provider objects alive
std::atomic<long> g_locks{0};  // IClassFactory::LockServer

constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BAu);

std::wstring widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string narrow(const wchar_t* text) {
    if (!text || !*text) return std::string();
    const int length = static_cast<int>(wcslen(text));
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
    return out;
}

bool equalsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string environment(const wchar_t* name) {
    const DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
    if (n == 0) return std::string();
    std::wstring value(n, L'\0');
    const DWORD got = GetEnvironmentVariableW(name, value.data(), n);
    value.resize(got < n ? got : 0);
    return narrow(value.c_str());
}

// "yyyymmddHHMMSS.ffffff+ooo" to microseconds since 1970 UTC.
bool parseDmtf(const std::string& text, std::int64_t& micros) {
    if (text.size() != 25 || text[14] != '.' || (text[21] != '+' && text[21] != '-')) return false;
    auto number = [&](std::size_t from, std::size_t count, std::int64_t& out) {
        out = 0;
        for (std::size_t i = from; i < from + count; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            out = out * 10 + (text[i] - '0');
        }
        return true;
    };
    std::int64_t y, mo, d, h, mi, s, f, off;
    if (!number(0, 4, y) || !number(4, 2, mo) || !number(6, 2, d) || !number(8, 2, h) || !number(10, 2, mi) ||
        !number(12, 2, s) || !number(15, 6, f) || !number(22, 3, off))
        return false;
    // Days from the civil date (proleptic Gregorian).
    y -= mo <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = era * 146097 + doe - 719468;
    const std::int64_t offsetMinutes = text[21] == '-' ? -off : off;
    micros = ((days * 86400 + h * 3600 + mi * 60 + s) - offsetMinutes * 60) * 1000000 + f;
    return true;
}

// The fixture as the last connection read it, read again when the file changes.
std::shared_ptr<const std::vector<wmifixture::Host>> loadFixture() {
    static std::mutex mutex;
    static std::shared_ptr<const std::vector<wmifixture::Host>> cached;
    static std::string cachedStamp;
    const std::string path = environment(L"AMBRIK_WMI_FIXTURE");
    if (path.empty()) return nullptr;
    const std::filesystem::path file(widen(path));
    std::error_code ec;
    const auto stamp = std::filesystem::last_write_time(file, ec);
    const auto size = std::filesystem::file_size(file, ec);
    if (ec) return nullptr;
    const std::string key = path + "|" + std::to_string(stamp.time_since_epoch().count()) + "|" +
                            std::to_string(size);
    std::lock_guard<std::mutex> lock(mutex);
    if (cached && key == cachedStamp) return cached;
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    auto hosts = std::make_shared<std::vector<wmifixture::Host>>();
    if (!wmifixture::parse(text, *hosts)) return nullptr;
    cached = hosts;
    cachedStamp = key;
    return cached;
}

// The shape of one reference-counted object of the provider.
template <class Self>
class Counted {
public:
    Counted() { ++g_live; }
    virtual ~Counted() { --g_live; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

protected:
    ULONG addRef() { return ++refs_; }
    ULONG release() {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> refs_{1};
};

#define AMBRIK_UNKNOWN_METHODS                                                                      \
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }                                  \
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

// The blanket calls a remote proxy takes (CoSetProxyBlanket goes through
// IClientSecurity). The values are kept for QueryBlanket.
class Blanket : public IClientSecurity {
public:
    HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD* authn, DWORD* authz, OLECHAR** principal,
                                           DWORD* level, DWORD* imp, void** identity, DWORD* caps) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (authn) *authn = authn_;
        if (authz) *authz = RPC_C_AUTHZ_NONE;
        if (principal) *principal = nullptr;
        if (level) *level = level_;
        if (imp) *imp = imp_;
        if (identity) *identity = identity_;
        if (caps) *caps = EOAC_NONE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authn, DWORD, OLECHAR*, DWORD level, DWORD imp,
                                         void* identity, DWORD) override {
        // An identity must be one of the two forms COM knows.
        if (identity) {
            const auto* id = static_cast<const COAUTHIDENTITY*>(identity);
            if (id->Flags != SEC_WINNT_AUTH_IDENTITY_ANSI && id->Flags != SEC_WINNT_AUTH_IDENTITY_UNICODE)
                return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        authn_ = authn;
        level_ = level;
        imp_ = imp;
        identity_ = identity;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown** copy) override {
        if (copy) *copy = nullptr;
        return E_NOTIMPL;
    }

private:
    std::mutex mutex_;
    DWORD authn_ = RPC_C_AUTHN_WINNT, level_ = RPC_C_AUTHN_LEVEL_DEFAULT, imp_ = RPC_C_IMP_LEVEL_IMPERSONATE;
    void* identity_ = nullptr;
};

// QueryInterface of an object whose main interface is Primary, and that
// takes the blanket calls too when it is a Blanket.
template <class Primary, class Self>
HRESULT queryInterface(Self* self, REFIID riid, REFIID primary, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (riid == IID_IUnknown || riid == primary)
        *out = static_cast<Primary*>(self);
    else if constexpr (std::is_base_of_v<IClientSecurity, Self>) {
        if (riid != IID_IClientSecurity) return E_NOINTERFACE;
        *out = static_cast<IClientSecurity*>(self);
    } else
        return E_NOINTERFACE;
    self->AddRef();
    return S_OK;
}

// ---------------------------------------------------------------- objects

struct TypeOf {
    VARTYPE vt;
    CIMTYPE cim;
};

TypeOf typeOf(const std::string& cimType) {
    const bool array = cimType.size() > 2 && cimType.compare(cimType.size() - 2, 2, "[]") == 0;
    const std::string base = array ? cimType.substr(0, cimType.size() - 2) : cimType;
    TypeOf t{VT_BSTR, CIM_STRING};
    if (base == "uint8") t = {VT_UI1, CIM_UINT8};
    else if (base == "sint8") t = {VT_I2, CIM_SINT8};
    else if (base == "uint16") t = {VT_I4, CIM_UINT16};
    else if (base == "sint16") t = {VT_I2, CIM_SINT16};
    else if (base == "uint32") t = {VT_I4, CIM_UINT32};
    else if (base == "sint32") t = {VT_I4, CIM_SINT32};
    else if (base == "uint64") t = {VT_BSTR, CIM_UINT64};
    else if (base == "sint64") t = {VT_BSTR, CIM_SINT64};
    else if (base == "boolean") t = {VT_BOOL, CIM_BOOLEAN};
    else if (base == "datetime") t = {VT_BSTR, CIM_DATETIME};
    if (array) {
        t.vt = static_cast<VARTYPE>(t.vt | VT_ARRAY);
        t.cim |= CIM_FLAG_ARRAY;
    }
    return t;
}

// One value in the variant type `vt` (not an array); false when it cannot be made.
bool scalar(VARTYPE vt, const std::string& text, VARIANT& out) {
    V_VT(&out) = vt;
    switch (vt) {
        case VT_UI1: V_UI1(&out) = static_cast<BYTE>(std::strtoul(text.c_str(), nullptr, 10)); return true;
        case VT_I2: V_I2(&out) = static_cast<SHORT>(std::strtol(text.c_str(), nullptr, 10)); return true;
        // uint32 comes as VT_I4 too: the bits of the unsigned value.
        case VT_I4:
            V_I4(&out) = static_cast<LONG>(static_cast<std::uint32_t>(std::strtoll(text.c_str(), nullptr, 10)));
            return true;
        case VT_BOOL: V_BOOL(&out) = text == "1" ? VARIANT_TRUE : VARIANT_FALSE; return true;
        default: {
            const std::wstring wide = widen(text);
            V_BSTR(&out) = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
            V_VT(&out) = VT_BSTR;
            return V_BSTR(&out) != nullptr;
        }
    }
}

HRESULT toVariant(const wmifixture::Property& p, VARIANT& out) {
    VariantInit(&out);
    const TypeOf t = typeOf(p.cimType);
    if (p.null) {
        V_VT(&out) = VT_NULL;
        return WBEM_S_NO_ERROR;
    }
    if (!(t.vt & VT_ARRAY)) {
        if (p.values.empty() || !scalar(t.vt, p.values[0], out)) return WBEM_E_OUT_OF_MEMORY;
        return WBEM_S_NO_ERROR;
    }
    const VARTYPE element = static_cast<VARTYPE>(t.vt & ~VT_ARRAY);
    SAFEARRAY* array = SafeArrayCreateVector(element, 0, static_cast<ULONG>(p.values.size()));
    if (!array) return WBEM_E_OUT_OF_MEMORY;
    for (LONG i = 0; i < static_cast<LONG>(p.values.size()); ++i) {
        VARIANT item;
        VariantInit(&item);
        if (!scalar(element, p.values[static_cast<std::size_t>(i)], item)) {
            SafeArrayDestroy(array);
            return WBEM_E_OUT_OF_MEMORY;
        }
        // SafeArrayPutElement copies: a BSTR is passed itself, other types by address.
        const HRESULT hr = element == VT_BSTR ? SafeArrayPutElement(array, &i, V_BSTR(&item))
                                              : SafeArrayPutElement(array, &i, &V_UI1(&item));
        VariantClear(&item);
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
    }
    V_VT(&out) = t.vt;
    V_ARRAY(&out) = array;
    return WBEM_S_NO_ERROR;
}

class ClassObject final : public IWbemClassObject, public Counted<ClassObject> {
public:
    ClassObject(std::shared_ptr<const std::vector<wmifixture::Host>> keep, const wmifixture::Object* object)
        : keep_(std::move(keep)), object_(object) {}
    AMBRIK_UNKNOWN_METHODS
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return queryInterface<IWbemClassObject>(this, riid, IID_IWbemClassObject, out);
    }
    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
        if (!name) return WBEM_E_INVALID_PARAMETER;
        const std::string wanted = narrow(name);
        for (const wmifixture::Property& p : object_->properties) {
            if (!equalsNoCase(p.name, wanted)) continue;
            if (type) *type = typeOf(p.cimType).cim;
            if (flavor) *flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
            return value ? toVariant(p, *value) : static_cast<HRESULT>(WBEM_S_NO_ERROR);
        }
        return WBEM_E_NOT_FOUND;
    }
    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT *, CIMTYPE) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT *, SAFEARRAY **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR *, VARIANT *, CIMTYPE *, LONG *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject **, IWbemClassObject **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject *, IWbemClassObject *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR *, IWbemClassObject **, IWbemClassObject **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR *) override { return WBEM_E_NOT_SUPPORTED; }

private:
    std::shared_ptr<const std::vector<wmifixture::Host>> keep_;
    const wmifixture::Object* object_;
};

// ---------------------------------------------------------------- enumerator

class EnumObjects final : public IEnumWbemClassObject, public Blanket, public Counted<EnumObjects> {
public:
    EnumObjects(std::shared_ptr<const std::vector<wmifixture::Host>> keep,
                std::vector<const wmifixture::Object*> objects, int delayMs)
        : keep_(std::move(keep)), objects_(std::move(objects)), delayMs_(delayMs),
          readyAt_(GetTickCount64() + static_cast<ULONGLONG>(delayMs)) {}
    AMBRIK_UNKNOWN_METHODS
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return queryInterface<IEnumWbemClassObject>(this, riid, IID_IEnumWbemClassObject, out);
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::mutex> lock(mutex_);
        next_ = 0;
        readyAt_ = GetTickCount64() + static_cast<ULONGLONG>(delayMs_);
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
        if (!objects || !returned || (timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE)))
            return WBEM_E_INVALID_PARAMETER;
        *returned = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        const ULONGLONG deadline = timeout == static_cast<LONG>(WBEM_INFINITE)
                                       ? ~0ull
                                       : GetTickCount64() + static_cast<ULONGLONG>(timeout);
        while (*returned < count) {
            const ULONGLONG now = GetTickCount64();
            if (now < readyAt_) {
                if (now >= deadline) return WBEM_S_TIMEDOUT;
                Sleep(static_cast<DWORD>((readyAt_ < deadline ? readyAt_ : deadline) - now));
                continue;
            }
            if (next_ >= objects_.size()) return WBEM_S_FALSE;
            objects[(*returned)++] = new ClassObject(keep_, objects_[next_++]);
            readyAt_ = GetTickCount64() + static_cast<ULONGLONG>(delayMs_);
        }
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** out) override {
        if (out) *out = nullptr;
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t left = objects_.size() - next_;
        next_ += count < left ? count : left;
        return count <= left ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

private:
    std::shared_ptr<const std::vector<wmifixture::Host>> keep_;
    std::vector<const wmifixture::Object*> objects_;
    int delayMs_;
    std::mutex mutex_;
    std::size_t next_ = 0;
    ULONGLONG readyAt_;  // when the next object (or the end) comes
};

// ---------------------------------------------------------------- services

// The WQL this provider understands: "select COLUMNS from CLASS" and, for
// Win32_NTLogEvent, "where TimeGenerated|TimeWritten >|>= 'dmtf'".
struct Query {
    std::string className;
    bool timed = false;
    bool orEqual = false;
    std::string timeProperty;
    std::int64_t afterMicros = 0;
};

bool parseQuery(const std::string& text, Query& q) {
    std::vector<std::string> t;
    std::vector<bool> literal;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (c == '\'' || c == '"') {
            const std::size_t end = text.find(c, i + 1);
            if (end == std::string::npos) return false;
            t.push_back(text.substr(i + 1, end - i - 1));
            literal.push_back(true);
            i = end + 1;
        } else if (c == '>' || c == '<' || c == '=' || c == ',') {
            std::size_t n = (c != ',' && i + 1 < text.size() && text[i + 1] == '=') ? 2 : 1;
            t.push_back(text.substr(i, n));
            literal.push_back(false);
            i += n;
        } else {
            std::size_t end = i;
            while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_' ||
                                         text[end] == '*'))
                ++end;
            if (end == i) return false;
            t.push_back(text.substr(i, end - i));
            literal.push_back(false);
            i = end;
        }
    }
    auto word = [&](std::size_t i, const char* w) { return i < t.size() && !literal[i] && equalsNoCase(t[i], w); };
    if (!word(0, "select")) return false;
    std::size_t i = 1;
    while (i < t.size() && !word(i, "from")) ++i;
    if (i == 1 || i + 1 >= t.size()) return false;
    q.className = t[i + 1];
    i += 2;
    if (equalsNoCase(q.className, "Win32_OperatingSystem")) return i == t.size();
    if (!equalsNoCase(q.className, "Win32_NTLogEvent")) return false;
    if (i == t.size()) return true;
    if (!word(i, "where") || i + 4 != t.size()) return false;
    if (!word(i + 1, "TimeGenerated") && !word(i + 1, "TimeWritten")) return false;
    if (t[i + 2] != ">" && t[i + 2] != ">=") return false;
    if (!literal[i + 3] || !parseDmtf(t[i + 3], q.afterMicros)) return false;
    q.timed = true;
    q.orEqual = t[i + 2] == ">=";
    q.timeProperty = t[i + 1];
    return true;
}

class Services final : public IWbemServices, public Blanket, public Counted<Services> {
public:
    Services(std::shared_ptr<const std::vector<wmifixture::Host>> keep, const wmifixture::Host* host)
        : keep_(std::move(keep)), host_(host) {}
    AMBRIK_UNKNOWN_METHODS
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return queryInterface<IWbemServices>(this, riid, IID_IWbemServices, out);
    }
    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG, IWbemContext*,
                                        IEnumWbemClassObject** out) override {
        if (!out) return WBEM_E_INVALID_PARAMETER;
        *out = nullptr;
        if (!language || !query) return WBEM_E_INVALID_PARAMETER;
        if (!equalsNoCase(narrow(language), "WQL")) return WBEM_E_INVALID_QUERY_TYPE;
        Query q;
        if (!parseQuery(narrow(query), q)) return WBEM_E_INVALID_QUERY;
        std::vector<const wmifixture::Object*> objects;
        for (const wmifixture::Object& o : host_->objects) {
            if (!equalsNoCase(o.className, q.className)) continue;
            if (q.timed && !after(o, q)) continue;
            objects.push_back(&o);
        }
        *out = new EnumObjects(keep_, std::move(objects), host_->delayMs);
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext *, IWbemServices **, IWbemCallResult **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext *, IWbemClassObject **, IWbemCallResult **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext *, IWbemObjectSink *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject *, LONG, IWbemContext *, IWbemCallResult **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject *, LONG, IWbemContext *, IWbemObjectSink *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext *, IWbemCallResult **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext *, IWbemObjectSink *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext *, IEnumWbemClassObject **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext *, IWbemObjectSink *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject *, LONG, IWbemContext *, IWbemCallResult **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject *, LONG, IWbemContext *, IWbemObjectSink *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext *, IWbemCallResult **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext *, IWbemObjectSink *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext *, IEnumWbemClassObject **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext *, IWbemObjectSink *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext *, IWbemObjectSink *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext *, IEnumWbemClassObject **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext *, IWbemObjectSink *) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext *, IWbemClassObject *, IWbemClassObject **, IWbemCallResult **) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext *, IWbemClassObject *, IWbemObjectSink *) override { return WBEM_E_NOT_SUPPORTED; }

private:
    static bool after(const wmifixture::Object& o, const Query& q) {
        for (const wmifixture::Property& p : o.properties) {
            if (!equalsNoCase(p.name, q.timeProperty)) continue;
            std::int64_t micros = 0;
            if (p.null || p.values.empty() || !parseDmtf(p.values[0], micros)) return false;
            return q.orEqual ? micros >= q.afterMicros : micros > q.afterMicros;
        }
        return false;
    }

    std::shared_ptr<const std::vector<wmifixture::Host>> keep_;
    const wmifixture::Host* host_;
};

// ---------------------------------------------------------------- locator

// Wine's own locator, for the local namespace.
HRESULT wineLocator(IWbemLocator** out) {
    static HMODULE module = LoadLibraryW(L"wbemprox.dll");
    if (!module) return REGDB_E_CLASSNOTREG;
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    const auto get = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (!get) return REGDB_E_CLASSNOTREG;
    IClassFactory* factory = nullptr;
    HRESULT hr = get(CLSID_WbemLocator, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(nullptr, IID_IWbemLocator, reinterpret_cast<void**>(out));
    factory->Release();
    return hr;
}

bool isLocal(const std::string& host) {
    if (host == "." || equalsNoCase(host, "localhost")) return true;
    for (COMPUTER_NAME_FORMAT format : {ComputerNameDnsHostname, ComputerNameDnsFullyQualified, ComputerNameNetBIOS}) {
        wchar_t name[256];
        DWORD size = 256;
        if (GetComputerNameExW(format, name, &size) && equalsNoCase(host, narrow(name))) return true;
    }
    return false;
}

class Locator final : public IWbemLocator, public Counted<Locator> {
public:
    AMBRIK_UNKNOWN_METHODS
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return queryInterface<IWbemLocator>(this, riid, IID_IWbemLocator, out);
    }
    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user, const BSTR password,
                                            const BSTR locale, LONG flags, const BSTR authority, IWbemContext* context,
                                            IWbemServices** out) override {
        if (!out) return WBEM_E_INVALID_PARAMETER;
        *out = nullptr;
        if (!resource) return WBEM_E_INVALID_NAMESPACE;
        std::string path = narrow(resource);
        for (char& c : path)
            if (c == '/') c = '\\';
        std::string host = ".", ns = path;
        if (path.rfind("\\\\", 0) == 0) {
            const std::size_t end = path.find('\\', 2);
            if (end == std::string::npos || end == 2) return WBEM_E_INVALID_NAMESPACE;
            host = path.substr(2, end - 2);
            ns = path.substr(end + 1);
        }
        if (isLocal(host)) {
            IWbemLocator* wine = nullptr;
            const HRESULT hr = wineLocator(&wine);
            if (FAILED(hr)) return hr;
            const HRESULT connected =
                wine->ConnectServer(resource, user, password, locale, flags, authority, context, out);
            wine->Release();
            return connected;
        }
        if (!equalsNoCase(ns, "root\\cimv2")) return WBEM_E_INVALID_NAMESPACE;
        auto fixture = loadFixture();
        if (!fixture) return kServerUnavailable;
        for (const wmifixture::Host& h : *fixture) {
            if (!equalsNoCase(h.name, host)) continue;
            if (h.hasAccount && (!equalsNoCase(narrow(user), h.user) || narrow(password) != h.password))
                return E_ACCESSDENIED;
            *out = new Services(fixture, &h);
            return WBEM_S_NO_ERROR;
        }
        return kServerUnavailable;
    }
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return queryInterface<IClassFactory>(this, riid, IID_IClassFactory, out);
    }
    // One factory for the process's life: not counted.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Locator* locator = new Locator;
        const HRESULT hr = locator->QueryInterface(riid, out);
        locator->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) ++g_locks;
        else --g_locks;
        return S_OK;
    }
};

Factory g_factory;

void reportLiveObjects() {
    const std::string path = environment(L"AMBRIK_WMI_LEAK_LOG");
    if (path.empty()) return;
    const HANDLE file = CreateFileW(widen(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string line =
        "pid " + std::to_string(GetCurrentProcessId()) + " live " + std::to_string(g_live.load()) + "\n";
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

extern "C" {

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (clsid != CLSID_WbemLocator) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, out);
}

HRESULT WINAPI DllCanUnloadNow() { return g_live.load() == 0 && g_locks.load() == 0 ? S_OK : S_FALSE; }

long WINAPI AmbrikWmiProviderLiveObjects() { return g_live.load(); }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) reportLiveObjects();
    return TRUE;
}

}  // extern "C"
