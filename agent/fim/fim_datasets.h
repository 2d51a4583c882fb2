// The attribute data sets of file integrity monitoring: base (every
// monitored location once), periodic (every six hours), new (items created or
// renamed since the last run), their jobs and transfers.
#pragma once

// Collects the attributes of every monitored location and everything below
// it, stores them and runs baseTransfer. Takes rulesLock for its whole run.
void buildBaseDataSet();
// The base data of the locations an update added (the new-location set of
// the MonitorRules); runs baseTransfer. Called with rulesLock held; the
// caller empties the set afterwards.
void buildNewLocationsBaseData();
// The six-hourly collection of the same attributes; runs periodicTransfer.
void periodicJob();
// Collects the attributes of the NewItemList entries; runs newDataTransfer.
void newDataJob();
// Schedules the periodic and the new-data job in the scheduler "DEFAULT".
void scheduleFimJobs();
// Export, zip and upload of each attribute data set.
void baseTransfer();
void periodicTransfer();
void newDataTransfer();
