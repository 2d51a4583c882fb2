#include "agent/fim/fresh_install.h"

#include <cstdint>
#include <string>

#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "agent/tablestore/imds.h"
#include "common/log.h"
#include "platform/clock.h"

bool checkFreshInstall() {
    platform::sleepMillis(20000);
    LogInfo("\n Check for Fresh install");
    FetchTableData(RequestUrl<Request::IsInstall>(AgentId()));
    bool installSeen = false;
    bool idSeen = false;
    ResultHandle rows = SelectRows("SLUPDATE", nullptr);
    while (rows && GotoNextRowObject(rows) != nullptr) {
        int length = 0;
        const void* type = GetColumnValueByName("SERVICETYPE", &length, rows);
        if (type != nullptr && length > 0) {
            std::string text(static_cast<const char*>(type),
                             static_cast<std::size_t>(length));
            text = text.c_str();  // up to the terminator the store keeps
            if (!text.empty()) {
                LogInfo("\n Service type is %s", text.c_str());
                if (text == "AGENT_INSTALL") installSeen = true;
            }
        }
        std::int64_t id = 0;
        const void* idValue = GetColumnValueByName("SERVICEID", &length, rows);
        if (idValue != nullptr && ReadColumnInt64(idValue, length, &id) && id != 0) {
            LogInfo("\n Service type is %d", static_cast<int>(id));
            if (id == AgentId()) idSeen = true;
        }
    }
    FreeResultData(rows);
    DeleteAllTableRowObjects("SLUPDATE");
    return installSeen && idSeen;
}
