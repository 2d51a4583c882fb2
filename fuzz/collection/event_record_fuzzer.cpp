// Record building from the values a host's WMI answers: any property may be
// missing, of another type, or hold any text (times, insertion strings,
// messages of any length). The input is cut at zero bytes into the values.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/collection/event_record.h"
#include "platform/wmi.h"

namespace {

namespace wmi = platform::wmi;

class FuzzedEvent : public wmi::Object {
public:
    explicit FuzzedEvent(std::vector<std::string> parts) : parts_(std::move(parts)) {}
    wmi::HResult get(const std::string& name, wmi::Variant& out) const override {
        out = wmi::Variant{};
        std::size_t index = 0;
        for (; index < std::size(kEventPropertyNames); ++index)
            if (name == kEventPropertyNames[index]) break;
        if (index >= parts_.size()) return wmi::WBEM_E_NOT_FOUND;
        const std::string& text = parts_[index];
        // The first byte of a value chooses its type, as a host may answer any.
        switch (text.empty() ? 0 : text[0] % 5) {
            case 0: break;  // null
            case 1:
                out.type = wmi::Variant::Type::Integer;
                {
                    std::uint64_t bits = 0;
                    for (char c : text) bits = bits * 31 + static_cast<unsigned char>(c);
                    out.integer = static_cast<std::int64_t>(bits);
                }
                break;
            case 2:
                out.type = wmi::Variant::Type::TextArray;
                for (std::size_t from = 1; from <= text.size();) {
                    std::size_t comma = text.find(',', from);
                    if (comma == std::string::npos) comma = text.size();
                    out.texts.push_back(text.substr(from, comma - from));
                    from = comma + 1;
                }
                break;
            case 3:
                out.type = wmi::Variant::Type::Bytes;
                out.bytes.assign(text.begin() + 1, text.end());
                break;
            default:
                out.type = wmi::Variant::Type::Text;
                out.text = text.substr(1);
        }
        return wmi::WBEM_S_NO_ERROR;
    }

private:
    std::vector<std::string> parts_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> parts;
    for (std::size_t from = 0; from <= input.size();) {
        std::size_t zero = input.find('\0', from);
        if (zero == std::string_view::npos) zero = input.size();
        parts.emplace_back(input.substr(from, zero - from));
        from = zero + 1;
    }
    RecordHost host;
    host.hostId = 101;
    host.majorVersion = size % 3 == 0 ? 5 : 10;
    host.timeZoneDiff = static_cast<int>(size % 7) * 3600 - 10800;
    AttributeTable attributes;
    initAttributeTable(attributes);
    RecordRunValues run;
    run.lastTimeText = "20240101000000.000000+000";
    run.securityTypeId = 3;
    run.lookupFacility = [](std::string&, int& type) { type = 1; };
    EventRecord record;
    buildEventRecord(host, std::make_unique<FuzzedEvent>(std::move(parts)), record, attributes, run);
    return 0;
}
