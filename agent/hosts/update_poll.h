// The one-minute configuration update poll: the server lists the hosts,
// filters and alerts that changed (table SLUPDATE), and each change is
// re-fetched for its host alone.
#pragma once

#include <functional>

// One poll: fetch SLUPDATE, apply its rows, empty it, then let the file
// integrity configuration refresh its monitor requests.
void pollConfigurationUpdates();
// Applies the SLUPDATE rows now loaded, in table order.
void applyServiceUpdates();

// The monitor-request refresh run at the end of every poll (none until the
// file integrity module installs one).
void setMonitorRequestsRefresh(std::function<void()> refresh);
