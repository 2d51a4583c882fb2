// An in-memory Win32_NTLogEvent object for feeding property sets to the
// record building, and helpers that make the common property sets.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "agent/collection/event_record.h"
#include "platform/wmi.h"

namespace collection_test {

namespace wmi = platform::wmi;

class FakeEvent : public wmi::Object {
public:
    std::map<std::string, wmi::Variant> properties;
    std::set<std::string> failing;  // names whose Get fails with WBEM_E_FAILED

    wmi::HResult get(const std::string& name, wmi::Variant& out) const override {
        out = wmi::Variant{};
        if (failing.count(name)) return wmi::WBEM_E_FAILED;
        auto it = properties.find(name);
        if (it == properties.end()) return wmi::WBEM_E_NOT_FOUND;
        out = it->second;
        return wmi::WBEM_S_NO_ERROR;
    }

    FakeEvent& text(const std::string& name, const std::string& value) {
        wmi::Variant v;
        v.type = wmi::Variant::Type::Text;
        v.text = value;
        properties[name] = v;
        return *this;
    }
    FakeEvent& integer(const std::string& name, std::int64_t value) {
        wmi::Variant v;
        v.type = wmi::Variant::Type::Integer;
        v.integer = value;
        properties[name] = v;
        return *this;
    }
    FakeEvent& null(const std::string& name) {
        properties[name] = wmi::Variant{};
        return *this;
    }
    FakeEvent& strings(const std::vector<std::string>& values) {
        wmi::Variant v;
        v.type = wmi::Variant::Type::TextArray;
        v.texts = values;
        properties["InsertionStrings"] = v;
        return *this;
    }
};

// A Security audit event as a host delivers it: no rendered message.
inline std::unique_ptr<FakeEvent> securityEvent(int eventId, const std::vector<std::string>& strings,
                                                const std::string& timeWritten = "20240305101520.000000+060") {
    auto event = std::make_unique<FakeEvent>();
    event->text("Logfile", "Security")
        .text("SourceName", "Microsoft-Windows-Security-Auditing")
        .integer("EventCode", eventId)
        .integer("EventIdentifier", eventId)
        .integer("EventType", 4)
        .text("Type", "Audit Success")
        .text("TimeGenerated", timeWritten)
        .text("TimeWritten", timeWritten)
        .null("Message")
        .strings(strings);
    return event;
}

// A System information event (a service entering the running state).
inline std::unique_ptr<FakeEvent> serviceRunningEvent(const std::string& timeWritten) {
    auto event = std::make_unique<FakeEvent>();
    event->text("Logfile", "System")
        .text("SourceName", "Service Control Manager")
        .integer("EventCode", 7036)
        .integer("EventType", 3)
        .text("Type", "Information")
        .text("TimeGenerated", timeWritten)
        .text("TimeWritten", timeWritten)
        .text("Message", "The Windows Update service entered the running state.")
        .strings({"Windows Update", "running"});
    return event;
}

// The type numbers the tests' facility look-up answers.
inline constexpr int kSecurityType = 3;
inline constexpr int kApplicationType = 1;
inline constexpr int kSystemType = 2;

// Run values whose facility look-up knows Security and System and, like the
// server's fallback, turns every other log into "Application".
inline RecordRunValues testRunValues() {
    RecordRunValues run;
    run.securityTypeId = kSecurityType;
    run.lookupFacility = [](std::string& name, int& type) {
        if (name == "Security") {
            type = kSecurityType;
        } else if (name == "System") {
            type = kSystemType;
        } else {
            name = "Application";
            type = kApplicationType;
        }
    };
    return run;
}

}  // namespace collection_test
