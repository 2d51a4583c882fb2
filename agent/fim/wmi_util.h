// The WMI utility of the attribute queries: one connection to the local
// "ROOT\\CIMV2" per queried item, a WQL query, and the reading of the
// returned objects' properties into an attribute record.
#pragma once

#include <string>

#include "agent/fim/file_attributes.h"
#include "platform/wmi.h"

class WmiUtil {
public:
    // Connects at once; connected() tells whether it worked.
    WmiUtil();
    // Releases each interface once and uninitialises COM for the thread.
    ~WmiUtil();
    WmiUtil(const WmiUtil&) = delete;
    WmiUtil& operator=(const WmiUtil&) = delete;

    // 0, or the failed step: -1 COM, -2 security, -3 locator, -4 connect, -5 blanket.
    int connect();
    bool connected() const { return services_ != nullptr; }
    // 0 when the query started, else non-zero.
    int execQuery(const std::string& text);
    // 1 when an object came back and its properties were read into the record.
    int nextObjectAttributes(FileAttributeRecord& record);

private:
    bool comInitialized_ = false;
    platform::wmi::LocatorPtr locator_;
    platform::wmi::ServicesPtr services_;
    platform::wmi::EnumeratorPtr enumerator_;
};

// A property value as the record stores it: "-1" when it cannot be read, "-"
// when it is null, "True"/"False" for booleans, else the text.
std::string wmiPropertyText(const platform::wmi::Object& object, const char* name);
// FileSize as a number: "-" is 0, "-1" is -1.
std::int64_t wmiSizeFromText(const std::string& text);
// The WQL string literal of a path: backslashes and single quotes escaped.
std::string wqlQuote(const std::string& path);
