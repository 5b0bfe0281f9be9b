#include "FileWriter.h"

#include "Errors.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>
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

// An anonymous file in the temporary folder, gone when closed.
int OpenSpool()
{
    const QByteArray folder = QFile::encodeName(QDir::tempPath());
    int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    QByteArray name = folder + "/korvane-spool-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0)
        ::unlink(name.constData());
    return fd;
}

// write() with SIGPIPE held back, so a FIFO whose reader left gives EPIPE instead of ending
// the program. Returns what write() returns, errno intact.
ssize_t WriteWithoutSigpipe(int fd, const char *data, size_t size)
{
    sigset_t sigpipe, old;
    sigemptyset(&sigpipe);
    sigaddset(&sigpipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigpipe, &old);
    const ssize_t n = ::write(fd, data, size);
    const int error = errno;
    if (n < 0 && error == EPIPE && !wasPending) {
        const timespec none{0, 0};
        while (sigtimedwait(&sigpipe, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
}

} // namespace

TFileWriter::TFileWriter(const QString &fileName, TAccess access) : FFileName(fileName)
{
    FBuffer.reserve(BufferSize);
    if (const int own = OwnDescriptor(fileName); own >= 0) {
        FDirect = true;
        FFd = ::fcntl(own, F_DUPFD_CLOEXEC, 0);
        if (FFd < 0)
            Raise(fileName, "create", errno);
    } else {
        // Follow symbolic links to the file that will be replaced or written.
        QByteArray path = QFile::encodeName(fileName);
        struct stat st {};
        bool exists = false;
        for (int links = 0;; ++links) {
            if (::lstat(path.constData(), &st) != 0) {
                if (errno != ENOENT)
                    Raise(fileName, "create", errno);
                break;
            }
            if (!S_ISLNK(st.st_mode)) {
                exists = true;
                break;
            }
            if (links == MaxSymbolicLinks)
                Raise(fileName, "create", ELOOP);
            QByteArray link(qsizetype(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
            const ssize_t n = ::readlink(path.constData(), link.data(), size_t(link.size()));
            if (n < 0)
                Raise(fileName, "create", errno);
            link.truncate(n);
            path = link.startsWith('/') ? link : Folder(path) + '/' + link;
        }
        if (exists && S_ISDIR(st.st_mode))
            Raise(fileName, "create", EISDIR);
        if (exists && !S_ISREG(st.st_mode)) {
            FDirect = true;
            FFd = OpenDirect(path, st);
            if (FFd < 0)
                Raise(fileName, "create", errno);
        } else {
            FTarget = path;
            // Beside the target, visible as the target's name with a random middle and ".part".
            const QByteArray stem = Folder(path) + '/' + path.mid(path.lastIndexOf('/') + 1) + '.';
            for (int attempt = 0; FFd < 0; ++attempt) {
                FTemporary = stem + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".part";
                FFd = ::open(FTemporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                if (FFd < 0 && (errno != EEXIST || attempt == 100))
                    Raise(fileName, "create", errno);
            }
            if (exists) { // the new file keeps the old one's permissions and, where allowed, owner
                ::fchmod(FFd, st.st_mode & 07777);
                [[maybe_unused]] const int owned = ::fchown(FFd, st.st_uid, st.st_gid);
            }
        }
    }
    if (FDirect && access == TAccess::Overwrites) {
        FTargetFd = FFd;
        FFd = OpenSpool();
        if (FFd < 0) {
            const int error = errno;
            Discard();
            Raise(fileName, "create", error);
        }
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

void TFileWriter::WriteAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = WriteWithoutSigpipe(fd, data, size);
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
    WriteAll(FFd, FBuffer.data(), FBuffer.size());
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
            WriteAll(FFd, data, size);
            return;
        }
    }
    FBuffer.insert(FBuffer.end(), data, data + size);
}

void TFileWriter::Overwrite(uint64_t offset, const char *data, size_t size)
{
    if (FDone || (FDirect && FTargetFd < 0) || offset + size > FSize)
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

void TFileWriter::CopySpoolToTarget()
{
    if (::lseek(FFd, 0, SEEK_SET) != 0)
        Fail("write", errno);
    QByteArray chunk(BufferSize, '\0');
    for (;;) {
        const ssize_t n = ::read(FFd, chunk.data(), size_t(chunk.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail("write", errno);
        if (n == 0)
            return;
        WriteAll(FTargetFd, chunk.constData(), size_t(n));
    }
}

void TFileWriter::Commit()
{
    if (FDone)
        KOR_FAIL(QStringLiteral("TFileWriter::Commit after Commit or Discard"));
    Flush();
    if (FTargetFd >= 0) {
        CopySpoolToTarget();
        ::close(FFd);
        FFd = std::exchange(FTargetFd, -1);
    }
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
        if (::rename(FTemporary.constData(), FTarget.constData()) != 0)
            Fail("write", errno);
        FTemporary.clear();
        // The rename itself reaches the disk with the folder; a folder that cannot be synced
        // still holds the complete file.
        const int folder = ::open(Folder(FTarget).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
    }
    FDone = true;
}

void TFileWriter::Discard() noexcept
{
    if (FDone)
        return;
    FDone = true;
    FBuffer.clear();
    if (FFd >= 0)
        ::close(std::exchange(FFd, -1));
    if (FTargetFd >= 0)
        ::close(std::exchange(FTargetFd, -1));
    if (!FTemporary.isEmpty())
        ::unlink(FTemporary.constData());
}

void WriteWholeFile(const QString &fileName, const QByteArray &data)
{
    TFileWriter writer(fileName);
    writer.Write(data);
    writer.Commit();
}
