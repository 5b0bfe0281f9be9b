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
#include <exception>
#include <set>

namespace {

const QString LockName = QStringLiteral("lock");
const QString IndexName = QStringLiteral("index.json");
const int DefaultDelay = 5000; // ms

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

// The patches index.json lists whose copy is there.
std::vector<TRecoveredPatch> ReadPatches(const QString &folder)
{
    std::vector<TRecoveredPatch> patches;
    const QDir dir(folder);
    QFile f(dir.filePath(IndexName));
    if (!f.open(QIODevice::ReadOnly))
        return patches;
    const QJsonArray listed = QJsonDocument::fromJson(f.readAll()).object().value(QStringLiteral("slots")).toArray();
    for (const QJsonValue &v : listed) {
        const QJsonObject slot = v.toObject();
        const QString copy = slot.value(QStringLiteral("copy")).toString();
        // Only a plain file name of this folder: an index is never a way out of it.
        if (copy.isEmpty() || copy.contains(u'/') || copy == LockName || copy == IndexName)
            continue;
        const QString text = dir.filePath(copy);
        if (QFileInfo(text).isFile())
            patches.push_back({slot.value(QStringLiteral("name")).toString(),
                               slot.value(QStringLiteral("file")).toString(), text});
    }
    return patches;
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

} // namespace

TRecovery::TRecovery(IRecoverySource &source, QObject *parent) : QObject(parent), FSource(source)
{
    FTimer.setSingleShot(true);
    FTimer.setInterval(DefaultDelay);
    connect(&FTimer, &QTimer::timeout, this, &TRecovery::WriteNow);

    // A fresh name per try: a starting instance may lose its new folder to another that scans
    // for left-behind ones between creating it and locking it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QString folder = QDir(RootFolder()).filePath(NewInstanceId());
        if (!QDir().mkpath(folder)) {
            Warn(QStringLiteral("cannot create \"%1\"").arg(folder));
            return;
        }
        // The copies are the user's patches: nobody else reads them.
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        std::unique_ptr<QLockFile> lock = FolderLock(folder);
        if (lock->tryLock(0)) {
            FFolder = folder;
            FLock = std::move(lock);
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
    if (FCopies.empty()) {
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

void TRecovery::Touched()
{
    if (!FFolder.isEmpty())
        FTimer.start();
}

bool TRecovery::WriteNow()
{
    FTimer.stop();
    if (FFolder.isEmpty())
        return false;
    const QDir dir(FFolder);
    std::vector<TRecoverySlot> modified;
    for (TRecoverySlot &slot : FSource.RecoverySlots())
        if (slot.Modified)
            modified.push_back(std::move(slot));

    // The index first: an entry whose copy is not there yet is passed over when read, while a
    // copy without an entry would be lost.
    QStringList failures;
    QJsonArray entries;
    for (const TRecoverySlot &slot : modified)
        entries.append(QJsonObject{{QStringLiteral("copy"), CopyName(slot.Id)},
                                   {QStringLiteral("name"), slot.Name},
                                   {QStringLiteral("file"), slot.FileName}});
    const QByteArray index = QJsonDocument(QJsonObject{{QStringLiteral("slots"), entries}}).toJson();
    if (index != FIndex || !QFileInfo::exists(dir.filePath(IndexName))) {
        const QString failure = WriteCopy(dir.filePath(IndexName), index);
        if (failure.isEmpty())
            FIndex = index;
        else
            failures << failure;
    }

    std::set<quintptr> kept;
    for (const TRecoverySlot &slot : modified) {
        kept.insert(slot.Id);
        const QByteArray text = FSource.RecoveryText(slot.Id);
        const QString file = dir.filePath(CopyName(slot.Id));
        const auto written = FCopies.find(slot.Id);
        if (written != FCopies.end() && written->second == text && QFileInfo::exists(file))
            continue;
        const QString failure = WriteCopy(file, text);
        if (failure.isEmpty())
            FCopies[slot.Id] = text;
        else
            failures << failure;
    }
    for (auto it = FCopies.begin(); it != FCopies.end();) {
        if (kept.count(it->first)) {
            ++it;
            continue;
        }
        QFile::remove(dir.filePath(CopyName(it->first)));
        it = FCopies.erase(it);
    }

    if (!failures.isEmpty()) {
        Warn(failures.join(QStringLiteral("; ")));
        return false;
    }
    FWarned = false;
    return true;
}

void TRecovery::Finish()
{
    FTimer.stop();
    if (FFolder.isEmpty())
        return;
    EmptyFolder(FFolder);
    FLock->unlock();
    QDir().rmdir(FFolder);
    FFolder.clear();
    FCopies.clear();
    FIndex.clear();
}

std::vector<TRecoveredPatch> TRecovery::LeftBehind()
{
    const QString own = QDir::cleanPath(FFolder);
    const QFileInfoList folders =
        QDir(RootFolder()).entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : folders) {
        const QString folder = QDir::cleanPath(entry.absoluteFilePath());
        if (entry.isSymLink() || folder == own)
            continue;
        if (std::any_of(FClaims.begin(), FClaims.end(), [&](const TClaim &c) { return c.Folder == folder; }))
            continue;
        std::unique_ptr<QLockFile> lock = FolderLock(folder);
        if (!lock->tryLock(0))
            continue; // a live instance's, or one that another start has just claimed
        TClaim claim{folder, std::move(lock), ReadPatches(folder)};
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
            if (!failure) {
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

TRestoreChoice TRecovery::OfferLeftBehind(const std::function<bool(const TRecoveredPatch &)> &load)
{
    const std::vector<TRecoveredPatch> patches = LeftBehind();
    if (patches.empty())
        return TRestoreChoice::Later;
    QStringList items;
    for (const TRecoveredPatch &patch : patches)
        items << RestoreItem(patch);
    const TRestoreChoice choice = Dialogs().AskRestore(RestoreQuestion(), items);
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

QString TRecovery::CopyName(quintptr id)
{
    return QString::number(id, 16) + QStringLiteral(".korvane");
}

void TRecovery::RemoveCopy(quintptr id)
{
    if (FFolder.isEmpty())
        return;
    QFile::remove(QDir(FFolder).filePath(CopyName(id)));
    FCopies.erase(id);
}

void TRecovery::Warn(const QString &what)
{
    if (FWarned)
        return;
    FWarned = true;
    qWarning("Korvane cannot keep copies of modified patches for recovery: %s", qUtf8Printable(what));
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
    if (patch.FileName.isEmpty())
        return patch.Name;
    return QStringLiteral("%1 (%2)").arg(patch.Name, QDir::toNativeSeparators(patch.FileName));
}
