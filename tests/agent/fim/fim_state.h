// The agent state every file integrity test starts from, on every system:
// the settings' database flag, an open store with its tables, and empty
// rules and change lists. Call from SetUp and TearDown.
#pragma once

#include <gtest/gtest.h>

#include "agent/fim/change_detect.h"
#include "agent/fim/change_store.h"
#include "agent/fim/monitor_config.h"
#include "agent/settings/settings.h"
#include "agent/store/event_store.h"

inline void startFimState() {
    PutAgentSetting("ServerDBType", "");
    SetDatabaseFlag();
    ASSERT_EQ(openEventStore(), 1);
    ASSERT_TRUE(createEventTables());
    resetMonitorRulesForTests();
    resetChangeListsForTests();
    resetChangeStoreForTests();
}

inline void endFimState() {
    resetMonitorRulesForTests();
    resetChangeListsForTests();
    closeEventStore();
}
