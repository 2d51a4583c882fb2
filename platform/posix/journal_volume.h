// One volume of the POSIX change journal: its journal file, its catalogue,
// the changes still open, and the watcher that feeds them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/posix/journal_internal.h"

namespace platform::usnjournal {

struct Volume;

// The source of file-system events. A watcher runs its own thread and calls
// the Volume's event functions under the volume's mutex.
class Watcher {
public:
    virtual ~Watcher() = default;
    // Starts watching; false when this kind of watcher cannot run here.
    virtual bool start() = 0;
    virtual void stop() = 0;
    // Returns once every event queued before the call has been applied.
    virtual void flush() = 0;
    // Called under the volume's mutex when a directory enters or leaves the
    // catalogue (the recursive inotify watcher adds and drops its watches).
    // Returns 0 when the directory's changes will be seen, otherwise the
    // errno that keeps them from being watched.
    virtual int directoryAdded(std::uint64_t /*ref*/, const std::string& /*path*/) { return 0; }
    virtual void directoryRemoved(std::uint64_t /*ref*/) {}
    virtual const char* name() const = 0;
    // For tests: while held, queued events stay in the kernel (whose queue
    // may overflow); at release, `dropHeld` throws away what was queued and
    // handles it as an overflow, as when the kernel drops events itself.
    virtual void hold(bool /*held*/, bool /*dropHeld*/) {}
};

std::unique_ptr<Watcher> makeFanotifyWatcher(Volume& volume);
std::unique_ptr<Watcher> makeInotifyWatcher(Volume& volume);

// Hands one message to the journal's diagnostic sink (see
// setJournalDiagnosticSink).
void reportDiagnostic(const std::string& message);

struct Volume {
    char letter = 'C';
    std::string directory;
    std::string journalDir;
    int handles = 0;  // guarded by the process-wide volume list's mutex

    std::mutex openMutex;  // start and stop
    bool running = false;

    long start();
    void stop();

    // The control codes (each takes the mutex).
    long query(UsnJournalData* data);
    long create(const CreateUsnJournalData& data);
    long remove(const DeleteUsnJournalData& data);
    long read(const ReadUsnJournalData& in, std::uint8_t* out, std::uint32_t outSize, std::uint32_t* bytesReturned);
    long enumerate(const MftEnumData& in, std::uint8_t* out, std::uint32_t outSize, std::uint32_t* bytesReturned);
    long fileIndexOf(const std::string& localPath, const struct stat& st, std::uint64_t* index);
    void flushWatcher();
    std::string watcherName();
    // For tests, see Watcher::hold (a flush waits while the watcher is held).
    void holdWatcher(bool held, bool dropHeld);

    // ---- called by the watchers with `mutex` held
    // A new entry; `movedIn` when it came from outside the volume's folder.
    void onCreate(std::uint64_t parent, const std::string& name, bool isDirectory, bool movedIn = false);
    void onDelete(std::uint64_t parent, const std::string& name);
    // A rename; a parent of 0 is outside the volume (moved in or out).
    void onMove(std::uint64_t oldParent, const std::string& oldName, std::uint64_t newParent,
                const std::string& newName, bool isDirectory);
    void onModify(std::uint64_t parent, const std::string& name);
    void onAttrib(std::uint64_t parent, const std::string& name);
    void onCloseWrite(std::uint64_t parent, const std::string& name);
    void onSelfChange(std::uint64_t ref, bool attributes);  // an event on a directory itself
    // Events were lost: compare the volume with the catalogue, then close
    // the changes left open (their close events may be among those lost).
    void onOverflow();
    // While some folders cannot be watched, walks them every
    // kUnwatchedWalkMillis and tries to watch them again.
    void walkUnwatched();
    // Writes the records gathered by the event functions, closes changes
    // idle for too long, saves the catalogue now and then.
    void commit();
    // The local path of a catalogued item ("" when its chain is broken).
    std::string pathOf(std::uint64_t ref);
    bool isExcluded(std::uint64_t device, std::uint64_t ino) const {
        return device == journalDirDevice && ino == journalDirIno;
    }

    // What the watcher covers, as of the last commit: catalogued items and
    // folders it cannot watch. Read without the mutex (a long walk holds it).
    std::atomic<std::uint64_t> itemsWatched{0};
    std::atomic<std::uint64_t> unwatchedFolders{0};

    std::mutex mutex;
    std::condition_variable recordsAdded;
    JournalFile journal{""};
    Catalog catalog;
    std::uint64_t device = 0;
    std::uint64_t rootIno = 0;
    std::uint64_t journalDirDevice = 0;
    std::uint64_t journalDirIno = 0;

private:
    struct Pending {
        std::uint32_t reasons = 0;
        std::int64_t lastEventMillis = 0;
    };

    // Walks the whole volume, or with `top` only the folder `top` and what
    // lies below it.
    void reconcile(bool report, std::uint64_t top = 0);
    void watchDirectory(std::uint64_t ref, const std::string& path);
    void unwatchDirectory(std::uint64_t ref);
    // Adds a change to an item: an open change gathers it (writing a record
    // when it brings a new reason), otherwise a closed record is written.
    void note(Item& item, std::uint32_t reasons, bool keepOpen);
    void closeChange(Item& item);
    void emit(const Item& item, std::uint32_t reasons);
    void emitAs(const Item& item, std::uint64_t parent, const std::string& name, std::uint32_t reasons);
    Item* addObserved(std::uint64_t parent, const std::string& name, const Observed* seen, bool isDirectory);
    void createTree(Item& item, bool reportChildren);
    void deleteTree(Item& item);
    std::uint32_t compare(Item& item, const Observed& seen, bool checkAcl, const std::string& path);
    void saveCatalog();
    // Applies to the catalogue the records the journal holds from `fromUsn`
    // on (those written after the catalogue's last save), so a restart
    // after a crash does not report them again; changes left open by the
    // crash are closed.
    void replayJournal(std::uint64_t journalId, std::int64_t fromUsn);
    // Whether Windows can hold the name; an item whose name it cannot is
    // kept out of the journal, reported once per folder.
    bool acceptName(std::uint64_t parent, const std::string& name);

    std::unordered_map<std::uint64_t, Pending> pending_;
    std::vector<UsnRecord> batch_;
    std::unique_ptr<Watcher> watcher_;
    std::uint32_t walkMark_ = 0;
    bool catalogDirty_ = false;
    std::int64_t lastSaveMillis_ = 0;
    // Catalogued folders the watcher could not watch, the errnos already
    // reported, and when those folders were last walked.
    std::set<std::uint64_t> unwatched_;
    std::set<int> reportedCauses_;
    // Folders already reported for holding names Windows cannot hold.
    std::set<std::uint64_t> badNameFolders_;
    std::int64_t lastUnwatchedWalkMillis_ = 0;
};

long acquireVolume(char letter, std::shared_ptr<Volume>* volume);
void releaseVolume(const std::shared_ptr<Volume>& volume);
// The answer a test forces on one step of a volume's journal (open,
// volumeinfo, fileindex, query, create, delete, read, enum), or success when
// no test installed a hook (journal_test_hooks.h).
long injectedFault(const std::string& journalDir, char letter, const std::string& step);
// True when the environment or the registry asks for the inotify watcher.
bool inotifyForced();

}  // namespace platform::usnjournal
