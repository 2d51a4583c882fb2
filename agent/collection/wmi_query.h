// One collection run of one Windows host over WMI.
//
// A collector thread calls collectHostEvents for the host it was handed: the
// run connects to the host's root\cimv2 namespace (with the ladder of retries
// the WMI service needs for local hosts and older systems), learns the host's
// Windows version once, asks for every Win32_NTLogEvent newer than the host's
// last message time, builds and matches a record for each event and writes
// the kept records in buffers of 300 under the event data mutex to the event
// store and the raw-log file. At the end it moves the host's last message time
// to the newest event's TimeWritten and sets the host's status code.
#pragma once

#include <cstdint>
#include <string>

#include "platform/wmi.h"

struct HostSlot;
struct CollectorSlot;

// Kept records written out at a time.
inline constexpr int kEventBufferSize = 300;
// Oldest start of a first query: three days before now.
inline constexpr std::int64_t kMaxQueryAgeSeconds = 259200;
// Next's time-out, and the consecutive time-outs after which a run gives up.
inline constexpr std::int32_t kEnumerationTimeoutMillis = 500;
inline constexpr int kMaxConsecutiveTimeouts = 2000;

// The collection run. 1 when the run ended without a COM failure,
// 0x80004005 after one, 0 when collection is disabled for the host, -1 when
// COM security or the WMI locator could not be set up (STATUS unchanged).
int collectHostEvents(HostSlot& host, CollectorSlot& collector);

// The start of the event query as a WMI time text ("" = every event): one
// second before the host's last message time text once a run has written it
// (so its second is asked for again; the text itself when it is the start of
// an earlier query that found nothing), else
// LAST_MSG_TIME limited to three days before `now`, in the agent's local time
// with its UTC offset in minutes ("+330", "-300"); for hosts of major version
// 6 in the host's own zone (its time-zone difference as the offset).
std::string queryStartTime(const HostSlot& host, std::int64_t now);
// A WMI time text one second earlier, with the same fraction and offset.
std::string secondBefore(const std::string& timeText);
// "Select * from Win32_NTLogEvent where TimeGenerated > '<start>'", or the
// query without condition when start is empty.
std::string eventQueryText(const std::string& startText);

// The host status code of a run's last COM result (2 access denied ... 23 RPC
// server unavailable, 15 for anything else).
std::int16_t hostStatusFromResult(platform::wmi::HResult result);

// Start-up: points the WMI service at the simulated hosts' folder (REG_SZ
// WmiHostsDir under the agent key; default: the install directory's
// "wmi-hosts/"), names the agent's own host and sends the service's
// diagnostics to the agent log. Call after the agent's host name is known.
void configureWmiHosts();
