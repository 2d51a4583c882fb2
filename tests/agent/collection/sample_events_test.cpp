// The shipped parsing rules against real Security events: for every sample
// event whose id has a rule, each attribute the rule fills must equal the
// value of the event's own named EventData field.
//
// The events are read from the sample EVTX files with libevtx: the record's
// strings become the insertion strings (as the WMI layer delivers them) and
// the record's XML gives the field names.

#include <gtest/gtest.h>
#include <libevtx.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "agent/collection/event_record.h"
#include "agent/collection/parser_rules.h"
#include "common/text_format.h"
#include "fake_event.h"

namespace {

namespace fs = std::filesystem;
using collection_test::FakeEvent;

// What each rule is meant to fill, by the names of the EventData fields.
using FieldNames = std::vector<std::pair<const char*, const char*>>;  // attribute, Data name

const FieldNames kSubject = {{"USER_NAME", "SubjectUserName"}, {"DOMAIN", "SubjectDomainName"}};
const FieldNames kLogon = {{"USER_NAME", "TargetUserName"}, {"DOMAIN", "TargetDomainName"},
                           {"LOGONTYPE", "LogonType"},      {"PROCESS_NAME", "ProcessName"},
                           {"REMOTEHOST", "IpAddress"}};
const FieldNames kObject = {{"USER_NAME", "SubjectUserName"}, {"DOMAIN", "SubjectDomainName"},
                            {"OBJ_TYPE", "ObjectType"},       {"OBJ_NAME", "ObjectName"},
                            {"PROCESS_NAME", "ProcessName"}};
const FieldNames kAccount = {{"TARGET_USER", "TargetUserName"}, {"TARGET_DOMAIN", "TargetDomainName"},
                             {"USER_NAME", "SubjectUserName"},  {"DOMAIN", "SubjectDomainName"}};
const FieldNames kGroup = {{"GROUP_NAME", "TargetUserName"}, {"TARGET_DOMAIN", "TargetDomainName"},
                           {"USER_NAME", "SubjectUserName"}, {"DOMAIN", "SubjectDomainName"}};
const FieldNames kMember = {{"MEMBER_NAME", "MemberName"},      {"GROUP_NAME", "TargetUserName"},
                            {"TARGET_DOMAIN", "TargetDomainName"}, {"USER_NAME", "SubjectUserName"},
                            {"DOMAIN", "SubjectDomainName"}};

const std::map<int, FieldNames> kExpected = {
    {4624, kLogon},
    {4625, kLogon},
    {4634, {{"USER_NAME", "TargetUserName"}, {"DOMAIN", "TargetDomainName"}, {"LOGONTYPE", "LogonType"}}},
    {4647, {{"USER_NAME", "TargetUserName"}, {"DOMAIN", "TargetDomainName"}}},
    {4648,
     {{"USER_NAME", "SubjectUserName"}, {"DOMAIN", "SubjectDomainName"}, {"TARGET_USER", "TargetUserName"},
      {"TARGET_DOMAIN", "TargetDomainName"}, {"REMOTEHOST", "TargetServerName"},
      {"PROCESS_NAME", "ProcessName"}}},
    {4672, kSubject},
    {4611, kSubject},
    {4616, {{"USER_NAME", "SubjectUserName"}, {"DOMAIN", "SubjectDomainName"}, {"PROCESS_NAME", "ProcessName"}}},
    {4904, kSubject},
    {4905, kSubject},
    {1102, kSubject},
    {4697, kSubject},
    {4673, {{"USER_NAME", "SubjectUserName"}, {"DOMAIN", "SubjectDomainName"}, {"PROCESS_NAME", "ProcessName"}}},
    {4656, kObject},
    {4661, kObject},
    {4663, kObject},
    {4674, kObject},
    {4907, kObject},
    {4658, {{"USER_NAME", "SubjectUserName"}, {"DOMAIN", "SubjectDomainName"}, {"PROCESS_NAME", "ProcessName"}}},
    {4660, {{"USER_NAME", "SubjectUserName"}, {"DOMAIN", "SubjectDomainName"}, {"PROCESS_NAME", "ProcessName"}}},
    {4688,
     {{"USER_NAME", "SubjectUserName"}, {"DOMAIN", "SubjectDomainName"}, {"PROCESS_NAME", "NewProcessName"},
      {"TARGET_USER", "TargetUserName"}, {"TARGET_DOMAIN", "TargetDomainName"}}},
    {4720, kAccount},
    {4722, kAccount},
    {4723, kAccount},
    {4724, kAccount},
    {4726, kAccount},
    {4738, kAccount},
    {4731, kGroup},
    {4735, kGroup},
    {4728, kMember},
    {4729, kMember},
    {4732, kMember},
    {4733, kMember},
    {4781,
     {{"TARGET_USER", "NewTargetUserName"}, {"TARGET_DOMAIN", "TargetDomainName"}, {"USER_NAME", "SubjectUserName"},
      {"DOMAIN", "SubjectDomainName"}}},
    {4776, {{"USER_NAME", "TargetUserName"}, {"REMOTEHOST", "Workstation"}}},
    {4778, {{"USER_NAME", "AccountName"}, {"DOMAIN", "AccountDomain"}, {"REMOTEHOST", "ClientAddress"}}},
    {4779, {{"USER_NAME", "AccountName"}, {"DOMAIN", "AccountDomain"}, {"REMOTEHOST", "ClientAddress"}}},
    {5140,
     {{"USER_NAME", "SubjectUserName"}, {"DOMAIN", "SubjectDomainName"}, {"OBJ_TYPE", "ObjectType"},
      {"REMOTEHOST", "IpAddress"}, {"OBJ_NAME", "ShareName"}, {"ACCESSES", "AccessList"}}},
    {5145,
     {{"USER_NAME", "SubjectUserName"}, {"DOMAIN", "SubjectDomainName"}, {"OBJ_TYPE", "ObjectType"},
      {"REMOTEHOST", "IpAddress"}, {"OBJ_NAME", "RelativeTargetName"}, {"ACCESSES", "AccessList"}}},
};

// The record field an attribute ends up in, and that field's size.
std::pair<const std::string*, std::size_t> recordField(const EventRecord& r, const std::string& attribute) {
    if (attribute == "USER_NAME") return {&r.user, kUserFieldSize};
    if (attribute == "DOMAIN") return {&r.domain, kDomainFieldSize};
    if (attribute == "LOGONTYPE") return {&r.accessOrLogonType, kAccessOrLogonTypeFieldSize};
    if (attribute == "REMOTEHOST") return {&r.remoteHost, kAttributeFieldSize};
    if (attribute == "OBJ_TYPE") return {&r.objectType, kAttributeFieldSize};
    if (attribute == "OBJ_NAME") return {&r.objectName, kAttributeFieldSize};
    if (attribute == "TARGET_USER") return {&r.targetUser, kAttributeFieldSize};
    if (attribute == "TARGET_DOMAIN") return {&r.targetDomain, kAttributeFieldSize};
    if (attribute == "GROUP_NAME") return {&r.groupName, kAttributeFieldSize};
    if (attribute == "MEMBER_NAME") return {&r.memberName, kAttributeFieldSize};
    if (attribute == "ACCESSES") return {&r.accesses, kAttributeFieldSize};
    if (attribute == "PROCESS_NAME") return {&r.processName, kAttributeFieldSize};
    return {nullptr, 0};
}

struct SampleEvent {
    std::string file;
    std::string channel;
    int eventId = 0;
    std::string timeText;  // DMTF, UTC
    std::vector<std::pair<std::string, std::string>> fields;  // name, value in order
    std::vector<std::string> strings;                          // the record's strings
};

std::string withoutCarriageReturns(std::string value) {
    std::erase(value, '\r');
    return value;
}

std::string text(const xmlNode* node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string out = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return out;
}

const xmlNode* child(const xmlNode* node, const char* name) {
    for (const xmlNode* c = node ? node->children : nullptr; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && xmlStrcmp(c->name, BAD_CAST name) == 0) return c;
    return nullptr;
}

// Channel, id, time and named fields from the record's XML. Events with
// UserData instead of EventData give the leaves of their one UserData element.
bool readXml(const std::string& xml, SampleEvent& event) {
    xmlDoc* doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) return false;
    const xmlNode* root = xmlDocGetRootElement(doc);
    const xmlNode* system = child(root, "System");
    event.channel = text(child(system, "Channel"));
    event.eventId = std::atoi(text(child(system, "EventID")).c_str());
    if (const xmlNode* created = child(system, "TimeCreated")) {
        xmlChar* at = xmlGetProp(created, BAD_CAST "SystemTime");
        std::string t = at ? reinterpret_cast<const char*>(at) : "";
        xmlFree(at);
        // 2021-05-21T20:43:07.153647000Z -> 20210521204307.153647+000
        if (t.size() >= 26)
            event.timeText = t.substr(0, 4) + t.substr(5, 2) + t.substr(8, 2) + t.substr(11, 2) + t.substr(14, 2) +
                             t.substr(17, 2) + "." + t.substr(20, 6) + "+000";
    }
    if (const xmlNode* data = child(root, "EventData")) {
        for (const xmlNode* c = data->children; c; c = c->next) {
            if (c->type != XML_ELEMENT_NODE || xmlStrcmp(c->name, BAD_CAST "Data") != 0) continue;
            xmlChar* name = xmlGetProp(c, BAD_CAST "Name");
            event.fields.emplace_back(name ? reinterpret_cast<const char*>(name) : "", text(c));
            xmlFree(name);
        }
    } else if (const xmlNode* user = child(root, "UserData")) {
        for (const xmlNode* wrapper = user->children; wrapper; wrapper = wrapper->next) {
            if (wrapper->type != XML_ELEMENT_NODE) continue;
            for (const xmlNode* c = wrapper->children; c; c = c->next)
                if (c->type == XML_ELEMENT_NODE) event.fields.emplace_back(reinterpret_cast<const char*>(c->name), text(c));
            break;
        }
    }
    xmlFreeDoc(doc);
    return true;
}

std::vector<SampleEvent> readEvtx(const fs::path& path) {
    std::vector<SampleEvent> events;
    libevtx_file_t* file = nullptr;
    libevtx_error_t* error = nullptr;
    if (libevtx_file_initialize(&file, &error) != 1) {
        libevtx_error_free(&error);
        return events;
    }
    if (libevtx_file_open(file, path.c_str(), LIBEVTX_OPEN_READ, &error) == 1) {
        int count = 0;
        libevtx_file_get_number_of_records(file, &count, &error);
        for (int i = 0; i < count; ++i) {
            libevtx_record_t* record = nullptr;
            if (libevtx_file_get_record_by_index(file, i, &record, &error) != 1) {
                libevtx_error_free(&error);
                continue;
            }
            SampleEvent event;
            event.file = path.filename().string();
            std::size_t size = 0;
            if (libevtx_record_get_utf8_xml_string_size(record, &size, &error) == 1 && size > 0) {
                std::string xml(size, '\0');
                if (libevtx_record_get_utf8_xml_string(record, reinterpret_cast<std::uint8_t*>(xml.data()), size,
                                                       &error) == 1) {
                    xml.resize(size - 1);
                    readXml(xml, event);
                }
            }
            int strings = 0;
            if (libevtx_record_get_number_of_strings(record, &strings, &error) == 1) {
                for (int s = 0; s < strings; ++s) {
                    std::size_t length = 0;
                    std::string value;
                    if (libevtx_record_get_utf8_string_size(record, s, &length, &error) == 1 && length > 0) {
                        value.assign(length, '\0');
                        if (libevtx_record_get_utf8_string(record, s, reinterpret_cast<std::uint8_t*>(value.data()),
                                                           length, &error) == 1)
                            value.resize(length - 1);
                        else
                            value.clear();
                    }
                    event.strings.push_back(value);
                }
            }
            libevtx_error_free(&error);
            libevtx_record_free(&record, nullptr);
            events.push_back(std::move(event));
        }
        libevtx_file_close(file, nullptr);
    }
    libevtx_error_free(&error);
    libevtx_file_free(&file, nullptr);
    return events;
}

TEST(SampleSecurityEvents, ShippedRulesFillTheNamedFields) {
    const fs::path root = AMBRIK_SHARED_DATA_DIR "/evtx";
    if (!fs::exists(root)) GTEST_SKIP() << "no sample logs at " << root;

    ParserRuleList rules;
    ASSERT_TRUE(loadParserRulesFile(std::string(AMBRIK_SOURCE_DIR) + "/data/EventIdParserRules.xml", rules));
    setParserRules(std::move(rules));

    AttributeTable attributes;
    initAttributeTable(attributes);
    RecordRunValues run = collection_test::testRunValues();
    const RecordHost host{1, 10, 0, 0};

    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file() && entry.path().extension() == ".evtx") files.push_back(entry.path());
    std::sort(files.begin(), files.end());

    std::map<int, int> checked;
    int oldLayout4661 = 0;
    auto check = [&](const SampleEvent& sample) {
        auto expected = kExpected.find(sample.eventId);
        if (expected == kExpected.end()) return;

        // The insertion strings are the record's strings; where libevtx
        // gives none, the EventData values in order.
        std::vector<std::string> strings = sample.strings;
        if (strings.empty())
            for (const auto& field : sample.fields) strings.push_back(field.second);
        auto event = collection_test::securityEvent(sample.eventId, strings,
                                                    sample.timeText.empty() ? "20240101000000.000000+000"
                                                                            : sample.timeText);
        EventRecord record;
        buildEventRecord(host, std::move(event), record, attributes, run);

        for (const auto& [attribute, dataName] : expected->second) {
            if (attribute == std::string("ACCESSES") && isObjectAccessEventId(sample.eventId)) continue;
            std::string value = "-";
            for (const auto& field : sample.fields)
                if (field.first == dataName) value = field.second;
            auto [field, size] = recordField(record, attribute);
            ASSERT_NE(field, nullptr) << attribute;
            std::string bounded;
            copyBounded(bounded, value.empty() ? "-" : value, size);
            // XML reading turns the strings' CR LF line ends into LF.
            EXPECT_EQ(withoutCarriageReturns(*field), withoutCarriageReturns(bounded))
                << sample.file << ": event " << sample.eventId << " of " << strings.size() << " strings "
                << attribute << " should be " << dataName;
        }
        ++checked[sample.eventId];
    };
    for (const auto& path : files) {
        for (const SampleEvent& sample : readEvtx(path)) {
            if (sample.channel != "Security") continue;
            check(sample);
            // Version 0 of 4661 has 16 strings: the same event without the
            // AccessReason that version 1 inserts at position 11.
            constexpr std::size_t kAccessReason = 10;
            if (sample.eventId == 4661 && sample.fields.size() == 17 && sample.strings.size() == 17 &&
                sample.fields[kAccessReason].first == "AccessReason") {
                SampleEvent older = sample;
                older.fields.erase(older.fields.begin() + kAccessReason);
                older.strings.erase(older.strings.begin() + kAccessReason);
                check(older);
                ++oldLayout4661;
            }
        }
    }
    setParserRules({});

    int total = 0;
    for (auto [id, count] : checked) total += count;
    std::printf("checked %d sample events of %zu ids\n", total, checked.size());
    EXPECT_GT(total, 2000);
    for (int id : {4624, 4625, 4634, 4647, 4648, 4672, 4656, 4658, 4660, 4661, 4663, 4688, 4720, 4726, 4728, 4732,
                   4733, 4738, 4776, 4778, 5140, 5145, 1102})
        EXPECT_GT(checked[id], 0) << "no sample event " << id << " was checked";
    EXPECT_GT(oldLayout4661, 0);
}

}  // namespace
