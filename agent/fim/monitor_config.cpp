#include "agent/fim/monitor_config.h"

#include <atomic>
#include <vector>

#include "agent/fim/file_attributes.h"
#include "agent/fim/fim_datasets.h"
#include "agent/fim/fim_tables.h"
#include "agent/fim/local_paths.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace {

std::atomic<void (*)(char)> g_startDriveMonitor{nullptr};

constexpr const char* kAgentRequestTable = "FIM_AgentRequest";
constexpr const char* kTemplateRequestTable = "FIM_TemplateRequest";
constexpr const char* kAgentExcludeTable = "FIM_AgentExclude";
constexpr const char* kTemplateExcludeTable = "FIM_TemplateExclude";

bool hasRows(const ResultHandle& rows) { return rows && !rows->rows.empty(); }

void emptyRequestTables() {
    for (const char* table : {kAgentRequestTable, kTemplateRequestTable, kAgentExcludeTable,
                              kTemplateExcludeTable})
        DeleteAllTableRowObjects(table);
}

void fetchRequestTables() {
    FetchTableData(RequestUrl<Request::MonitorRequestsAgent>(AgentId()));
    FetchTableData(RequestUrl<Request::MonitorRequestsTemplate>(AgentId()));
}

// The include locations of both request tables (agent rows first, so an
// agent location keeps its identifiers over a template one of the same path).
LocationMap readIncludes(const ResultHandle& agentRows, const ResultHandle& templateRows) {
    LocationMap includes;
    while (agentRows && GotoNextRowObject(agentRows) != nullptr) {
        if (!columnText(agentRows, "CHECKSUM").empty()) setChecksumSwitch();
        const std::string location = columnText(agentRows, "INCL_LOC");
        if (location.empty()) continue;
        includes.emplace(normaliseLocation(location),
                         LocationIds{columnInt64(agentRows, "LOC_ID"), 0});
    }
    while (templateRows && GotoNextRowObject(templateRows) != nullptr) {
        const std::string location = columnText(templateRows, "INCL_LOC");
        if (location.empty()) continue;
        includes.emplace(normaliseLocation(location),
                         LocationIds{0, columnInt64(templateRows, "LOC_ID")});
    }
    return includes;
}

std::vector<std::string> readExcludes(const ResultHandle& agentRows,
                                      const ResultHandle& templateRows) {
    std::vector<std::string> excludes;
    for (const ResultHandle* rows : {&agentRows, &templateRows}) {
        while (*rows && GotoNextRowObject(*rows) != nullptr) {
            const std::string location = columnText(*rows, "EXCL_LOC");
            if (!location.empty()) excludes.push_back(normaliseLocation(location));
        }
    }
    return excludes;
}

// A key/value question: a transport failure fails, an empty answer stores
// nothing, otherwise the first line is stored when its key is the expected one.
bool askKeyValue(const std::string& url, const char* key, const char* answerMessage) {
    ResponseBuffer response;
    if (HttpGetToBuffer(url, response) != 0) {
        LogError("\n Error while registering.");
        return false;
    }
    if (response.data.empty()) return true;
    if (answerMessage != nullptr) LogInfo(answerMessage, response.data.c_str());
    StoreKeyValueAnswer(response.data, key);
    return true;
}

void startDriveMonitor(char letter) {
    if (auto start = g_startDriveMonitor.load()) start(letter);
}

// A known location is matched by its identifiers; a location whose
// identifiers are known but whose path is no longer in the rules has moved
// on the server and is treated as new, so it goes on being watched.
bool knownLocation(const MonitorRules& rules, const std::string& path, const LocationIds& ids) {
    bool idsKnown = false;
    for (const auto& [mapPath, mapIds] : rules.locations) {
        LogInfo("\n HU Map filename is %s and loc_id is %lld and templ_id is %lld ",
                mapPath.c_str(), static_cast<long long>(mapIds.locId),
                static_cast<long long>(mapIds.templId));
        if ((mapIds.locId == ids.locId && mapIds.templId == 0) ||
            (mapIds.locId == 0 && mapIds.templId == ids.templId))
            idsKnown = true;
    }
    if (!idsKnown) return false;
    return rules.monitorFiles.count(path) != 0 || rules.monitorDirs.count(path) != 0;
}

void updateExcludes(MonitorRules& rules, const std::vector<std::string>& excludes) {
    const std::set<std::string> fresh(excludes.begin(), excludes.end());
    for (const std::string& path : fresh) {
        const auto& ignoreSet = locationIsDirectory(path) ? rules.ignoreDirs : rules.ignoreFiles;
        if (ignoreSet.count(path) != 0) continue;
        addExcludeLocation(path);
        LogInfo("\n %s added in Exclude List", path.c_str());
    }
    for (auto* set : {&rules.ignoreFiles, &rules.ignoreDirs}) {
        const std::vector<std::string> current(set->begin(), set->end());
        for (const std::string& path : current) {
            if (fresh.count(path) != 0) continue;
            set->erase(path);
            LogInfo("\n %s removed from Exclude Monitoring", path.c_str());
        }
    }
}

void updateIncludes(MonitorRules& rules, const LocationMap& includes) {
    for (const auto& [path, ids] : includes) {
        LogInfo("\n HU filename is %s and loc_id is %lld and templ_id is %lld", path.c_str(),
                static_cast<long long>(ids.locId), static_cast<long long>(ids.templId));
        if (knownLocation(rules, path, ids)) continue;
        if (rules.drives.empty()) rules.firstConfiguration = true;
        const bool newDrive = addMonitorLocation(path);
        rules.locations.emplace(path, ids);
        if (newDrive && !rules.firstConfiguration) {
            const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
            rules.newDrives.insert(letter);
            LogInfo("\n New Drive %c added for Monitoring!!", letter);
        }
        if (!rules.firstConfiguration) rules.newLocations.insert(path);
        LogInfo("\n %s added for Monitoring", path.c_str());
    }
    for (auto* set : {&rules.monitorFiles, &rules.monitorDirs}) {
        const std::vector<std::string> current(set->begin(), set->end());
        for (const std::string& path : current) {
            if (includes.count(path) != 0) continue;
            set->erase(path);
            rules.locations.erase(path);
            LogInfo("\n %s removed from Monitoring", path.c_str());
        }
    }
}

void handleUpdates() {
    ResultHandle agentRows = SelectRows(kAgentRequestTable, nullptr);
    ResultHandle templateRows = SelectRows(kTemplateRequestTable, nullptr);
    ResultHandle agentExcludes = SelectRows(kAgentExcludeTable, nullptr);
    ResultHandle templateExcludes = SelectRows(kTemplateExcludeTable, nullptr);
    if (!hasRows(agentRows) && !hasRows(templateRows)) {
        LogInfo("\n No Updates for Agent: %lld", static_cast<long long>(AgentId()));
        LogInfo("\n No FIM requests for Agent: %lld", static_cast<long long>(AgentId()));
        LogInfo("\n Check with server if FIM requests have been deleted..");
        if (queryFimRequestsDeleted() &&
            GetAgentSetting("FIMREQUESTS_DELETED").value_or("") == "YES") {
            std::lock_guard lock(rulesLock());
            MonitorRules& rules = monitorRules();
            rules.monitorFiles.clear();
            rules.monitorDirs.clear();
            rules.ignoreFiles.clear();
            rules.ignoreDirs.clear();
            rules.locations.clear();
            LogInfo("\n Cleared FIM requests!!!");
        }
        return;
    }
    LogInfo("\n in Handle Updates....");
    std::lock_guard lock(rulesLock());
    MonitorRules& rules = monitorRules();
    const LocationMap includes = readIncludes(agentRows, templateRows);
    const bool excludeRowsCame = hasRows(agentExcludes) || hasRows(templateExcludes);
    const std::vector<std::string> excludes = readExcludes(agentExcludes, templateExcludes);
    if (excludeRowsCame) updateExcludes(rules, excludes);
    if (includes.empty()) {
        LogInfo("\n No updates..");
        return;
    }
    updateIncludes(rules, includes);
    if (!rules.newLocations.empty()) {
        LogInfo("\n New Data found...");
        buildNewLocationsBaseData();
        rules.newLocations.clear();
    }
    for (char letter : rules.newDrives) startDriveMonitor(letter);
    rules.newDrives.clear();
    if (rules.firstConfiguration) {
        for (const std::string& drive : rules.drives) startDriveMonitor(drive[0]);
        handOverBaseBuild();
        rules.firstConfiguration = false;
    }
}

}  // namespace

MonitorRules& monitorRules() {
    static MonitorRules rules;
    return rules;
}

bool checksumWanted() { return checksumSwitch(); }

void setDriveMonitorStarter(void (*start)(char)) { g_startDriveMonitor = start; }

std::string normaliseLocation(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            if (++i >= text.size()) break;
        }
        const char c = text[i];
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

bool locationIsDirectory(const std::string& path) {
    std::string local;
    if (!fimLocalPath(path, &local)) return false;
    platform::FileStatus status;
    return platform::fileStatus(local, &status) == 0 && status.directory;
}

bool addMonitorLocation(const std::string& path) {
    if (path.empty()) return false;
    MonitorRules& rules = monitorRules();
    const std::string drive(1, static_cast<char>(std::toupper(static_cast<unsigned char>(path[0]))));
    bool newDrive = false;
    {
        std::lock_guard driveLock(driveSetLock());
        newDrive = rules.drives.insert(drive).second;
    }
    (locationIsDirectory(path) ? rules.monitorDirs : rules.monitorFiles).insert(path);
    return newDrive;
}

void addExcludeLocation(const std::string& path) {
    if (path.empty()) return;
    MonitorRules& rules = monitorRules();
    (locationIsDirectory(path) ? rules.ignoreDirs : rules.ignoreFiles).insert(path);
}

// A location is looked up in the set of its kind first, then in the other
// one: a folder that has been deleted on disk now reads as a file, and must
// still leave the rules.
void removeMonitorLocation(const std::string& path) {
    MonitorRules& rules = monitorRules();
    const bool dir = locationIsDirectory(path);
    for (auto* set : {dir ? &rules.monitorDirs : &rules.monitorFiles,
                      dir ? &rules.monitorFiles : &rules.monitorDirs}) {
        if (set->erase(path) != 0) {
            rules.locations.erase(path);
            return;
        }
    }
}

void removeExcludeLocation(const std::string& path) {
    MonitorRules& rules = monitorRules();
    const bool dir = locationIsDirectory(path);
    if (rules.ignoreDirs.count(path) != 0 && (dir || rules.ignoreFiles.count(path) == 0))
        rules.ignoreDirs.erase(path);
    else
        rules.ignoreFiles.erase(path);
}

void loadMonitorRequests() {
    fetchRequestTables();
    applyMonitorRequests();
}

void applyMonitorRequests() {
    ResultHandle agentRows = SelectRows(kAgentRequestTable, nullptr);
    ResultHandle templateRows = SelectRows(kTemplateRequestTable, nullptr);
    if (!hasRows(agentRows) && !hasRows(templateRows)) {
        LogInfo("\n No data found for Monitor requests for Agent: %lld",
                static_cast<long long>(AgentId()));
    } else {
        ResultHandle agentExcludes = SelectRows(kAgentExcludeTable, nullptr);
        ResultHandle templateExcludes = SelectRows(kTemplateExcludeTable, nullptr);
        std::lock_guard lock(rulesLock());
        MonitorRules& rules = monitorRules();
        for (const auto& [path, ids] : readIncludes(agentRows, templateRows)) {
            addMonitorLocation(path);
            rules.locations.emplace(path, ids);
        }
        for (const std::string& path : readExcludes(agentExcludes, templateExcludes))
            addExcludeLocation(path);
    }
    emptyRequestTables();
    printMonitorLists();
}

void printMonitorLists() {
    LogInfo("\n***********************");
    LogInfo("\n Files/Folders configured for Monitoring");
    LogInfo("\n***********************");
    std::lock_guard lock(rulesLock());
    const MonitorRules& rules = monitorRules();
    for (const std::string& path : rules.ignoreFiles) LogInfo("\n Ignore File: %s", path.c_str());
    for (const std::string& path : rules.ignoreDirs) LogInfo("\n Ignore Dir: %s", path.c_str());
    for (const std::string& path : rules.monitorFiles) LogInfo("\n Monitor File: %s", path.c_str());
    for (const std::string& path : rules.monitorDirs) LogInfo("\n Monitor Dir: %s", path.c_str());
}

bool queryBaseConfig() {
    LogInfo("\nprinting BAse config data");
    return askKeyValue(RequestUrl<Request::BaseConfig>(AgentId()), "BASECONFIG",
                       "\nBAse config data: %s");
}

bool queryFimRequestsDeleted() {
    return askKeyValue(RequestUrl<Request::FimRequests>(AgentId()), "FIMREQUESTS_DELETED",
                       "\nFIM requests deleted?: %s");
}

void loadBaseConfiguration() {
    int retries = 0;
    while (!queryBaseConfig()) {
        platform::sleepMillis(60000);
        ++retries;
        if (retries % 5 == 0) LogInfo("\n Retrying fetching BASE CONFIG %d", retries);
    }
    const auto state = GetAgentSetting("BASECONFIG");
    if (!state) return;
    if (*state == "INITIALIZED") {
        LogInfo("\n BASECONFIG already initialized Server!!");
    } else if (*state == "UNINITIALIZED") {
        LogInfo("\n Creating Base Configuration...");
        handOverBaseBuild();
    }
}

void refreshMonitorRequests() {
    if (!ServerIsUp()) return;
    fetchRequestTables();
    handleUpdates();
    emptyRequestTables();
    LogInfo("\nMonitorLists Updated...");
}

void resetMonitorRulesForTests() {
    std::lock_guard lock(rulesLock());
    monitorRules() = MonitorRules{};
    resetChecksumSwitch();
}
