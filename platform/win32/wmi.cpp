// WMI on Windows: the COM interfaces themselves.
//
// Each wrapper owns one interface pointer and releases it when it is dropped.
// Texts are UTF-8 on our side and BSTRs on the COM side. The identity of a
// proxy blanket (COAUTHIDENTITY, ANSI flag) is kept by the wrapper of the
// proxy for as long as the proxy lives, since COM keeps a pointer to it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <memory>
#include <mutex>
#include <string>

#include "platform/wmi.h"
#include "platform/win32/win32_util.h"

namespace platform::wmi {

namespace {

using win32::widen;

std::string narrow(const wchar_t* text, std::size_t length, UINT codePage = CP_UTF8) {
    if (!text || length == 0) return std::string();
    const int n = WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
    return out;
}

std::string fromBstr(BSTR text) { return text ? narrow(text, SysStringLen(text)) : std::string(); }

// A BSTR for a call; an empty text is passed as NULL, as the callers mean
// "none" by it (the caller's own identity, no authority).
class Bstr {
public:
    explicit Bstr(const std::string& text) {
        if (!text.empty()) {
            const std::wstring wide = widen(text);
            value_ = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        }
    }
    ~Bstr() {
        if (value_) SysFreeString(value_);
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return value_; }

private:
    BSTR value_ = nullptr;
};

struct Releaser {
    void operator()(IUnknown* p) const {
        if (p) p->Release();
    }
};
template <class T>
using ComPtr = std::unique_ptr<T, Releaser>;

// COAUTHIDENTITY with its texts in the ANSI code page.
struct Identity {
    std::string user, domain, password;
    COAUTHIDENTITY id{};

    explicit Identity(const AuthIdentity& source) {
        auto ansi = [](const std::string& utf8) {
            const std::wstring wide = widen(utf8);
            return narrow(wide.data(), wide.size(), CP_ACP);
        };
        user = ansi(source.user);
        domain = ansi(source.domain);
        password = ansi(source.password);
        id.User = reinterpret_cast<USHORT*>(user.data());
        id.UserLength = static_cast<ULONG>(user.size());
        id.Domain = reinterpret_cast<USHORT*>(domain.data());
        id.DomainLength = static_cast<ULONG>(domain.size());
        id.Password = reinterpret_cast<USHORT*>(password.data());
        id.PasswordLength = static_cast<ULONG>(password.size());
        id.Flags = SEC_WINNT_AUTH_IDENTITY_ANSI;
    }
};

HResult setBlanket(IUnknown* proxy, const ProxyBlanket& blanket, std::shared_ptr<Identity>& keep) {
    std::shared_ptr<Identity> identity;
    if (blanket.identity) identity = std::make_shared<Identity>(*blanket.identity);
    const HRESULT hr = CoSetProxyBlanket(proxy, blanket.authnService, RPC_C_AUTHZ_NONE, nullptr,
                                         blanket.authnLevel, blanket.impLevel,
                                         identity ? &identity->id : nullptr, EOAC_NONE);
    if (SUCCEEDED(hr)) keep = std::move(identity);
    return hr;
}

void fromSafeArrayOfBstr(SAFEARRAY* array, Variant& out) {
    out.type = Variant::Type::TextArray;
    LONG low = 0, high = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &low)) || FAILED(SafeArrayGetUBound(array, 1, &high))) return;
    BSTR* items = nullptr;
    if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(&items)))) return;
    for (LONG i = 0; i <= high - low; ++i) out.texts.push_back(fromBstr(items[i]));
    SafeArrayUnaccessData(array);
}

void fromSafeArrayOfBytes(SAFEARRAY* array, Variant& out) {
    out.type = Variant::Type::Bytes;
    LONG low = 0, high = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &low)) || FAILED(SafeArrayGetUBound(array, 1, &high))) return;
    unsigned char* items = nullptr;
    if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(&items)))) return;
    out.bytes.assign(items, items + (high - low + 1));
    SafeArrayUnaccessData(array);
}

// WMI hands CIM uint32 (RecordNumber, EventIdentifier) over as VT_I4, so a
// value of 2^31 or more would read negative: the CIM type tells them apart.
HResult convert(VARIANT& v, CIMTYPE cimType, Variant& out) {
    out = Variant{};
    if (V_VT(&v) == VT_I4 && cimType == CIM_UINT32) {
        out.type = Variant::Type::Integer;
        out.integer = static_cast<std::uint32_t>(V_I4(&v));
        return S_OK;
    }
    switch (V_VT(&v)) {
        case VT_EMPTY:
        case VT_NULL: return S_OK;
        case VT_BOOL:
            out.type = Variant::Type::Boolean;
            out.boolean = V_BOOL(&v) != VARIANT_FALSE;
            return S_OK;
        case VT_I1: out.type = Variant::Type::Integer; out.integer = V_I1(&v); return S_OK;
        case VT_UI1: out.type = Variant::Type::Integer; out.integer = V_UI1(&v); return S_OK;
        case VT_I2: out.type = Variant::Type::Integer; out.integer = V_I2(&v); return S_OK;
        case VT_UI2: out.type = Variant::Type::Integer; out.integer = V_UI2(&v); return S_OK;
        case VT_I4: out.type = Variant::Type::Integer; out.integer = V_I4(&v); return S_OK;
        case VT_UI4: out.type = Variant::Type::Integer; out.integer = V_UI4(&v); return S_OK;
        case VT_INT: out.type = Variant::Type::Integer; out.integer = V_INT(&v); return S_OK;
        case VT_UINT: out.type = Variant::Type::Integer; out.integer = V_UINT(&v); return S_OK;
        case VT_I8: out.type = Variant::Type::Integer; out.integer = V_I8(&v); return S_OK;
        case VT_UI8:
            out.type = Variant::Type::Integer;
            out.integer = static_cast<std::int64_t>(V_UI8(&v));
            return S_OK;
        case VT_BSTR:
            out.type = Variant::Type::Text;
            out.text = fromBstr(V_BSTR(&v));
            return S_OK;
        case VT_ARRAY | VT_BSTR: fromSafeArrayOfBstr(V_ARRAY(&v), out); return S_OK;
        case VT_ARRAY | VT_UI1:
        case VT_ARRAY | VT_I1: fromSafeArrayOfBytes(V_ARRAY(&v), out); return S_OK;
        default: {
            // Anything else as text, as the callers take "any other value".
            VARIANT text;
            VariantInit(&text);
            const HRESULT hr = VariantChangeType(&text, &v, 0, VT_BSTR);
            if (FAILED(hr)) return hr;
            out.type = Variant::Type::Text;
            out.text = fromBstr(V_BSTR(&text));
            VariantClear(&text);
            return S_OK;
        }
    }
}

class WinObject : public Object {
public:
    explicit WinObject(IWbemClassObject* object) : object_(object) {}
    HResult get(const std::string& name, Variant& out) const override {
        out = Variant{};
        const std::wstring wide = widen(name);
        VARIANT v;
        VariantInit(&v);
        CIMTYPE cimType = CIM_EMPTY;
        HRESULT hr = object_->Get(wide.c_str(), 0, &v, &cimType, nullptr);
        if (SUCCEEDED(hr)) hr = convert(v, cimType, out);
        VariantClear(&v);
        return hr;
    }

private:
    ComPtr<IWbemClassObject> object_;
};

class WinEnumerator : public Enumerator {
public:
    WinEnumerator(IEnumWbemClassObject* e, std::shared_ptr<Identity> servicesIdentity)
        : servicesIdentity_(std::move(servicesIdentity)), enumerator_(e) {}
    HResult setProxyBlanket(const ProxyBlanket& blanket) override {
        return setBlanket(enumerator_.get(), blanket, identity_);
    }
    HResult next(std::int32_t timeoutMillis, ObjectPtr& out) override {
        out.reset();
        IWbemClassObject* object = nullptr;
        ULONG returned = 0;
        const HRESULT hr = enumerator_->Next(timeoutMillis, 1, &object, &returned);
        if (returned == 1 && object) out = std::make_unique<WinObject>(object);
        return hr;
    }

private:
    // The identities are declared before the proxy so that they outlive it:
    // members are destroyed in reverse order and COM reads the identity until
    // the proxy is released.
    std::shared_ptr<Identity> identity_;
    std::shared_ptr<Identity> servicesIdentity_;  // the proxy it came from may still use it
    ComPtr<IEnumWbemClassObject> enumerator_;
};

class WinServices : public Services {
public:
    explicit WinServices(IWbemServices* s) : services_(s) {}
    HResult setProxyBlanket(const ProxyBlanket& blanket) override {
        return setBlanket(services_.get(), blanket, identity_);
    }
    HResult execQuery(const std::string& language, const std::string& query, std::int32_t flags,
                      EnumeratorPtr& out) override {
        out.reset();
        Bstr lang(language), text(query);
        IEnumWbemClassObject* e = nullptr;
        const HRESULT hr = services_->ExecQuery(lang.get(), text.get(), flags, nullptr, &e);
        if (SUCCEEDED(hr) && e) out = std::make_unique<WinEnumerator>(e, identity_);
        else if (e) e->Release();
        return hr;
    }

private:
    std::shared_ptr<Identity> identity_;  // declared first: outlives the proxy below
    ComPtr<IWbemServices> services_;
};

class WinLocator : public Locator {
public:
    explicit WinLocator(IWbemLocator* l) : locator_(l) {}
    HResult connectServer(const std::string& namespacePath, const std::string& user,
                          const std::string& password, const std::string& authority, std::int32_t flags,
                          ServicesPtr& out) override {
        out.reset();
        Bstr ns(namespacePath), u(user), p(password), a(authority);
        IWbemServices* s = nullptr;
        const HRESULT hr = locator_->ConnectServer(ns.get(), u.get(), p.get(), nullptr, flags, a.get(),
                                                   nullptr, &s);
        if (SUCCEEDED(hr) && s) out = std::make_unique<WinServices>(s);
        else if (s) s->Release();
        return hr;
    }

private:
    ComPtr<IWbemLocator> locator_;
};

std::mutex g_settingsMutex;
std::string g_hostsRoot;

}  // namespace

HResult initializeCom() { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }

void uninitializeCom() { CoUninitialize(); }

HResult initializeSecurity(std::uint32_t authnLevel, std::uint32_t impLevel) {
    return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, authnLevel, impLevel, nullptr, EOAC_NONE,
                                nullptr);
}

HResult createLocator(LocatorPtr& out) {
    out.reset();
    IWbemLocator* locator = nullptr;
    const HRESULT hr = CoCreateInstance(
        CLSID_WbemLocator, nullptr,
        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
        IID_IWbemLocator, reinterpret_cast<void**>(&locator));
    if (SUCCEEDED(hr) && locator) out = std::make_unique<WinLocator>(locator);
    else if (locator) locator->Release();
    return hr;
}

// The simulated hosts do not exist here; the settings are kept for hostsRoot().
void setHostsRoot(const std::string& directory) {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_hostsRoot = directory;
}

std::string hostsRoot() {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    return g_hostsRoot;
}

void setLocalHostName(const std::string&) {}

void setDiagnosticSink(DiagnosticSink) {}

std::string lastDiagnostic() { return std::string(); }

}  // namespace platform::wmi
