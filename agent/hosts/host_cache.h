// The monitored host cache: 25 fixed host slots filled from the server's
// host list, each with its credentials, collection state, collection timer
// and filter and notification rules.
//
// Threads. The main thread (start-up and the one-minute update poll) loads,
// changes and frees slots; the scheduler thread, the poll dispatcher and the
// collector threads read them, and a collector writes the fields of its run.
// Each slot has a guard (a mutex only ever held for a few field reads or
// writes, never across a server request or a collection run):
//  - the fields the main thread sets (names, credentials, interval, rules...)
//    change only under the guard, and only while no collection runs on the
//    slot; other threads read them under the guard (withHostSlot) unless they
//    are the collector that runs the slot;
//  - a collector marks its run with beginHostCollection and ends it with
//    endHostCollection. A change that arrives for a slot while its run is in
//    progress is fetched and built at once but kept aside, and installed by
//    endHostCollection, so the run never sees its slot or rule lists freed or
//    rewritten and the update poll never waits for a run to end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/hosts/host_rules.h"
#include "platform/wmi.h"

struct ResultData;

inline constexpr int MAX_HOSTS = 25;

// Text field sizes; a field holds at most size - 1 bytes.
inline constexpr std::size_t kHostNameFieldSize = 100;
inline constexpr std::size_t kHostDomainFieldSize = 100;
inline constexpr std::size_t kHostDisplayNameFieldSize = 250;
inline constexpr std::size_t kHostIpFieldSize = 50;
inline constexpr std::size_t kHostTypeFieldSize = 50;
inline constexpr std::size_t kHostUserFieldSize = 250;
inline constexpr std::size_t kHostPasswordFieldSize = 250;

struct HostSlot {
    std::int64_t hostId = 0;             // HOST_ID
    std::int8_t inUse = 0;
    std::string hostName;                // DNS_NAME: how the host is reached and named
    std::string domain;                  // DOMAIN_NAME, else DNS_NAME
    std::string displayName;             // HOST_NAME
    std::string ipAddress;               // HOST_IPADDRESS
    std::string type;                    // TYPE ("Windows")
    std::string userName;                // USERNAME
    std::string password;                // PASSWORD, decoded
    std::int16_t monInterval = -1;       // MON_INTERVAL, minutes; -1 = not set
    std::string lastMessageTimeText;     // WMI time text of the newest event collected
    // LAST_MSG_TIME, milliseconds since 1970. Kept as a double: a 32-bit
    // float cannot hold today's millisecond counts closer than about two
    // minutes, which would move the first query's start time.
    double lastMessageTime = 0;
    std::int64_t nextScanTime = 0;       // seconds since 1970
    std::int16_t status = 0;             // STATUS, host status code
    std::int16_t collectionEnabled = 0;  // LOG_COLLECTION_STATUS; 0 = disabled
    std::int16_t collectionInProgress = 0;
    std::int32_t timerEntryId = -1;      // entry in scheduler "DEFAULT"; -1 = none
    std::int16_t collected = 0;          // used by the collection run
    std::vector<FilterRule> filters;               // newest first
    std::vector<NotificationRule> notifications;   // newest first
    platform::wmi::ServicesPtr wmiServices;        // used by the collection run
    std::int16_t majorVersion = -1;      // -1 = not read yet
    std::int16_t minorVersion = -1;
    std::int32_t timeZoneDiff = 0;       // seconds
    std::int32_t lastTimeUpdated = 0;    // set once a run wrote lastMessageTimeText
    // lastMessageTimeText is the start of a query that found nothing (taken
    // from LAST_MSG_TIME), not an event's time: the next query starts after
    // it, as that one did, instead of asking for its second again.
    bool lastTimeTextIsQueryStart = false;
    // The events already taken in the second of lastMessageTimeText, as
    // "Logfile\nRecordNumber": the next run asks from that second on and
    // skips them, so events written later in the same second are collected
    // and none twice.
    std::vector<std::string> lastSecondEvents;
};

// Slot 0 to 24.
HostSlot& hostSlot(int index);
int hostSlotIndex(const HostSlot& slot);

// ownHostId: the host id of the slot whose address is the agent's own; 0 until loaded.
std::int64_t ownHostId();
// The host window of the last full load (60 s, or 600 / n above 10 hosts).
std::int32_t hostWindow();

void initHostCache();
// Loads the host list and arms the hosts' timers. A second row with a host
// id already loaded is refused with a log line.
void loadAllHosts();
// True after a loadAllHosts that could not fetch or read the host list; the
// update poll then loads it again.
bool hostListPending();
// The slot in use with this host id, else the first free slot, else none
// (after "\n MAX_HOSTS reached. ").
HostSlot* findHostSlot(std::int64_t hostId);
// The slot in use with this host id, or none (no message).
HostSlot* findMonitoredHost(std::int64_t hostId);
void fillHostFromHostsRow(HostSlot& slot, const ResultData* hostsRow);
void fillHostDetails(HostSlot& slot, const ResultData* detailsRow);
// Base64 text -> the server's scrambled bytes -> the plain password, in place.
void decodeHostPassword(std::string& field);
bool isWindowsHost(const ResultData* detailsRow);
void printHostDetails(const HostSlot& slot);
// Frees a slot in use: its rules, its timer, its texts. When its collection
// is running the slot is freed as soon as the run ends (the timer goes now).
void deleteHost(HostSlot& slot);
// Frees every slot in use (the stop path).
void deleteAllHosts();
// Re-fetches one host: installs, changes or deletes it.
void updateHost(std::int64_t hostId);

// What a host's collection timer calls when it fires, with the slot number:
// the collection registers it before hosts are loaded. Without one the
// timers are armed and fire without effect.
using HostTimerCallback = std::function<void(std::int32_t slotNumber)>;
void setHostTimerCallback(HostTimerCallback fired);
// next scan time := now + MON_INTERVAL minutes. The Held form is for a
// caller that holds the slot's guard; the other takes it.
void setNextScanTimeHeld(HostSlot& slot);
void setNextScanTime(HostSlot& slot);

// Runs fn with the slot's guard held (fn must not block or call the server).
void withHostSlot(HostSlot& slot, const std::function<void(HostSlot&)>& fn);
// A collector's run: false (nothing marked) when the slot is free. Sets the
// collection in progress flag under the guard.
bool beginHostCollection(HostSlot& slot);
// Installs the changes that arrived during the run, then clears the flag.
void endHostCollection(HostSlot& slot);
bool hostCollectionInProgress(HostSlot& slot);
