#include "FileWriter.h"

#include "Errors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <mutex>
#include <utility>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr size_t BufferSize = 64 * 1024;
constexpr int MaxSymbolicLinks = 40; // as the kernel allows in one path

QString Reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

[[noreturn]] void Raise(const QString &fileName, const char *what, int error)
{
    const QString reason = Reason(error);
    throw EFileError(QStringLiteral("Cannot %1 file \"%2\". %3")
                         .arg(QLatin1String(what), QDir::toNativeSeparators(fileName), reason),
                     fileName, reason);
}

// The descriptor a name stands for: "/dev/stdout" -> 1, "/dev/fd/5" -> 5; -1 for other names.
int OwnDescriptor(const QString &fileName)
{
    if (fileName == QLatin1String("/dev/stdout"))
        return STDOUT_FILENO;
    if (fileName == QLatin1String("/dev/stderr"))
        return STDERR_FILENO;
    for (const QLatin1String prefix : {QLatin1String("/dev/fd/"), QLatin1String("/proc/self/fd/")})
        if (fileName.startsWith(prefix)) {
            bool ok = false;
            const int fd = fileName.mid(prefix.size()).toInt(&ok);
            return ok && fd >= 0 ? fd : -1;
        }
    return -1;
}

QByteArray Folder(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

QByteArray BaseName(const QByteArray &path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

// Follows symbolic links from `path` to the file a write lands in. Returns 0 and that path
// (with `st` filled and `exists` set when there is a file), or the errno that stopped it.
int FollowLinks(QByteArray &path, struct stat &st, bool &exists)
{
    exists = false;
    for (int links = 0;; ++links) {
        if (::lstat(path.constData(), &st) != 0)
            return errno == ENOENT ? 0 : errno;
        if (!S_ISLNK(st.st_mode)) {
            exists = true;
            return 0;
        }
        if (links == MaxSymbolicLinks)
            return ELOOP;
        QByteArray link(qsizetype(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        const ssize_t n = ::readlink(path.constData(), link.data(), size_t(link.size()));
        if (n < 0)
            return errno;
        link.truncate(n);
        path = link.startsWith('/') ? link : Folder(path) + '/' + link;
    }
}

// Opens a FIFO or device for writing, or connects to a socket.
int OpenDirect(const QByteArray &path, const struct stat &st)
{
    if (!S_ISSOCK(st.st_mode))
        return ::open(path.constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// The folder, readable where allowed (for syncing the rename and for finding stale part
// files); a folder that may only be searched still takes the part file.
int OpenFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || errno != EACCES)
        return fd;
    return ::open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// write() with SIGPIPE held back, so that a pipe whose reader left gives EPIPE instead of
// ending the program. The kernel raises SIGPIPE when the reader is gone, whether write() then
// fails or returns the part that got through before: the signal this call raised is taken
// back either way. Returns what write() returns, errno intact.
ssize_t WriteWithoutSigpipe(int fd, const char *data, size_t size)
{
    sigset_t sigpipe, old, pending;
    sigemptyset(&sigpipe);
    sigaddset(&sigpipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigpipe, &old);
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE);
    const ssize_t n = ::write(fd, data, size);
    const int error = errno;
    if (!wasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
        const timespec none{0, 0};
        while (sigtimedwait(&sigpipe, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
}

// ---- Part files: their names, the table the signal handler cleans up, stale ones ----

constexpr char PartMark[] = ".korvane-";
constexpr char PartEnd[] = ".part";

// ".NAME.korvane-PID-N.part", NAME shortened where the whole would be too long for a name.
QByteArray PartName(const QByteArray &target, uint32_t number)
{
    const QByteArray tail = PartMark + QByteArray::number(::getpid()) + '-' + QByteArray::number(number) + PartEnd;
    return '.' + target.left(NAME_MAX - 1 - tail.size()) + tail;
}

// The process that wrote a part file, from its name; 0 for a name of another kind.
pid_t PartOwner(const char *name)
{
    const QByteArray n(name);
    if (!n.startsWith('.') || !n.endsWith(PartEnd))
        return 0;
    const qsizetype mark = n.lastIndexOf(PartMark);
    if (mark <= 0)
        return 0;
    const QByteArray numbers = n.mid(mark + qsizetype(sizeof PartMark - 1),
                                     n.size() - mark - qsizetype(sizeof PartMark - 1) - qsizetype(sizeof PartEnd - 1));
    const QList<QByteArray> fields = numbers.split('-');
    bool pidOk = false, numberOk = false;
    if (fields.size() != 2)
        return 0;
    const long pid = fields[0].toLong(&pidOk);
    fields[1].toUInt(&numberOk);
    return pidOk && numberOk && pid > 0 && pid <= INT_MAX ? pid_t(pid) : 0;
}

// A part file's writer holds this lock while it writes; the lock goes when the process ends,
// however it ends, so a lock that can be taken means nobody writes the file.
constexpr short PartLock = F_WRLCK;

bool LockPart(int fd, short type, int command)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, command, &lock) == 0;
}

// Removes the part files of this user whose process is gone (killed outright, or a power
// cut): the process named in the file no longer exists, and nothing holds the file's lock (a
// writer in another PID namespace sharing the folder).
void RemoveStaleParts(int folderFd)
{
    const int listFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return; // a folder that cannot be read: its leftovers stay
    DIR *dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const pid_t owner = PartOwner(entry->d_name);
        if (owner == 0 || owner == ::getpid() || ::kill(owner, 0) == 0 || errno != ESRCH)
            continue;
        struct stat st {};
        if (::fstatat(folderFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid())
            continue;
        const int fd = ::openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        // A file that cannot be opened keeps its secret; its process is gone all the same.
        const bool free = fd < 0 || LockPart(fd, F_RDLCK, F_OFD_SETLK);
        if (fd >= 0)
            ::close(fd);
        if (free)
            ::unlinkat(folderFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

// The part files being written, for the signal handler: fixed storage, taken and given back
// with atomic operations only, so the handler reads nothing half-written.
enum TPartState : int { Free, Filling, Ready, Removing };
struct TPartEntry {
    std::atomic<int> State{Free};
    int FolderFd = -1;
    char Name[NAME_MAX + 1] = {};
};
static_assert(std::atomic<int>::is_always_lock_free);
constexpr int PartEntries = 64;
TPartEntry Parts[PartEntries];
std::atomic<uint32_t> PartNumber{0};

// The entry for a part file about to be made, or -1 when all are taken (that file is then left
// to the next write into its folder).
int RegisterPart(int folderFd, const QByteArray &name)
{
    if (name.size() > NAME_MAX)
        return -1;
    for (int i = 0; i < PartEntries; ++i) {
        int expected = Free;
        if (!Parts[i].State.compare_exchange_strong(expected, Filling, std::memory_order_acquire))
            continue;
        Parts[i].FolderFd = folderFd;
        std::memcpy(Parts[i].Name, name.constData(), size_t(name.size()) + 1);
        Parts[i].State.store(Ready, std::memory_order_release);
        return i;
    }
    return -1;
}

// Gives the entry back; false when a signal handler has taken it, in which case the process is
// ending and the folder's descriptor must stay open for the handler.
bool UnregisterPart(int entry)
{
    if (entry < 0)
        return true;
    int expected = Ready;
    return Parts[entry].State.compare_exchange_strong(expected, Free, std::memory_order_acq_rel);
}

// Async-signal-safe.
void RemoveRegisteredParts()
{
    for (TPartEntry &part : Parts) {
        int expected = Ready;
        if (part.State.compare_exchange_strong(expected, Removing, std::memory_order_acquire))
            ::unlinkat(part.FolderFd, part.Name, 0);
    }
}

constexpr int EndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};

void OnEndingSignal(int signal, siginfo_t *info, void *)
{
    const int saved = errno;
    // The kernel's own SIGXFSZ for a write of ours past the file-size limit comes as sent by
    // this process: that write fails with EFBIG and is reported, the program goes on.
    if (signal == SIGXFSZ && info && info->si_code == SI_USER && info->si_pid == ::getpid()) {
        errno = saved;
        return;
    }
    RemoveRegisteredParts();
    // The default action, taken once this handler returns: the process ends as it would have.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
    errno = saved;
}

} // namespace

void RemovePartFilesOnSignals()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (const int signal : EndingSignals) {
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) ||
                current.sa_handler != SIG_DFL)
                continue; // ignored or handled: whoever chose that keeps it
            struct sigaction action {};
            action.sa_sigaction = OnEndingSignal;
            sigemptyset(&action.sa_mask);
            for (const int other : EndingSignals)
                sigaddset(&action.sa_mask, other);
            action.sa_flags = SA_SIGINFO | SA_RESTART;
            ::sigaction(signal, &action, nullptr);
        }
    });
}

TFileWriter::TFileWriter(const QString &fileName, TMode mode) : FFileName(fileName)
{
    FBuffer.reserve(BufferSize);
    if (const int own = OwnDescriptor(fileName); own >= 0) {
        FDirect = true;
        FFd = ::fcntl(own, F_DUPFD_CLOEXEC, 0);
        if (FFd < 0)
            Raise(fileName, "create", errno);
        return;
    }
    QByteArray path = QFile::encodeName(fileName);
    struct stat st {};
    bool exists = false;
    if (const int error = FollowLinks(path, st, exists))
        Raise(fileName, "create", error);
    if (exists && S_ISDIR(st.st_mode))
        Raise(fileName, "create", EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        FDirect = true;
        FFd = OpenDirect(path, st);
        if (FFd < 0)
            Raise(fileName, "create", errno);
        return;
    }
    if (mode == TMode::InPlace) {
        FDirect = FInPlace = true;
        FFd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
        if (FFd < 0)
            Raise(fileName, "create", errno);
        return;
    }

    FFolderFd = OpenFolder(Folder(path));
    if (FFolderFd < 0)
        Raise(fileName, "create", errno);
    FTargetName = BaseName(path);
    RemovePartFilesOnSignals();
    RemoveStaleParts(FFolderFd);
    for (int attempt = 0; FFd < 0; ++attempt) {
        // Registered before it exists, so that no moment has a part file the handler misses.
        FPartName = PartName(FTargetName, PartNumber.fetch_add(1, std::memory_order_relaxed));
        FPartEntry = RegisterPart(FFolderFd, FPartName);
        FFd = ::openat(FFolderFd, FPartName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (FFd >= 0)
            break;
        const int error = errno;
        UnregisterPart(std::exchange(FPartEntry, -1));
        if (error != EEXIST || attempt == 100) {
            FPartName.clear();
            Fail("create", error);
        }
    }
    LockPart(FFd, PartLock, F_OFD_SETLK);
    if (exists) { // the new file keeps the old one's permissions and, where allowed, owner
        ::fchmod(FFd, st.st_mode & 07777);
        [[maybe_unused]] const int owned = ::fchown(FFd, st.st_uid, st.st_gid);
    }
}

TFileWriter::~TFileWriter()
{
    Discard();
}

void TFileWriter::Fail(const char *what, int error)
{
    Discard();
    Raise(FFileName, what, error);
}

void TFileWriter::WriteAll(const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = WriteWithoutSigpipe(FFd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail("write", errno);
        }
        if (n == 0)
            Fail("write", ENOSPC);
        data += n;
        size -= size_t(n);
    }
}

void TFileWriter::Flush()
{
    if (FBuffer.empty())
        return;
    WriteAll(FBuffer.data(), FBuffer.size());
    FBuffer.clear();
}

void TFileWriter::Write(const char *data, size_t size)
{
    if (FDone)
        KOR_FAIL(QStringLiteral("TFileWriter::Write after Commit or Discard"));
    FSize += size;
    if (FBuffer.size() + size > BufferSize) {
        Flush();
        if (size >= BufferSize) {
            WriteAll(data, size);
            return;
        }
    }
    FBuffer.insert(FBuffer.end(), data, data + size);
}

void TFileWriter::Overwrite(uint64_t offset, const char *data, size_t size)
{
    if (FDone || !CanOverwrite() || offset + size > FSize)
        KOR_FAIL(QStringLiteral("TFileWriter::Overwrite outside what was written"));
    Flush();
    while (size > 0) {
        const ssize_t n = ::pwrite(FFd, data, size, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail("write", n < 0 ? errno : ENOSPC);
        data += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
}

void TFileWriter::Sync()
{
    if (FDone)
        KOR_FAIL(QStringLiteral("TFileWriter::Sync after Commit or Discard"));
    Flush();
    struct stat st {};
    if (::fstat(FFd, &st) == 0 && S_ISREG(st.st_mode) && ::fdatasync(FFd) != 0)
        Fail("write", errno);
}

void TFileWriter::Commit()
{
    if (FDone)
        KOR_FAIL(QStringLiteral("TFileWriter::Commit after Commit or Discard"));
    Flush();
    struct stat st {};
    // A regular file behind a descriptor (a shell redirection) is made durable as well; pipes,
    // sockets and devices have nothing to sync.
    if (::fstat(FFd, &st) == 0 && S_ISREG(st.st_mode) && ::fsync(FFd) != 0)
        Fail("write", errno);
    const int fd = std::exchange(FFd, -1);
    if (::close(fd) != 0 && errno != EINTR) {
        const int error = errno;
        Fail("write", error);
    }
    if (!FDirect) {
        if (::renameat(FFolderFd, FPartName.constData(), FFolderFd, FTargetName.constData()) != 0)
            Fail("write", errno);
        FPartName.clear();
        // The rename itself reaches the disk with the folder; a folder that cannot be synced
        // still holds the complete file.
        ::fsync(FFolderFd);
        ReleaseFolder();
    }
    FDone = true;
}

void TFileWriter::ReleaseFolder() noexcept
{
    if (UnregisterPart(std::exchange(FPartEntry, -1)) && FFolderFd >= 0)
        ::close(FFolderFd);
    FFolderFd = -1;
}

void TFileWriter::Discard() noexcept
{
    if (FDone)
        return;
    FDone = true;
    FBuffer.clear();
    if (FFd >= 0)
        ::close(std::exchange(FFd, -1));
    if (!FPartName.isEmpty())
        ::unlinkat(FFolderFd, std::exchange(FPartName, {}).constData(), 0);
    ReleaseFolder();
}

void WriteWholeFile(const QString &fileName, const QByteArray &data)
{
    TFileWriter writer(fileName);
    writer.Write(data);
    writer.Commit();
}

QString OutputPath(const QString &fileName)
{
    if (OwnDescriptor(fileName) >= 0)
        return fileName;
    QByteArray path = QFile::encodeName(fileName);
    struct stat st {};
    bool exists = false;
    FollowLinks(path, st, exists); // where a link cannot be read, the name as far as it got
    const QString followed = QFile::decodeName(path);
    const QFileInfo folder(QFileInfo(followed).absolutePath());
    const QString canonical = folder.canonicalFilePath();
    const QString name = QFileInfo(followed).fileName();
    return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(followed).absoluteFilePath())
                               : QDir::cleanPath(canonical + u'/' + name);
}
