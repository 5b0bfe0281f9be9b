#include "Recovery.h"

#include "FileWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QStandardPaths>
#include <QUuid>
#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString LockName = QStringLiteral("lock");
const QString IndexName = QStringLiteral("index.json");
const QString SetAsideName = QStringLiteral("set-aside");
const QString CopyPattern = QStringLiteral("*.korvane");
const int DefaultDelay = 5000; // ms
const qint64 HeadBytes = 64;

// Writes a copy through the one file writer; the reason when that failed, empty otherwise.
QString WriteCopy(const QString &fileName, const QByteArray &data)
{
    try {
        WriteWholeFile(fileName, data);
        return {};
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
}

// A lock that only a process that is gone gives up: no age makes a live instance's lock stale.
std::unique_ptr<QLockFile> FolderLock(const QString &folder)
{
    auto lock = std::make_unique<QLockFile>(QDir(folder).filePath(LockName));
    lock->setStaleLockTime(0);
    return lock;
}

// Unique per process, readable as the process it belongs to.
QString NewInstanceId()
{
    return QStringLiteral("%1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(QUuid::createUuid().toString(QUuid::Id128).left(16));
}

// Why a copy cannot be restored, or empty. Only its first bytes are read, to know it can be:
// the offer needs no more, and a copy may be of any size.
QString CopyFault(const QString &fileName)
{
    const QFileInfo info(fileName);
    if (info.isSymLink() || !info.isFile()) // never opened: a FIFO would block the start
        return QStringLiteral("it is not a regular file");
    if (info.size() > TRecovery::MaxCopyBytes)
        return QStringLiteral("it is too large (%1 bytes)").arg(info.size());
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly))
        return f.errorString();
    char head[HeadBytes];
    if (f.read(head, HeadBytes) < 0)
        return f.errorString();
    return {};
}

// The index as written, or nothing when it is missing, too large or damaged.
QJsonArray ReadIndex(const QDir &dir)
{
    const QString name = dir.filePath(IndexName);
    QFile f(name);
    if (!QFileInfo(name).isFile() || f.size() > TRecovery::MaxIndexBytes || !f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.read(TRecovery::MaxIndexBytes)).object().value(QStringLiteral("slots")).toArray();
}

// Every copy in `folder`: those the index lists under their names, then those it does not
// (a damaged index loses their names, never the copies), named "Recovered patch N" from
// `unnamed` on.
std::vector<TRecoveredPatch> ReadPatches(const QString &folder, int &unnamed)
{
    std::vector<TRecoveredPatch> patches;
    std::set<QString> listed;
    const QDir dir(folder);
    for (const QJsonValue &v : ReadIndex(dir)) {
        const QJsonObject slot = v.toObject();
        const QString copy = slot.value(QStringLiteral("copy")).toString();
        // Only a plain file name of this folder: an index is never a way out of it.
        if (copy.isEmpty() || copy.contains(u'/') || copy == LockName || copy == IndexName || copy == u"." ||
            copy == u".." || listed.count(copy))
            continue;
        const QString text = dir.filePath(copy);
        const QFileInfo info(text);
        if (!info.exists() && !info.isSymLink())
            continue; // the index is written before the copies
        listed.insert(copy);
        patches.push_back({slot.value(QStringLiteral("name")).toString(), slot.value(QStringLiteral("file")).toString(),
                           text, CopyFault(text)});
    }
    const QFileInfoList copies =
        dir.entryInfoList({CopyPattern}, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &copy : copies) {
        if (listed.count(copy.fileName()))
            continue;
        patches.push_back({QStringLiteral("Recovered patch %1").arg(++unnamed), QString(), copy.filePath(),
                           CopyFault(copy.filePath())});
    }
    return patches;
}

// A name in `folder` that nothing has yet, made of `wanted`.
QString FreeName(const QDir &folder, const QString &wanted)
{
    QString name = wanted;
    for (int n = 2; QFileInfo(folder.filePath(name)).exists() || QFileInfo(folder.filePath(name)).isSymLink(); ++n)
        name = QStringLiteral("%1-%2").arg(wanted).arg(n);
    return folder.filePath(name);
}

// Removes everything in folder but its lock.
void EmptyFolder(const QString &folder)
{
    QDir dir(folder);
    for (const QFileInfo &entry : dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.fileName() == LockName)
            continue;
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}

QString CopyFileName(quintptr id)
{
    return QString::number(id, 16) + QStringLiteral(".korvane");
}

struct TCopyJob {
    quintptr Id;
    uint64_t Epoch; // of the slot's copy when the job was made: a removal since makes it stale
    TRecoveryText Text;
};

// What one WriteNow writes: the index, the copies of the modified slots, and which copies stay.
struct TWriteJob {
    uint64_t Serial = 0;
    QByteArray Index;
    std::vector<TCopyJob> Copies;
    std::set<quintptr> Kept;
};

} // namespace

// Writes the recovery's copies on a thread of its own, started with the first job. Jobs run in
// order; one not yet begun gives way to a newer one, which holds all it would have written.
// What is on disk, by slot, is shared with the user-interface thread under FLock, which is held
// around those maps only, never around a file operation. `finished` runs on the worker after
// each job. Owns its thread.
class TRecoveryWriter {
public:
    using TFinished = std::function<void(uint64_t serial, const QStringList &failures)>;
    TRecoveryWriter(QString folder, TFinished finished) : FFolder(std::move(folder)), FFinished(std::move(finished)) {}
    ~TRecoveryWriter() { Stop(false); }
    TRecoveryWriter(const TRecoveryWriter &) = delete;
    TRecoveryWriter &operator=(const TRecoveryWriter &) = delete;

    void Post(TWriteJob job)
    {
        std::lock_guard lock(FLock);
        if (FQuit)
            return;
        FQueued = std::move(job);
        if (!FThread.joinable())
            FThread = std::thread([this] {
                // Below the user-interface thread, which takes the copies under the patch lock:
                // preempted by this worker while it holds the lock, it would stall the tick.
                setpriority(PRIO_PROCESS, pid_t(gettid()), 10);
                Run();
            });
        FChanged.notify_all();
    }
    // Waits until job `serial` (the last one posted) is done; what failed in it.
    QStringList Wait(uint64_t serial)
    {
        std::unique_lock lock(FLock);
        FChanged.wait(lock, [&] { return FDone >= serial || (FQuit && !FBusy && !FQueued); });
        return FDone >= serial ? FDoneFailures : QStringList{QStringLiteral("the copies are no longer written")};
    }
    uint64_t Epoch(quintptr id)
    {
        std::lock_guard lock(FLock);
        return FEpochs[id];
    }
    // The copy of `id` goes (the caller removes its file): a write of it under way removes what
    // it wrote, and a queued one writes nothing.
    void Forget(quintptr id)
    {
        std::lock_guard lock(FLock);
        ++FEpochs[id];
        FCopies.erase(id);
    }
    bool HasCopies()
    {
        std::lock_guard lock(FLock);
        return !FCopies.empty();
    }
    // Ends the thread once the job under way and, unless `drop`, the queued one are done.
    void Stop(bool drop)
    {
        {
            std::lock_guard lock(FLock);
            FQuit = true;
            if (drop)
                FQueued.reset();
            FChanged.notify_all();
        }
        if (FThread.joinable())
            FThread.join();
    }

private:
    void Run()
    {
        std::unique_lock lock(FLock);
        for (;;) {
            FChanged.wait(lock, [this] { return FQuit || FQueued; });
            if (!FQueued)
                break; // quitting, nothing left
            TWriteJob job = std::move(*FQueued);
            FQueued.reset();
            FBusy = true;
            lock.unlock();
            const QStringList failures = Write(job);
            if (FFinished)
                FFinished(job.Serial, failures);
            lock.lock();
            FBusy = false;
            FDone = job.Serial;
            FDoneFailures = failures;
            FChanged.notify_all();
        }
    }

    QStringList Write(const TWriteJob &job)
    {
        const QDir dir(FFolder);
        // The index first: an entry whose copy is not there yet is passed over when read, while
        // a copy without an entry would be lost.
        QStringList failures;
        const QString indexFile = dir.filePath(IndexName);
        bool indexWritten;
        {
            std::lock_guard lock(FLock);
            indexWritten = job.Index == FIndex;
        }
        if (!indexWritten || !QFileInfo::exists(indexFile)) {
            const QString failure = WriteCopy(indexFile, job.Index);
            if (failure.isEmpty()) {
                std::lock_guard lock(FLock);
                FIndex = job.Index;
            } else {
                failures << failure;
            }
        }
        for (const TCopyJob &copy : job.Copies) {
            QByteArray text;
            try {
                text = copy.Text ? copy.Text() : QByteArray();
            } catch (const std::exception &e) {
                failures << QString::fromUtf8(e.what());
                continue;
            }
            const QString file = dir.filePath(CopyFileName(copy.Id));
            {
                std::lock_guard lock(FLock);
                if (FEpochs[copy.Id] != copy.Epoch)
                    continue; // saved or closed since
                const auto written = FCopies.find(copy.Id);
                if (written != FCopies.end() && written->second == text && QFileInfo::exists(file))
                    continue;
            }
            const QString failure = WriteCopy(file, text);
            if (!failure.isEmpty()) {
                failures << failure;
                continue;
            }
            bool stale;
            {
                std::lock_guard lock(FLock);
                stale = FEpochs[copy.Id] != copy.Epoch;
                if (!stale)
                    FCopies[copy.Id] = text;
            }
            if (stale) // removed while it was written: it goes again
                QFile::remove(file);
        }
        std::vector<quintptr> gone;
        {
            std::lock_guard lock(FLock);
            for (auto it = FCopies.begin(); it != FCopies.end();) {
                if (job.Kept.count(it->first)) {
                    ++it;
                    continue;
                }
                gone.push_back(it->first);
                it = FCopies.erase(it);
            }
        }
        for (quintptr id : gone)
            QFile::remove(dir.filePath(CopyFileName(id)));
        return failures;
    }

    const QString FFolder;
    const TFinished FFinished;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::optional<TWriteJob> FQueued;              // FLock
    bool FBusy = false, FQuit = false;             // FLock
    uint64_t FDone = 0;                            // the last job done; FLock
    QStringList FDoneFailures;                     // its failures; FLock
    std::map<quintptr, QByteArray> FCopies;        // the copies on disk, by slot, as written; FLock
    std::map<quintptr, uint64_t> FEpochs;          // removals by slot; FLock
    QByteArray FIndex;                             // index.json as last written; FLock
    std::thread FThread;
};

TRecovery::TRecovery(IRecoverySource &source, QObject *parent) : QObject(parent), FSource(source)
{
    FTimer.setSingleShot(true);
    FTimer.setInterval(DefaultDelay);
    connect(&FTimer, &QTimer::timeout, this, [this] {
        if (!FFolder.isEmpty())
            PostWrite();
    });

    // A fresh name per try: a starting instance may lose its new folder to another that scans
    // for left-behind ones between creating it and locking it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QString folder = QDir(RootFolder()).filePath(NewInstanceId());
        if (!QDir().mkpath(folder)) {
            Warn(QStringLiteral("cannot create the folder \"%1\"").arg(folder));
            return;
        }
        // The copies are the user's patches: nobody else reads them.
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        std::unique_ptr<QLockFile> lock = FolderLock(folder);
        if (lock->tryLock(0)) {
            FFolder = folder;
            FLock = std::move(lock);
            FWriter = std::make_unique<TRecoveryWriter>(folder, [this](uint64_t serial, const QStringList &failures) {
                QMetaObject::invokeMethod(this, [this, serial, failures] { Report(serial, failures); }, Qt::QueuedConnection);
            });
            return;
        }
    }
    Warn(QStringLiteral("cannot lock a folder in \"%1\"").arg(RootFolder()));
}

TRecovery::~TRecovery()
{
    FTimer.stop();
    KeepForLater();
    if (FFolder.isEmpty())
        return;
    FWriter->Stop(false); // what it was handed is on disk before the folder is judged
    if (!FWriter->HasCopies()) {
        Finish();
        return;
    }
    FLock->unlock(); // the copies stay, to be offered at the next start
}

QString TRecovery::RootFolder()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    QString state = QStandardPaths::writableLocation(QStandardPaths::GenericStateLocation);
#else
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state)) // a relative one is to be ignored
        state = QDir::homePath() + QStringLiteral("/.local/state");
#endif
    return QDir::cleanPath(state + QStringLiteral("/Korvane/recovery"));
}

QString TRecovery::SetAsideFolder()
{
    return QDir(RootFolder()).filePath(SetAsideName);
}

void TRecovery::Touched()
{
    // Not restarted by later edits: the copy is due a delay after the first one it lacks.
    if (!FFolder.isEmpty() && !FTimer.isActive())
        FTimer.start();
}

bool TRecovery::WriteNow()
{
    FTimer.stop();
    if (FFolder.isEmpty())
        return false;
    const uint64_t serial = PostWrite();
    const QStringList failures = FWriter->Wait(serial);
    Report(serial, failures);
    return failures.isEmpty();
}

uint64_t TRecovery::PostWrite()
{
    FTimer.stop();
    TWriteJob job;
    job.Serial = ++FPosted;
    QJsonArray entries;
    for (const TRecoverySlot &slot : FSource.RecoverySlots()) {
        if (!slot.Modified)
            continue;
        entries.append(QJsonObject{{QStringLiteral("copy"), CopyFileName(slot.Id)},
                                   {QStringLiteral("name"), slot.Name},
                                   {QStringLiteral("file"), slot.FileName}});
        job.Kept.insert(slot.Id);
        job.Copies.push_back({slot.Id, FWriter->Epoch(slot.Id), FSource.RecoveryText(slot.Id)});
    }
    job.Index = QJsonDocument(QJsonObject{{QStringLiteral("slots"), entries}}).toJson();
    FWriter->Post(std::move(job));
    return FPosted;
}

void TRecovery::Report(uint64_t serial, const QStringList &failures)
{
    if (serial <= FReported)
        return; // a later write was taken in already
    FReported = serial;
    if (!failures.isEmpty()) {
        Warn(failures.join(QStringLiteral("; ")));
        return;
    }
    FWarned = false;
    SetProblem({});
}

void TRecovery::Finish()
{
    FTimer.stop();
    if (FFolder.isEmpty())
        return;
    FWriter->Stop(true);
    EmptyFolder(FFolder);
    FLock->unlock();
    QDir().rmdir(FFolder);
    FFolder.clear();
}

std::vector<TRecoveredPatch> TRecovery::LeftBehind()
{
    const QString own = QDir::cleanPath(FFolder);
    const QFileInfoList folders =
        QDir(RootFolder()).entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : folders) {
        const QString folder = QDir::cleanPath(entry.absoluteFilePath());
        if (entry.isSymLink() || folder == own || entry.fileName() == SetAsideName)
            continue;
        if (std::any_of(FClaims.begin(), FClaims.end(), [&](const TClaim &c) { return c.Folder == folder; }))
            continue;
        std::unique_ptr<QLockFile> lock = FolderLock(folder);
        if (!lock->tryLock(0))
            continue; // a live instance's, or one that another start has just claimed
        TClaim claim{folder, std::move(lock), ReadPatches(folder, FUnnamed)};
        if (claim.Patches.empty())
            Release(claim, true);
        else
            FClaims.push_back(std::move(claim));
    }
    std::vector<TRecoveredPatch> patches;
    for (const TClaim &claim : FClaims)
        patches.insert(patches.end(), claim.Patches.begin(), claim.Patches.end());
    return patches;
}

int TRecovery::Adopt(const std::function<bool(const TRecoveredPatch &)> &load)
{
    std::vector<TClaim> claims = std::move(FClaims);
    FClaims.clear();
    int loaded = 0;
    std::exception_ptr failure;
    for (TClaim &claim : claims) {
        for (auto it = claim.Patches.begin(); it != claim.Patches.end();) {
            bool done = false;
            if (!failure && it->Error.isEmpty()) {
                try {
                    done = load(*it);
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            if (done) {
                ++loaded;
                it = claim.Patches.erase(it);
            } else {
                ++it;
            }
        }
    }
    // The restored slots are modified here now: their copies in this folder come first.
    const bool safeHere = loaded == 0 || WriteNow();
    for (TClaim &claim : claims) {
        if (!safeHere) {
            Release(claim, false);
            continue;
        }
        if (!claim.Patches.empty()) {
            // What was loaded goes from the index's folder; the rest stays for the next start.
            std::set<QString> left;
            for (const TRecoveredPatch &p : claim.Patches)
                left.insert(QFileInfo(p.TextFile).fileName());
            for (const QFileInfo &f : QDir(claim.Folder).entryInfoList({QStringLiteral("*.korvane")}, QDir::Files))
                if (!left.count(f.fileName()))
                    QFile::remove(f.filePath());
        }
        Release(claim, claim.Patches.empty());
    }
    if (failure)
        std::rethrow_exception(failure);
    return loaded;
}

void TRecovery::Discard()
{
    for (TClaim &claim : FClaims)
        Release(claim, true);
    FClaims.clear();
}

void TRecovery::KeepForLater()
{
    for (TClaim &claim : FClaims)
        Release(claim, false);
    FClaims.clear();
}

void TRecovery::SetAsideUnreadable()
{
    const QDir aside(SetAsideFolder());
    for (auto claim = FClaims.begin(); claim != FClaims.end();) {
        for (auto it = claim->Patches.begin(); it != claim->Patches.end();) {
            if (it->Error.isEmpty()) {
                ++it;
                continue;
            }
            if (QDir().mkpath(aside.path()))
                QFile::setPermissions(aside.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            // Named after its folder too: copies of different instances share their names.
            const QString target = FreeName(aside, QFileInfo(claim->Folder).fileName() + u'-' + QFileInfo(it->TextFile).fileName());
            if (QDir().rename(it->TextFile, target)) {
                it = claim->Patches.erase(it);
            } else {
                qWarning("Korvane cannot move \"%s\" to \"%s\"; it stays where it is", qUtf8Printable(it->TextFile),
                         qUtf8Printable(target));
                ++it;
            }
        }
        if (claim->Patches.empty()) {
            Release(*claim, true); // nothing left in it but the index
            claim = FClaims.erase(claim);
        } else {
            ++claim;
        }
    }
}

TRestoreChoice TRecovery::OfferLeftBehind(const std::function<bool(const TRecoveredPatch &)> &load)
{
    const std::vector<TRecoveredPatch> patches = LeftBehind();
    if (patches.empty())
        return TRestoreChoice::Later;
    QStringList items;
    for (const TRecoveredPatch &patch : patches)
        items << RestoreItem(patch);
    const TRestoreChoice choice = Dialogs().AskRestore(RestoreQuestion(), items);
    // Shown once with their reason: no later start asks about them again.
    SetAsideUnreadable();
    switch (choice) {
    case TRestoreChoice::Restore:
        Adopt(load);
        break;
    case TRestoreChoice::Discard:
        Discard();
        break;
    case TRestoreChoice::Later:
        KeepForLater();
        break;
    }
    return choice;
}

void TRecovery::RemoveCopy(quintptr id)
{
    if (FFolder.isEmpty())
        return;
    FWriter->Forget(id);
    QFile::remove(QDir(FFolder).filePath(CopyFileName(id)));
}

void TRecovery::Warn(const QString &what)
{
    if (FWarned)
        return;
    FWarned = true;
    const QString problem = QStringLiteral("Korvane cannot keep copies of modified patches for recovery: %1").arg(what);
    qWarning("%s", qUtf8Printable(problem));
    SetProblem(problem);
}

void TRecovery::SetProblem(const QString &problem)
{
    if (problem == FProblem)
        return;
    FProblem = problem;
    if (OnProblemChange)
        OnProblemChange(FProblem);
}

void TRecovery::Release(TClaim &claim, bool removeFolder)
{
    if (removeFolder)
        EmptyFolder(claim.Folder);
    claim.Lock->unlock();
    if (removeFolder)
        QDir().rmdir(claim.Folder);
}

QString RestoreQuestion()
{
    return QStringLiteral("Korvane ended without saving these patches. Restore them?");
}

QString RestoreItem(const TRecoveredPatch &patch)
{
    QString item = patch.Name;
    if (!patch.FileName.isEmpty())
        item = QStringLiteral("%1 (%2)").arg(patch.Name, QDir::toNativeSeparators(patch.FileName));
    if (!patch.Error.isEmpty())
        item += QStringLiteral(": cannot be restored, %1; kept in %2")
                    .arg(patch.Error, QDir::toNativeSeparators(TRecovery::SetAsideFolder()));
    return item;
}
