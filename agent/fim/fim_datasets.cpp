// Placeholders until the attribute collection is in: the callers already
// reach these at the moments the data sets are built and sent.
#include "agent/fim/fim_datasets.h"

void buildBaseDataSet() {}
void buildNewLocationsBaseData() {}
void periodicJob() {}
void newDataJob() {}
void scheduleFimJobs() {}
void baseTransfer() {}
void periodicTransfer() {}
void newDataTransfer() {}
