// The attribute data sets of file integrity monitoring: base (every
// monitored location once), periodic (every six hours), new (items created or
// renamed since the last run), their jobs and transfers.
#pragma once

// Collects the attributes of every monitored location and everything below
// it, stores them and runs baseTransfer, on the caller's thread. Reads the
// locations under rulesLock and empties the new-location set (the build
// covers them), then collects without it.
void buildBaseDataSet();
// The same build on the file worker, for the locations of now.
void handOverBaseBuild();
// Hands the base data of the locations an update added (the new-location set
// of the MonitorRules, read now) to the file worker; it runs baseTransfer.
// The caller, holding rulesLock, empties the set afterwards.
void buildNewLocationsBaseData();
// The six-hourly collection of the same attributes; runs periodicTransfer.
void periodicJob();
// Collects the attributes of the NewItemList entries; runs newDataTransfer.
void newDataJob();
// Schedules the periodic and the new-data job in the scheduler "DEFAULT";
// its entries hand them to the file worker.
void scheduleFimJobs();
// Export, zip and upload of each attribute data set.
void baseTransfer();
void periodicTransfer();
void newDataTransfer();
