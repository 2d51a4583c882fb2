// Matching of collected events against their host's rules: the filters drop
// unwanted events before they are stored, the notification rules mark an
// event with the ids of the alerts it triggers.
//
// Both walk the host's rule lists in their order (newest first). They run on
// the collector thread that collects the host, while the host cache keeps
// every rule change away from the lists until the run has ended, so the
// occurrence state of the notification rules needs no lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct EventRecord;
struct HostSlot;
struct NotificationRule;

// The notified-ids text holds at most this many characters.
inline constexpr std::size_t kNotifiedIdsMaxLength = 99;

// True when the record is to be dropped.
bool applyFilters(HostSlot& slot, const EventRecord& record);
// Sets the record's notified ids ("id,id,"); call it for every kept record.
void applyNotifications(HostSlot& slot, EventRecord& record);

// Whether text contains value, ignoring the case of ASCII letters.
bool containsIgnoringCase(std::string_view text, std::string_view value);
// The occurrence test of a rule whose type and expressions matched an event
// at eventTime (updates the rule's counter and occurrence list).
bool occurrenceTest(NotificationRule& rule, std::int32_t eventTime);
