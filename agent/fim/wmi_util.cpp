// Connection steps and property reads of the attribute queries.
#include "agent/fim/wmi_util.h"

#include <cstdlib>

#include "common/log.h"

using namespace platform::wmi;

WmiUtil::WmiUtil() { connect(); }

WmiUtil::~WmiUtil() {
    enumerator_.reset();
    services_.reset();
    locator_.reset();
    if (comInitialized_) uninitializeCom();
}

int WmiUtil::connect() {
    const HResult init = initializeCom();
    if (failed(init)) {
        LogError("\n Initialize failed with error %d", init);
        return -1;
    }
    comInitialized_ = true;
    const HResult security = initializeSecurity(RPC_C_AUTHN_LEVEL_DEFAULT_, RPC_C_IMP_LEVEL_IMPERSONATE_);
    if (security != S_OK_ && security != RPC_E_TOO_LATE_) {
        LogError("\n InitializeSec failed with error %d", security);
        LogError("\n Error Details: failed with error %d", security);
        return -2;
    }
    if (failed(createLocator(locator_)) || !locator_) {
        LogError("\n WMIUTil::CoCreateInstance failed");
        return -3;
    }
    ServicesPtr services;
    if (failed(locator_->connectServer("ROOT\\CIMV2", "", "", "", WBEM_FLAG_CONNECT_USE_MAX_WAIT, services)) ||
        !services) {
        LogError("\n WMIUTil::ConnectServer failed");
        return -4;
    }
    ProxyBlanket blanket;  // NTLM, call level, impersonate, own identity
    if (failed(services->setProxyBlanket(blanket))) {
        LogError("\n WMIUTil::CoSetProxyBlanket failed");
        return -5;
    }
    services_ = std::move(services);
    return 0;
}

int WmiUtil::execQuery(const std::string& text) {
    if (!services_) return -1;
    const HResult hr =
        services_->execQuery("WQL", text, WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, enumerator_);
    return succeeded(hr) && enumerator_ ? 0 : (hr != 0 ? static_cast<int>(hr) : -1);
}

int WmiUtil::nextObjectAttributes(FileAttributeRecord& record) {
    if (!enumerator_) return 0;
    ObjectPtr object;
    if (enumerator_->next(WBEM_INFINITE, object) != WBEM_S_NO_ERROR || !object) return 0;
    if (record.isFile) {
        record.version = wmiPropertyText(*object, "Version");
        record.vendor = wmiPropertyText(*object, "Manufacturer");
    }
    record.createdTime = wmiPropertyText(*object, "CreationDate");
    record.modifiedTime = wmiPropertyText(*object, "LastModified");
    record.lastAccessTime = wmiPropertyText(*object, "LastAccessed");
    if (record.isFile) record.size = wmiSizeFromText(wmiPropertyText(*object, "FileSize"));
    record.encrypted = wmiPropertyText(*object, "Encrypted");
    record.hidden = wmiPropertyText(*object, "Hidden");
    record.compressed = wmiPropertyText(*object, "Compressed");
    record.system = wmiPropertyText(*object, "System");
    record.status = wmiPropertyText(*object, "Status");
    return 1;
}

std::string wmiPropertyText(const Object& object, const char* name) {
    Variant value;
    if (failed(object.get(name, value))) return "-1";
    switch (value.type) {
        case Variant::Type::Null: return "-";
        case Variant::Type::Boolean: return value.boolean ? "True" : "False";
        case Variant::Type::Text: return value.text;
        case Variant::Type::Integer: return std::to_string(value.integer);
        default: return "-";
    }
}

std::int64_t wmiSizeFromText(const std::string& text) {
    if (text == "-") return 0;
    return std::strtoll(text.c_str(), nullptr, 10);
}

std::string wqlQuote(const std::string& path) {
    std::string out;
    out.reserve(path.size() + 8);
    for (char c : path) {
        if (c == '\\' || c == '\'') out += '\\';
        out += c;
    }
    return out;
}
