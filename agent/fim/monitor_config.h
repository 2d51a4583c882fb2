// The file integrity monitor configuration: the locations the server wants
// watched or ignored, turned into the MonitorRules that every change is
// checked against, the DriveSet of volumes to watch, and the refresh of all
// of it on every configuration poll.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "agent/fim/fim_locks.h"

// Identifiers of a monitored location: (LOC_ID, 0) for an agent request,
// (0, the template row's LOC_ID) for a template request.
struct LocationIds {
    std::int64_t locId = 0;
    std::int64_t templId = 0;
};
// The identifier a location is reported under: LOC_ID, else TEMPL_ID.
inline std::int64_t reportedLocationId(const LocationIds& ids) {
    return ids.locId != 0 ? ids.locId : ids.templId;
}

// Normalised path -> identifiers. Inserting a path already present keeps the
// existing value (use insert/emplace, never operator[] for that).
using LocationMap = std::map<std::string, LocationIds>;
// Upper-cased drive letters of every monitor location, as one-character texts.
using DriveSet = std::set<std::string>;

// All paths are normalised (UTF-8, ASCII lower case); sets are in ascending
// byte order.
struct MonitorRules {
    std::set<std::string> monitorFiles;
    std::set<std::string> monitorDirs;
    std::set<std::string> ignoreFiles;
    std::set<std::string> ignoreDirs;
    LocationMap locations;
    DriveSet drives;
    // Paths added by an update, waiting for their base data (emptied by the
    // base build and by the update handling).
    std::set<std::string> newLocations;
    // Drive letters added by an update, waiting for a monitor.
    std::set<char> newDrives;
    // Set when an update adds locations while the DriveSet is empty.
    bool firstConfiguration = false;
};

// The process-wide rules. Read and change them only while holding rulesLock().
MonitorRules& monitorRules();

// Whether any agent request asked for checksums (never turned off).
bool checksumWanted();

// A location text from the server: every backslash is removed and the
// character after it kept ("c:\\\\data" -> "c:\\data", "e:\\data" -> "e:data"),
// then ASCII letters are lower-cased.
std::string normaliseLocation(std::string_view text);

// Whether a location names an existing directory (anything else, including a
// path that does not exist, is a file).
bool locationIsDirectory(const std::string& path);

// Rule changes; the caller holds rulesLock().
// Adds to the monitor set of its kind; true when its drive was new.
bool addMonitorLocation(const std::string& path);
void addExcludeLocation(const std::string& path);
void removeMonitorLocation(const std::string& path);
void removeExcludeLocation(const std::string& path);

// Start-up: fetches the agent and template requests and builds the rules,
// then prints them.
void loadMonitorRequests();
// The start-up rules built from the request tables as they are loaded; the
// tables are emptied and the rules printed.
void applyMonitorRequests();
void printMonitorLists();
// Start-up: asks for the base configuration state until the server answers
// (every 60 s) and builds the base data set when the server has none.
void loadBaseConfiguration();
// Key/value questions to the server; false on a transport failure.
bool queryFimRequestsDeleted();
bool queryBaseConfig();
// The configuration poll's refresh (only while the server is up).
void refreshMonitorRequests();

// How a drive monitor is started for a drive added by an update (a thread
// running StartJournal); installed by the volume monitors.
void setDriveMonitorStarter(void (*start)(char driveLetter));

// Tests: empties the rules and the checksum switch.
void resetMonitorRulesForTests();
