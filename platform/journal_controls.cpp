// The typed journal calls: each one is a single control code through the
// backend's deviceIoControl, so both systems share them.
#include "platform/journal.h"

namespace platform {

long queryUsnJournal(const VolumeHandle& volume, UsnJournalData* data) {
    if (!data) return kErrorInvalidParameter;
    std::uint32_t returned = 0;
    return deviceIoControl(volume, kFsctlQueryUsnJournal, nullptr, 0, data, sizeof *data, &returned);
}

long createUsnJournal(const VolumeHandle& volume, const CreateUsnJournalData& data) {
    std::uint32_t returned = 0;
    return deviceIoControl(volume, kFsctlCreateUsnJournal, &data, sizeof data, nullptr, 0, &returned);
}

long deleteUsnJournal(const VolumeHandle& volume, const DeleteUsnJournalData& data) {
    std::uint32_t returned = 0;
    return deviceIoControl(volume, kFsctlDeleteUsnJournal, &data, sizeof data, nullptr, 0, &returned);
}

long readUsnJournal(const VolumeHandle& volume, const ReadUsnJournalData& in, void* out, std::uint32_t outSize,
                    std::uint32_t* bytesReturned) {
    return deviceIoControl(volume, kFsctlReadUsnJournal, &in, sizeof in, out, outSize, bytesReturned);
}

long enumUsnData(const VolumeHandle& volume, const MftEnumData& in, void* out, std::uint32_t outSize,
                 std::uint32_t* bytesReturned) {
    return deviceIoControl(volume, kFsctlEnumUsnData, &in, sizeof in, out, outSize, bytesReturned);
}

}  // namespace platform
