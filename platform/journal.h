// The update sequence number (USN) change journal of a volume, driven the way
// the Windows I/O controls drive it: a volume handle opened by device path,
// the control codes' input and output structures in their Windows byte
// layouts, the records as USN_RECORD_V2 bytes in the caller's buffer, and
// Windows result codes (0 is success; otherwise the value GetLastError()
// gives after the failed call).
//
// Windows backend (win32/journal.cpp): CreateFileW, DeviceIoControl,
// GetVolumeInformationW and GetFileInformationByHandle.
//
// POSIX backend (posix/journal*.cpp): a drive letter names a directory
// (platform/volumes.h); its journal is a file under the journal folder kept by
// this process. While a handle on the volume is open a watcher (fanotify on
// the whole file system as root, a recursive inotify watcher otherwise)
// appends records as NTFS writes them: reasons accumulate per item and a last
// record with USN_REASON_CLOSE ends each change. Changes made while no handle
// was open are found by a walk when the volume is opened again and appended,
// closed, before any live record.
//
// The record decoding and building functions at the end are plain functions
// over bytes, the same on both systems, so tests build records in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace platform {

// ------------------------------------------------------------ result codes
// (kErrorFileNotFound 2, kErrorAccessDenied 5, kErrorInvalidHandle 6 and
// kErrorInvalidParameter 87 come from platform/errors.h.)
constexpr long kErrorHandleEof = 38;                  // ERROR_HANDLE_EOF: an enumeration has ended
constexpr long kErrorInsufficientBuffer = 122;        // the output buffer cannot hold one record
constexpr long kErrorJournalDeleteInProgress = 1178;  // ERROR_JOURNAL_DELETE_IN_PROGRESS
constexpr long kErrorJournalNotActive = 1179;         // ERROR_JOURNAL_NOT_ACTIVE
constexpr long kErrorJournalEntryDeleted = 1181;      // ERROR_JOURNAL_ENTRY_DELETED

// ------------------------------------------------------------ control codes
constexpr std::uint32_t kFsctlQueryUsnJournal = 0x000900F4;
constexpr std::uint32_t kFsctlCreateUsnJournal = 0x000900E7;
constexpr std::uint32_t kFsctlDeleteUsnJournal = 0x000900F8;
constexpr std::uint32_t kFsctlReadUsnJournal = 0x000900BB;
constexpr std::uint32_t kFsctlEnumUsnData = 0x000900B3;

// ------------------------------------------------------------ reasons, flags
constexpr std::uint32_t kUsnReasonDataOverwrite = 0x00000001;
constexpr std::uint32_t kUsnReasonDataExtend = 0x00000002;
constexpr std::uint32_t kUsnReasonDataTruncation = 0x00000004;
constexpr std::uint32_t kUsnReasonNamedDataOverwrite = 0x00000010;
constexpr std::uint32_t kUsnReasonNamedDataExtend = 0x00000020;
constexpr std::uint32_t kUsnReasonNamedDataTruncation = 0x00000040;
constexpr std::uint32_t kUsnReasonFileCreate = 0x00000100;
constexpr std::uint32_t kUsnReasonFileDelete = 0x00000200;
constexpr std::uint32_t kUsnReasonEaChange = 0x00000400;
constexpr std::uint32_t kUsnReasonSecurityChange = 0x00000800;
constexpr std::uint32_t kUsnReasonRenameOldName = 0x00001000;
constexpr std::uint32_t kUsnReasonRenameNewName = 0x00002000;
constexpr std::uint32_t kUsnReasonIndexableChange = 0x00004000;
constexpr std::uint32_t kUsnReasonBasicInfoChange = 0x00008000;
constexpr std::uint32_t kUsnReasonHardLinkChange = 0x00010000;
constexpr std::uint32_t kUsnReasonCompressionChange = 0x00020000;
constexpr std::uint32_t kUsnReasonEncryptionChange = 0x00040000;
constexpr std::uint32_t kUsnReasonObjectIdChange = 0x00080000;
constexpr std::uint32_t kUsnReasonReparsePointChange = 0x00100000;
constexpr std::uint32_t kUsnReasonStreamChange = 0x00200000;
constexpr std::uint32_t kUsnReasonClose = 0x80000000;

constexpr std::uint32_t kUsnDeleteFlagDelete = 1;  // DeleteFlags of DeleteUsnJournalData
constexpr std::uint32_t kUsnDeleteFlagNotify = 2;

constexpr std::uint32_t kFileAttributeReadonly = 0x01;
constexpr std::uint32_t kFileAttributeHidden = 0x02;
constexpr std::uint32_t kFileAttributeDirectory = 0x10;
constexpr std::uint32_t kFileAttributeArchive = 0x20;
constexpr std::uint32_t kFileAttributeNormal = 0x80;
constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;

// ------------------------------------------------------------ structures
// Byte for byte the Windows layouts (little-endian, natural alignment).

struct UsnJournalData {          // USN_JOURNAL_DATA (version 0), 56 bytes
    std::uint64_t UsnJournalID;
    std::int64_t FirstUsn;
    std::int64_t NextUsn;
    std::int64_t LowestValidUsn;
    std::int64_t MaxUsn;
    std::uint64_t MaximumSize;
    std::uint64_t AllocationDelta;
};
struct CreateUsnJournalData {    // CREATE_USN_JOURNAL_DATA, 16 bytes
    std::uint64_t MaximumSize;
    std::uint64_t AllocationDelta;
};
struct DeleteUsnJournalData {    // DELETE_USN_JOURNAL_DATA, 16 bytes
    std::uint64_t UsnJournalID;
    std::uint32_t DeleteFlags;
    std::uint32_t Padding;
};
struct ReadUsnJournalData {      // READ_USN_JOURNAL_DATA (version 0), 40 bytes
    std::int64_t StartUsn;
    std::uint32_t ReasonMask;
    std::uint32_t ReturnOnlyOnClose;
    std::uint64_t Timeout;
    std::uint64_t BytesToWaitForMore;
    std::uint64_t UsnJournalID;
};
struct MftEnumData {             // MFT_ENUM_DATA (version 0), 24 bytes
    std::uint64_t StartFileReferenceNumber;
    std::int64_t LowUsn;
    std::int64_t HighUsn;
};
static_assert(sizeof(UsnJournalData) == 56);
static_assert(sizeof(CreateUsnJournalData) == 16);
static_assert(sizeof(DeleteUsnJournalData) == 16);
static_assert(sizeof(ReadUsnJournalData) == 40);
static_assert(sizeof(MftEnumData) == 24);

// Offsets inside a USN_RECORD_V2; the name follows the fixed part.
constexpr std::size_t kUsnRecordV2HeaderSize = 60;
constexpr std::size_t kUsnOutputHeaderSize = 8;  // the next USN / next reference before the records

// ------------------------------------------------------------ volume handles

struct VolumeHandleState;
struct VolumeHandleStateDeleter {
    void operator()(VolumeHandleState* state) const;  // closes the handle
};
// An open volume. Closing is done by the destructor; an empty handle stands
// for INVALID_HANDLE_VALUE.
class VolumeHandle {
public:
    VolumeHandle() = default;
    explicit VolumeHandle(VolumeHandleState* state) : state_(state) {}
    bool valid() const { return state_ != nullptr; }
    VolumeHandleState* state() const { return state_.get(); }
    void close() { state_.reset(); }

private:
    std::unique_ptr<VolumeHandleState, VolumeHandleStateDeleter> state_;
};

// CreateFileW on a volume device path "\\\\.\\C:" (the letter in either case)
// with read and write access, shared read and write, open-existing.
// 0 and *handle valid on success; 2 when the letter is not a mapped volume
// (or its directory is missing), 5 when the journal folder cannot be written,
// 87 for a path that is not of that form.
long openVolume(const std::string& devicePath, VolumeHandle* handle);

// GetVolumeInformationW on a root path "C:\\": the file system's name.
// POSIX: "NTFS" for a local file system that can carry the journal (ext2/3/4,
// xfs, btrfs, tmpfs, f2fs...), otherwise the file system's own name in upper
// case ("FAT32" for vfat, "NFS", "CIFS", "FUSE"...). 0 on success; 3 when the
// letter is not mapped or its directory is missing; 87 for a malformed path.
long getVolumeFileSystemName(const std::string& rootPath, std::string* fileSystemName);

// CreateFileW with no access rights, shared read and write,
// FILE_FLAG_BACKUP_SEMANTICS, then GetFileInformationByHandle: the 64-bit file
// index (nFileIndexHigh << 32 | nFileIndexLow) of a path such as "C:\\" or
// "C:\\dir\\file". On POSIX it is the item's file reference number as the
// journal reports it. 0 on success; 2 or 3 when the path does not exist;
// 87 when malformed.
long getFileIndex(const std::string& path, std::uint64_t* fileIndex);

// DeviceIoControl on a volume handle with one of the five control codes above.
// in/inSize and out/outSize are the caller's buffers; *bytesReturned is how
// much of out was written (0 on failure). Sizes are checked as Windows checks
// them: an input shorter than its structure, or an output shorter than the
// output structure (56 bytes for the query, 8 for read and enum), gives 87;
// an invalid handle gives 6; another control code gives 1 (ERROR_INVALID_FUNCTION).
long deviceIoControl(const VolumeHandle& volume, std::uint32_t controlCode, const void* in,
                     std::uint32_t inSize, void* out, std::uint32_t outSize,
                     std::uint32_t* bytesReturned);

// The same calls, typed. Each returns what deviceIoControl returns.
//
// FSCTL_QUERY_USN_JOURNAL: fills *data. 1179 when no journal is active,
// 1178 while a deletion is in progress.
long queryUsnJournal(const VolumeHandle& volume, UsnJournalData* data);
// FSCTL_CREATE_USN_JOURNAL: creates the journal with a new random
// UsnJournalID, or, when one is active, only changes its sizes. A MaximumSize
// or AllocationDelta of 0 takes the default (32 MiB, 4 MiB). 1178 while a
// deletion is in progress.
long createUsnJournal(const VolumeHandle& volume, const CreateUsnJournalData& data);
// FSCTL_DELETE_USN_JOURNAL. DeleteFlags: kUsnDeleteFlagDelete starts the
// deletion of the journal whose id is UsnJournalID (87 when that is not the
// active journal's id, 1179 when none is active); kUsnDeleteFlagNotify
// returns when no deletion is in progress (with delete: when this one is
// complete; alone, UsnJournalID is ignored). Flags 0 or other bits give 87.
// POSIX deletions complete at once; a later query gives 1179.
long deleteUsnJournal(const VolumeHandle& volume, const DeleteUsnJournalData& data);
// FSCTL_READ_USN_JOURNAL: writes the next USN to read (8 bytes) and then as
// many whole records from StartUsn on as fit in outSize, keeping only those
// whose Reason has a bit of ReasonMask (and the close bit when
// ReturnOnlyOnClose is set). StartUsn 0 reads from FirstUsn. When no record
// follows StartUsn the output is the 8 bytes only (next USN = NextUsn).
// Errors: 1179 no journal; 1178 deletion in progress; 87 when UsnJournalID
// is not the active journal's id; 1181 when StartUsn is below FirstUsn (those
// records were dropped); 122 when the first record does not fit in outSize.
// With BytesToWaitForMore > 0 and nothing to return, the call waits for new
// records up to Timeout seconds of clock time (0: until a record comes).
long readUsnJournal(const VolumeHandle& volume, const ReadUsnJournalData& in, void* out,
                    std::uint32_t outSize, std::uint32_t* bytesReturned);
// FSCTL_ENUM_USN_DATA: writes the next StartFileReferenceNumber (8 bytes)
// and then one record per item of the volume (directories and files, the
// root directory not included) whose reference is at or above
// StartFileReferenceNumber and whose last USN lies in [LowUsn, HighUsn], in
// file reference order, as many as fit. Records carry the item's reference,
// parent reference, name, attributes and last USN; Reason 0. 38 when no item
// is left (the end of an enumeration). Works without an active journal.
long enumUsnData(const VolumeHandle& volume, const MftEnumData& in, void* out,
                 std::uint32_t outSize, std::uint32_t* bytesReturned);

// POSIX only (a no-op answering 0 on Windows): waits until the volume's
// watcher has turned every event the kernel has queued so far into records,
// so a test can read what its own file operations wrote without sleeping.
// Pending changes of files still open stay pending. 6 for an invalid handle.
long flushVolumeWatcher(const VolumeHandle& volume);

// What the volume's change watching covers: the items watched and the
// folders whose changes cannot be watched. POSIX: the catalogued items and
// the folders inotify could not watch (walked until it can), as of the
// watcher's last commit. Windows: the journal sees the whole volume, so no
// folder is unwatched and the item count is not known (-1). 6 for an
// invalid handle.
struct VolumeWatchState {
    std::int64_t itemsWatched = -1;
    std::uint64_t unwatchedFolders = 0;
};
long queryVolumeWatchState(const VolumeHandle& volume, VolumeWatchState* state);

// Where the POSIX journal tells what it cannot do by itself (a folder whose
// changes cannot be watched, and when all are watched again): each message
// is one line, begins with "\n " and is handed to the sink (default:
// standard error; null: dropped). The agent passes its error log writer.
// The Windows backend has nothing to tell and ignores it.
using JournalDiagnosticSink = void (*)(const char* message);
void setJournalDiagnosticSink(JournalDiagnosticSink sink);

// ------------------------------------------------------------ records over bytes

// A USN_RECORD_V2, decoded. FileName holds the UTF-16 units of the name.
struct UsnRecord {
    std::uint32_t RecordLength = 0;
    std::uint16_t MajorVersion = 2;
    std::uint16_t MinorVersion = 0;
    std::uint64_t FileReferenceNumber = 0;
    std::uint64_t ParentFileReferenceNumber = 0;
    std::int64_t Usn = 0;
    std::int64_t TimeStamp = 0;  // FILETIME: 100 ns units since 1601-01-01 UTC
    std::uint32_t Reason = 0;
    std::uint32_t SourceInfo = 0;
    std::uint32_t SecurityId = 0;
    std::uint32_t FileAttributes = 0;
    std::u16string FileName;
};

// Decodes the record at `offset` of `buffer`. false (and *record untouched)
// when the record is not whole and sound: fewer than 60 bytes left,
// RecordLength below 60, not a multiple of 8 or past the end of the buffer,
// MajorVersion other than 2, or a name that is odd-sized or lies outside the
// record.
bool decodeUsnRecord(std::span<const std::uint8_t> buffer, std::size_t offset, UsnRecord* record);
// The offset of the record after the one at `offset` (offset + RecordLength),
// or buffer.size() when there is no whole record at `offset` or it is the
// last one: a loop "for (o = 8; o < size; o = nextUsnRecordOffset(b, o))"
// visits every record and ends.
std::size_t nextUsnRecordOffset(std::span<const std::uint8_t> buffer, std::size_t offset);
// All records of a read or enumeration output (after its first 8 bytes),
// stopping at the first one that is not sound.
std::vector<UsnRecord> decodeUsnOutput(std::span<const std::uint8_t> output);
// The 64-bit value at the start of a read or enumeration output (next USN or
// next file reference); 0 when the output is shorter than 8 bytes.
std::uint64_t usnOutputHeader(std::span<const std::uint8_t> output);

// Builds the record's bytes: RecordLength and FileNameOffset (60) are
// computed, the name is written as UTF-16LE and the record is zero-padded
// to a multiple of 8.
std::vector<std::uint8_t> encodeUsnRecord(const UsnRecord& record);
// Appends the encoded record to `out`.
void appendUsnRecord(std::vector<std::uint8_t>* out, const UsnRecord& record);
// The length an encoded record with a name of `nameUnits` UTF-16 units takes.
std::uint32_t usnRecordLength(std::size_t nameUnits);

// Reason bits as names joined by "|" ("FILE_CREATE|DATA_EXTEND|CLOSE");
// unknown bits as hexadecimal; 0 gives "".
std::string usnReasonNames(std::uint32_t reason);
// FILETIME of Unix seconds and nanoseconds, and back (seconds).
std::int64_t fileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds = 0);
std::int64_t unixSecondsFromFileTime(std::int64_t fileTime);

}  // namespace platform
