// The fresh-installation check of start-up: the server tells whether this
// agent was installed anew, in which case the change journals and journal
// databases of an earlier installation are removed.
#pragma once

// Waits 20 s, asks the server (isInstall) and answers true when its SLUPDATE
// rows name both "AGENT_INSTALL" and this agent's id.
bool checkFreshInstall();
