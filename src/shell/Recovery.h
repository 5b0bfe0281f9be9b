// Copies of modified patches kept in the user's state folder while Korvane runs, so that a crash,
// a kill or a power loss loses at most a few seconds of editing; the next start offers them back.
#pragma once

#include "Dialogs.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

class QLockFile;

// One open patch as the recovery sees it.
struct TRecoverySlot {
    quintptr Id = 0;  // stable while the slot is open; may be reused once it is closed
    QString Name;     // the slot's name as its tab shows it
    QString FileName; // the file the patch was loaded from or will be saved to; may be empty
    bool Modified = false;
};

// Makes the text of one copy; runs on the recovery's worker thread, so it holds nothing of the
// patch it was taken from (which may change or close meanwhile).
using TRecoveryText = std::function<QByteArray()>;

// What the recovery needs of the open patches; the main window implements it over its slots.
// Called on the user-interface thread only.
class IRecoverySource {
public:
    virtual ~IRecoverySource() = default;
    // Every open slot, modified or not.
    virtual std::vector<TRecoverySlot> RecoverySlots() const = 0;
    // What the copy of slot `id` needs, taken now (under the patch lock, in pieces short beside
    // a tick), and how its text, as a save would write it, is made from that on another thread.
    virtual TRecoveryText RecoveryText(quintptr id) const = 0;
};

class TRecoveryWriter;

// A patch that an instance left behind when it ended without saving it.
struct TRecoveredPatch {
    QString Name;     // the slot's name ("Recovered patch N" when its index entry was lost)
    QString FileName; // its original file, which the copy never replaced; may be empty
    QString TextFile; // the copy of its text
    QString Error;    // why the copy cannot be restored (it cannot be read, or is too large); empty when it can
};

// The recovery copies of this running instance and the offer of those that ended ones left
// behind. User-interface thread only. Owns its folder's lock and the locks of the left-behind
// folders it has claimed; the source is not owned and must outlive it.
//
// Folders: <state>/Korvane/recovery/<instance id>/, <state> being $XDG_STATE_HOME or
// ~/.local/state. Each holds "lock" (a QLockFile naming the owning process), "index.json" and one
// "<slot>.korvane" copy per modified slot. A folder whose lock names a process that is gone, or
// that has no lock, was left behind by an instance that ended without cleaning up.
//
// A copy goes only when the user restored or discarded it. The index gives the copies their
// names; a copy it does not list (the index was damaged) is offered all the same, under a name
// made up for it. A copy that cannot be restored (unreadable, too large) is offered
// once with its reason and then moved to <state>/Korvane/recovery/set-aside/, where it stays.
//
// Writing never shows a box: a failure goes to qWarning, once until a write succeeds again,
// and stays in Problem() for the window to show.
//
// The copies are made into text and written on a worker thread of the recovery's own, through
// the one file writer: the user-interface thread only takes what they need (RecoveryText). A
// write the delay starts goes on there while the program runs; WriteNow waits for its own.
class TRecovery : public QObject {
    Q_OBJECT
public:
    // Creates and locks a folder of this instance's own. When that fails (with a warning) the
    // copies are not written, and left-behind ones are still offered.
    explicit TRecovery(IRecoverySource &source, QObject *parent = nullptr);
    // Without Finish() the copies stay (a signal-triggered exit: WriteNow() first) and the next
    // start offers them; an empty folder goes. Claimed left-behind folders are kept. A write
    // under way is finished first.
    ~TRecovery() override;

    // <state>/Korvane/recovery, where every instance has its folder.
    static QString RootFolder();
    // This instance's folder; empty when it could not be created and locked.
    QString Folder() const { return FFolder; }

    // Where copies that cannot be restored are kept once they were offered.
    static QString SetAsideFolder();
    // The largest copy that is offered for restoring, and the largest index read (bytes).
    static constexpr qint64 MaxCopyBytes = 64 * 1024 * 1024;
    static constexpr qint64 MaxIndexBytes = 1024 * 1024;

    // The longest an edit waits for its copy (5000 ms by default).
    void SetDelay(int ms) { FTimer.setInterval(ms); }
    int Delay() const { return FTimer.interval(); }

    // After every edit: the copies are written (as WriteNow does, but without waiting for the
    // worker) once the delay has passed since the first edit that no copy holds yet. Later
    // edits do not put it off, so steady editing still gets its copies.
    void Touched();
    // Writes the text of every modified slot, rewriting only those whose text changed, and
    // removes the copies of slots that are no longer modified or no longer open; waits until
    // that is done. False when some copy could not be written (or there is no folder to write
    // in).
    bool WriteNow();
    // The slot was saved, or closed: its copy goes at once.
    void SlotSaved(quintptr id) { RemoveCopy(id); }
    void SlotClosed(quintptr id) { RemoveCopy(id); }
    // A clean exit: removes this instance's folder entirely and writes nothing more (a write
    // under way is waited for, one not yet begun is dropped).
    void Finish();

    // Why copies cannot be kept just now (no folder, or the last write failed); empty while
    // they can. OnProblemChange is called whenever it changes.
    QString Problem() const { return FProblem; }
    std::function<void(const QString &problem)> OnProblemChange;

    // The patches of every left-behind folder, claimed by taking its lock (so that no other
    // starting instance offers them too). Folders with nothing in them are removed on the way.
    // A folder that a live instance holds is never listed.
    std::vector<TRecoveredPatch> LeftBehind();
    // Hands each claimed patch to `load` (which opens it in a slot, modified, under its original
    // file name, and returns false when it cannot). Then writes this instance's copies, so the
    // restored patches are safe here before their left-behind copies are removed; when that
    // fails they stay too. A patch not loaded stays for the next start. An exception from `load`
    // ends the loading and passes on once the folders are dealt with. Returns how many were
    // loaded.
    int Adopt(const std::function<bool(const TRecoveredPatch &)> &load);
    // Removes the claimed folders.
    void Discard();
    // Releases the claimed folders, keeping them for the next start.
    void KeepForLater();
    // Moves the claimed copies that cannot be restored to SetAsideFolder(); one that cannot be
    // moved stays where it is.
    void SetAsideUnreadable();
    // Asks Dialogs().AskRestore about LeftBehind() and then, whatever the answer, sets aside the
    // copies that cannot be restored; then adopts the others through `load`, discards them or
    // keeps them for later. Asks nothing and answers Later when nothing was left behind.
    TRestoreChoice OfferLeftBehind(const std::function<bool(const TRecoveredPatch &)> &load);

private:
    struct TClaim {
        QString Folder;
        std::unique_ptr<QLockFile> Lock;
        std::vector<TRecoveredPatch> Patches;
    };

    // Hands the worker what WriteNow writes; the number it reports the result under.
    uint64_t PostWrite();
    // Takes in what the worker reported for writes up to `serial`.
    void Report(uint64_t serial, const QStringList &failures);
    void RemoveCopy(quintptr id);
    void Warn(const QString &what);
    void SetProblem(const QString &problem);
    void Release(TClaim &claim, bool removeFolder);

    IRecoverySource &FSource;
    QTimer FTimer;
    QString FFolder;
    std::unique_ptr<QLockFile> FLock;
    std::unique_ptr<TRecoveryWriter> FWriter; // while there is a folder
    uint64_t FPosted = 0;                     // the last write handed to the worker
    uint64_t FReported = 0;                   // the last write whose result was taken in
    bool FWarned = false;
    QString FProblem;
    int FUnnamed = 0; // copies offered under a made-up name so far
    std::vector<TClaim> FClaims;
};

// The question OfferLeftBehind asks and its list's line for one patch: "NAME (FILE)", and for a
// copy that cannot be restored its reason and where it is kept.
QString RestoreQuestion();
QString RestoreItem(const TRecoveredPatch &patch);
