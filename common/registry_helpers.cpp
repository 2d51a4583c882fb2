#include "common/registry_helpers.h"

#include <cerrno>
#include <cstdlib>

#include "common/log.h"
#include "common/process_helpers.h"
#include "platform/text.h"

using platform::RegistryKey;
using platform::RegistryValue;

namespace {

constexpr long kErrorNoUnicodeTranslation = 1113;

// A malformed registry file is named with its line, so the administrator
// can mend it.
void logRegistryFileError(long code) {
    if (code == platform::kErrorBadDatabase)
        LogError("\n Registry file error: %s", platform::lastRegistryError().c_str());
}

bool equalsNoCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return i == a.size() && b[i] == '\0';
}

// The leading decimal number of a text, as a 32-bit registry number:
// blanks, an optional sign and digits; 0 when there is none. Negative
// numbers are stored in two's complement. false when it does not fit.
bool leadingNumber(const std::string& text, std::uint32_t* value) {
    const char* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(s, &end, 10);
    if (end == s) {
        *value = 0;
        return true;
    }
    if (errno == ERANGE || n < -2147483648LL || n > 4294967295LL) return false;
    *value = static_cast<std::uint32_t>(n);
    return true;
}

bool toWide(const char* text, std::u16string* wide, const char* emptyMessage) {
    if (!text) {
        LogError("%s", emptyMessage);
        return false;
    }
    bool ok = true;
    std::u16string converted = platform::utf8ToUtf16(text, &ok);
    if (!ok) {
        errno = EILSEQ;
        LogLastSystemError();
        return false;
    }
    if (wide) *wide = std::move(converted);
    return true;
}

}  // namespace

bool ChangeUtf8ToWideStr(const char* utf8, std::u16string* wide) {
    return toWide(utf8, wide, "\n ChangeUtf8ToWideStr: utf8 is empty! ");
}

bool ChangeToWideStr(const char* text, std::u16string* wide) {
    return toWide(text, wide, "\n ChangeToWideStr: AnsiString is empty! ");
}

std::string RegistryProblem(long serverKeyResult, long agentKeyResult) {
    if (serverKeyResult == platform::kErrorBadDatabase || agentKeyResult == platform::kErrorBadDatabase)
        return "the registry cannot be parsed: " + platform::lastRegistryError();
    if (serverKeyResult != 0 && serverKeyResult != platform::kErrorFileNotFound)
        return "the registry cannot be read: " + platform::lastRegistryError();
    return "";
}

std::string RegistryReadProblem(const std::string& serverKeyPath, const std::string& agentKeyPath) {
    auto openResult = [](const std::string& keyPath) {
        RegistryKey key(nullptr, nullptr);
        return platform::regOpenKey(platform::RegistryRoot::LocalMachine, keyPath, platform::RegistryAccess::Read,
                                    &key);
    };
    const long serverKeyResult = openResult(serverKeyPath);
    return RegistryProblem(serverKeyResult, openResult(agentKeyPath));
}

long ReadRegSZEx(platform::RegistryRoot root, const std::string& keyPath, const std::string& valueName,
                 std::optional<std::string>* text) {
    if (text) text->reset();
    RegistryKey key(nullptr, nullptr);
    long rc = platform::regOpenKey(root, keyPath, platform::RegistryAccess::QueryValue, &key);
    if (rc != 0) {
        LogError("\n ReadRegSZEx: Error while opening registry key : %s", valueName.c_str());
        logRegistryFileError(rc);
        return rc;
    }
    RegistryValue value;
    rc = platform::regQueryValue(key, valueName, &value);
    if (rc != 0) {
        LogError("\n ReadRegSZEx: Error while retrieving value! %ld \n", rc);
        return rc;
    }
    if (value.type != platform::kRegSz && value.type != platform::kRegExpandSz) {
        rc = platform::kErrorInvalidData;
        LogError("\n ReadRegSZEx: Error while reading DWORD value! %ld \n", rc);
        return rc;
    }
    if (text) *text = value.data;
    return 0;
}

long ReadDwordRegistryData(platform::RegistryRoot root, const std::string& keyPath,
                           const std::string& valueName, std::uint32_t* out) {
    RegistryKey key(nullptr, nullptr);
    long rc = platform::regOpenKey(root, keyPath, platform::RegistryAccess::QueryValue, &key);
    if (rc != 0) {
        LogError("\n ReadDwordRegistryData: Error while opening registry key %s,and the errorcode is : %ld",
                 keyPath.c_str(), rc);
        logRegistryFileError(rc);
        return rc;
    }
    RegistryValue value;
    rc = platform::regQueryValue(key, valueName, &value);
    if (rc == 0 && value.type != platform::kRegDword) rc = platform::kErrorInvalidData;
    if (rc == 0 && value.data.size() > 4) rc = platform::kErrorMoreData;
    if (rc != 0) {
        LogError("\n ReadDwordRegistryData: Error while reading DWORD value of %s : %ld", valueName.c_str(), rc);
        return rc;
    }
    if (out) *out = platform::dwordValue(value.data);
    return 0;
}

long addRegistryKey(platform::RegistryRoot root, const std::string& keyPath) {
    LogInfo(" addRegistryKey: Inside addRegistryKey method ...... ");
    RegistryKey key(nullptr, nullptr);
    bool created = false;
    long rc = platform::regCreateKey(root, keyPath, &key, &created);
    if (rc != 0) {
        LogError("\n addRegistryKey:  Create registry key \"%s\" function failed: %ld ", keyPath.c_str(), rc);
        logRegistryFileError(rc);
        ReportErrorCode(rc);
        return rc;
    }
    if (created)
        LogInfo("\n addRegistryKey:  Create registry key function successfull: %d ", 1);
    else
        LogInfo("\n addRegistryKey:  Opened already existing key! ");
    return 0;
}

long writeValue(platform::RegistryRoot root, const std::string& keyPath, const std::string& valueName,
                const std::string& valueData, std::uint32_t type) {
    LogError("\n @@@@@@@@ Inside writeValue Method @@@@@@@@");
    LogError("\n writeValue: Subkey : %s", keyPath.c_str());
    LogError("\n writeValue: Value Name: %s", valueName.c_str());
    LogError("\n writeValue: Value Data: %s", valueData.c_str());

    std::u16string wideName, wideData;
    if (!ChangeUtf8ToWideStr(valueName.c_str(), &wideName) || !ChangeUtf8ToWideStr(valueData.c_str(), &wideData)) {
        ReportErrorCode(kErrorNoUnicodeTranslation);
        return kErrorNoUnicodeTranslation;
    }
    std::string name = valueName;
    std::string text = valueData;
    if (equalsNoCase(name, "--")) {
        LogError("\n writeValue : going to add the (default) value .");
        name.clear();
        wideName.clear();
    }
    if (equalsNoCase(text, "--")) {
        LogError("\n writeValue : going to add the value data as 0 value .");
        text.clear();
        wideData.clear();
    }

    auto failure = [&](long code) {
        LogError("\n writeValue:  Function WriteValue failure!:%ld", code);
        LogError("\n writeValue:  Subkey: %s", keyPath.c_str());
        LogError("\n writeValue:  Valuename: %s", name.c_str());
        LogError("\n writeValue:  Valuedata: %s", text.c_str());
        LogError("\n writeValue:  Datatype: %u", type);
        ReportErrorCode(code);
        return code;
    };

    // The data as the registry stores it for the type.
    std::string stored;
    switch (type) {
        case platform::kRegSz:
        case platform::kRegExpandSz:
        case platform::kRegBinary: {
            int bytes = static_cast<int>((wideData.size() + 1) * 2);
            LogInfo("\n writeValue:  Data type is REG_SZ or REG_EXPAND_SZ or REG_BINARY: %d", bytes);
            if (type == platform::kRegBinary) {
                std::u16string terminated = wideData;
                terminated.push_back(u'\0');
                stored = platform::utf16ToLittleEndian(terminated);
            } else {
                stored = text;
            }
            break;
        }
        case platform::kRegMultiSz:
            stored = text + std::string(1, '\0');  // a list of one string
            break;
        case platform::kRegDword: {
            std::uint32_t number = 0;
            LogInfo("\n writeValue:  REG_DWORD -- sizeOfInputData: %d", 4);
            if (!leadingNumber(text, &number)) return failure(platform::kErrorInvalidParameter);
            stored = platform::dwordData(number);
            break;
        }
        default:
            return failure(platform::kErrorInvalidParameter);
    }

    long rc = addRegistryKey(root, keyPath);
    if (rc != 0) {
        LogError("\n writeValue:  WriteValue failure during key creation! %ld", rc);
        return rc;
    }
    RegistryKey key(nullptr, nullptr);
    rc = platform::regOpenKey(root, keyPath, platform::RegistryAccess::AllAccess, &key);
    if (rc != 0) {
        LogError("\n writeValue:  Key open failure! %ld", rc);
        logRegistryFileError(rc);
        ReportErrorCode(rc);
        return rc;
    }
    LogError("\n writeValue:  Key found ...!: %d", 0);
    LogError("\n writeValue:  After addRegistryKey method in writeValue method!!");
    rc = platform::regSetValue(key, name, type, stored);
    if (rc != 0) return failure(rc);
    ReportErrorCode(0);
    LogError("\n @@@@@@@@ End Of writeValue Method @@@@@@@@ ");
    return 0;
}
