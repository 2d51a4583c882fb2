// The event data transfer: every 180 s the current snapshot's aggregate is
// appended to serverdata/aggregate, serverdata/ is zipped into
// "logdata_<agent id>.zip" and uploaded to agentUpload, and the files that
// went into the zip are deleted once the upload succeeded; collection goes
// on during the upload.
#pragma once

#include <mutex>

// Creates the 180-second transfer timer in the scheduler "DEFAULT"; 1 on
// success, 0 when the entry could not be made.
int scheduleTransfer();

// The timer's callback; the stop path calls it once directly. Hands the
// transfer to the transfer worker (transfer_pipeline.h), which runs it on its
// own thread; refused while an event batch still waits there. The batch holds
// eventDataMutex (and the drive-set lock when one is registered) while the
// data files are rotated and zipped; the files of the zip wait in
// "serverdata/sending/" during the upload, which runs without the locks, and
// go back into serverdata/ (before the newer data) when it fails.
void transferEventData(void* userArgument = nullptr);

// The file-integrity drive-set lock, taken by the transfer after
// eventDataMutex. Registered by the file-integrity module at start-up; none
// until then.
void setTransferDriveSetLock(std::mutex* driveSetLock);
