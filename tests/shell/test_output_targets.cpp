// Where outputs go: --render, --events, --convert and a patch save (the editor's save function,
// run in a child process) into FIFOs, devices, symbolic links, their own inputs, a full disk and
// folders that cannot be written. Every row states the exit status, the message, and what the
// earlier target is afterwards. Then standard output: "-" and /dev/stdout carry the same bytes
// as a file, and a redirection into a file is written, not replaced.
#include "Errors.h"
#include "PatchFile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

enum class TKind { Render, Events, Convert, Save };

struct TOutcome {
    int Exit = -1;
    QString Err;
};

// How a run is set up beyond its target.
struct TRunSetup {
    QString Input;           // the patch read (absolute)
    QString WorkingFolder;   // for relative targets
    rlim_t FileSizeLimit = RLIM_INFINITY;
    bool IgnoreSigxfsz = true; // else the kernel's SIGXFSZ comes with the failing write
};

QString Reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

void LimitFileSize(rlim_t limit, bool ignoreSigxfsz)
{
    if (limit == RLIM_INFINITY)
        return;
    if (ignoreSigxfsz)
        ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG and nothing else
    const rlimit small{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &small);
}

// The editor's save (WriteSheetBinary, as TKorSlot::SaveToFile calls it) in a child process,
// so that a file-size limit binds it alone. Exit 1 and the message on EFileError.
TOutcome SaveInChild(const QByteArray &binary, const QString &target, const TRunSetup &setup)
{
    int channel[2];
    if (::pipe(channel) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        // Only the channel stays: a pipe end of this process (a test's reader) would keep the
        // pipe open as long as the child lives.
        ::close_range(3, unsigned(channel[1]) - 1, 0);
        ::close_range(unsigned(channel[1]) + 1, ~0U, 0);
        LimitFileSize(setup.FileSizeLimit, setup.IgnoreSigxfsz);
        if (!setup.WorkingFolder.isEmpty() && ::chdir(QFile::encodeName(setup.WorkingFolder).constData()) != 0)
            ::_exit(3);
        int status = 0;
        try {
            WriteSheetBinary(binary, target);
        } catch (const EFileError &e) {
            const QByteArray message = e.Message().toUtf8();
            [[maybe_unused]] const ssize_t n = ::write(channel[1], message.constData(), size_t(message.size()));
            status = 1;
        }
        ::_exit(status);
    }
    ::close(channel[1]);
    QByteArray message;
    char chunk[512];
    for (ssize_t n; (n = ::read(channel[0], chunk, sizeof chunk)) > 0;)
        message.append(chunk, n);
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, QString::fromUtf8(message)};
}

TOutcome Korvane(TKind kind, const QString &target, const TRunSetup &setup)
{
    QStringList args;
    switch (kind) {
    case TKind::Render:
        args = {"--render", target, "--ticks", "2000", setup.Input};
        break;
    case TKind::Events:
        args = {"--events", target, "--ticks", "2000", setup.Input};
        break;
    default:
        args = {"--convert", setup.Input, target};
        break;
    }
    QProcess p;
    if (!setup.WorkingFolder.isEmpty())
        p.setWorkingDirectory(setup.WorkingFolder);
    const rlim_t limit = setup.FileSizeLimit;
    const bool ignore = setup.IgnoreSigxfsz;
    p.setChildProcessModifier([limit, ignore] { LimitFileSize(limit, ignore); });
    p.start(QStringLiteral(KORVANE_PROGRAM), args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "korvane did not finish: " << args.join(' ').toStdString();
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardError()).trimmed()};
}

QByteArray Read(const QString &file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void Write(const QString &file, const QByteArray &data)
{
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

// The file type and, for devices, the device: what must survive a write to the target.
QString TypeOf(const QString &path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("missing");
    switch (st.st_mode & S_IFMT) {
    case S_IFREG: return QStringLiteral("regular file");
    case S_IFIFO: return QStringLiteral("FIFO");
    case S_IFLNK: return QStringLiteral("symbolic link to ") + QFile::symLinkTarget(path);
    case S_IFCHR: return QStringLiteral("character device %1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
    default: return QStringLiteral("other");
    }
}

// Reads a FIFO on a thread of its own until its writer closes it or Stop is called; never
// blocks on a writer that does not come.
class TFifoReader {
public:
    explicit TFifoReader(const QString &path)
    {
        FFd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        FThread = std::thread([this] {
            char chunk[4096];
            while (FFd >= 0) {
                pollfd p{FFd, POLLIN, 0};
                if (::poll(&p, 1, 50) == 0) {
                    if (FStop)
                        return;
                    continue;
                }
                const ssize_t n = ::read(FFd, chunk, sizeof chunk);
                if (n > 0)
                    FData.append(chunk, n);
                else if (n == 0 && (p.revents & POLLHUP))
                    return; // the writer came and went
                else if (n < 0 && errno != EAGAIN)
                    return;
            }
        });
    }
    ~TFifoReader() { Stop(); }
    // The bytes read, once the writer is gone (or, at the latest, once the run has ended).
    QByteArray Stop()
    {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
        if (FFd >= 0)
            ::close(std::exchange(FFd, -1));
        return FData;
    }

private:
    int FFd = -1;
    std::atomic<bool> FStop = false;
    QByteArray FData;
    std::thread FThread;
};

const char *KindName(TKind kind)
{
    switch (kind) {
    case TKind::Render: return "Render";
    case TKind::Events: return "Events";
    case TKind::Convert: return "Convert";
    default: return "Save";
    }
}

enum class TTarget {
    Fifo,
    CharacterDevice,
    SymbolicLink,
    DanglingSymbolicLink,
    HardLinkToTheInput,
    DotSpellingOfTheInput,
    FullDisk,
    FileSizeLimitWithItsSignal,
    ReadOnlyFolder,
    FileWhereAFolderIsExpected,
};

const char *TargetName(TTarget target)
{
    switch (target) {
    case TTarget::Fifo: return "Fifo";
    case TTarget::CharacterDevice: return "CharacterDevice";
    case TTarget::SymbolicLink: return "SymbolicLink";
    case TTarget::DanglingSymbolicLink: return "DanglingSymbolicLink";
    case TTarget::HardLinkToTheInput: return "HardLinkToTheInput";
    case TTarget::DotSpellingOfTheInput: return "DotSpellingOfTheInput";
    case TTarget::FullDisk: return "FullDisk";
    case TTarget::FileSizeLimitWithItsSignal: return "FileSizeLimitWithItsSignal";
    case TTarget::ReadOnlyFolder: return "ReadOnlyFolder";
    default: return "FileWhereAFolderIsExpected";
    }
}

void PrintTo(TKind kind, std::ostream *os)
{
    *os << KindName(kind);
}
void PrintTo(TTarget target, std::ostream *os)
{
    *os << TargetName(target);
}

class OutputTarget : public ::testing::TestWithParam<std::tuple<TTarget, TKind>> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Dir.isValid());
        Input = Dir.filePath("patch.korvane");
        ASSERT_TRUE(QFile::copy(QStringLiteral(KORVANE_FIXTURES "/cli/gate_notes.korvane"), Input));
        auto sheet = ReadSheetFromFile(Input);
        sheet->ResolveConnections();
        Binary = PrepareSheetBinary(*sheet);
    }
    void TearDown() override
    {
        if (!Immutable.isEmpty())
            SetImmutable(Immutable, false);
        if (!ReadOnly.isEmpty())
            QFile::setPermissions(ReadOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    TOutcome Run(TKind kind, const QString &target, const TRunSetup &setup) const
    {
        return kind == TKind::Save ? SaveInChild(Binary, target, setup) : Korvane(kind, target, setup);
    }
    // What the output holds when written into a plain new file.
    QByteArray Expected(TKind kind) const
    {
        const QString plain = Dir.filePath(QStringLiteral("expected.") + KindName(kind));
        const TOutcome done = Run(kind, plain, {Input, {}, RLIM_INFINITY, true});
        EXPECT_EQ(done.Exit, 0) << done.Err.toStdString();
        const QByteArray data = Read(plain);
        QFile::remove(plain);
        EXPECT_FALSE(data.isEmpty());
        return data;
    }
    // Everything in the folder, hidden files too: a leftover temporary file shows here.
    QStringList Entries(const QString &folder) const
    {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    }
    static bool SetImmutable(const QString &folder, bool on)
    {
        const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        ::close(fd);
        return done;
    }

    QTemporaryDir Dir;
    QString Input, Immutable, ReadOnly;
    QByteArray Binary;
};

TEST_P(OutputTarget, KeepsItsKindAndIsCompleteOrUntouched)
{
    const auto [target, kind] = GetParam();
    const bool save = kind == TKind::Save;
    // The line a failed run prints: the command line adds its name.
    const auto failure = [save](const QString &message) { return save ? message : "korvane: " + message; };
    const QString usage = QStringLiteral(" (korvane --help shows the usage)");
    const QByteArray earlier = "the earlier target\n";

    TRunSetup setup{Input, {}, RLIM_INFINITY, true};
    QString path = Dir.filePath("out"); // what the program is given
    QString kept = path;                 // what must keep its kind and, where readable, its bytes
    int exit = 0;
    QString message;
    QByteArray expectedContent; // in `kept` afterwards; empty: as it was
    QString keptBecomes;        // the kind of `kept` afterwards; empty: as it was
    std::unique_ptr<TFifoReader> reader;

    switch (target) {
    case TTarget::Fifo:
        ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        break;
    case TTarget::CharacterDevice:
        if (::geteuid() != 0)
            GTEST_SKIP() << "making a device node needs root";
        if (::mknod(QFile::encodeName(path).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0) // the null device
            GTEST_SKIP() << "mknod refused: " << std::strerror(errno);
        break;
    case TTarget::SymbolicLink:
        Write(Dir.filePath("real"), earlier);
        ASSERT_TRUE(QFile::link("real", path));
        kept = Dir.filePath("real");
        expectedContent = Expected(kind);
        break;
    case TTarget::DanglingSymbolicLink:
        ASSERT_TRUE(QDir(Dir.path()).mkdir("sub"));
        ASSERT_TRUE(QFile::link("sub/new", path));
        kept = Dir.filePath("sub/new");
        keptBecomes = "regular file";
        expectedContent = Expected(kind);
        break;
    case TTarget::HardLinkToTheInput:
        ASSERT_EQ(::link(QFile::encodeName(Input).constData(), QFile::encodeName(path).constData()), 0);
        exit = 2;
        message = "korvane: the output " + path + " is the input " + Input + "; choose another output file" + usage;
        break;
    case TTarget::DotSpellingOfTheInput:
        setup.WorkingFolder = Dir.path();
        path = "./patch.korvane";
        kept = Input;
        exit = 2;
        message = "korvane: the output ./patch.korvane is the input " + Input + "; choose another output file" + usage;
        break;
    case TTarget::FullDisk:
    case TTarget::FileSizeLimitWithItsSignal: // the kernel's SIGXFSZ ends nothing: the write fails
        // Room for half the output.
        setup.FileSizeLimit = rlim_t(Expected(kind).size() / 2);
        setup.IgnoreSigxfsz = target == TTarget::FullDisk;
        ASSERT_GT(setup.FileSizeLimit, rlim_t(earlier.size()));
        Write(path, earlier);
        exit = 1;
        message = failure("Cannot write file \"" + path + "\". " + Reason(EFBIG));
        break;
    case TTarget::ReadOnlyFolder: {
        const QString folder = Dir.filePath("ro");
        ASSERT_TRUE(QDir(Dir.path()).mkdir("ro"));
        path = kept = folder + "/out";
        Write(path, earlier);
        int error = EACCES;
        if (::geteuid() != 0) {
            ASSERT_TRUE(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
            ReadOnly = folder;
        } else if (SetImmutable(folder, true)) { // binds root, as permissions do not
            Immutable = folder;
            error = EPERM;
        } else {
            GTEST_SKIP() << "root writes into any folder, and this file system has no immutable flag";
        }
        exit = 1;
        message = failure("Cannot create file \"" + path + "\". " + Reason(error));
        break;
    }
    case TTarget::FileWhereAFolderIsExpected:
        kept = Dir.filePath("plain");
        Write(kept, earlier);
        path = kept + "/out";
        exit = 1;
        message = failure("Cannot create file \"" + path + "\". " + Reason(ENOTDIR));
        break;
    }
    const QString typeBefore = TypeOf(path), keptTypeBefore = TypeOf(kept);
    const QByteArray before = TypeOf(kept) == "regular file" ? Read(kept) : QByteArray();
    const QByteArray fifoExpected = target == TTarget::Fifo ? Expected(kind) : QByteArray();
    if (target == TTarget::Fifo)
        reader = std::make_unique<TFifoReader>(path);

    const TOutcome outcome = Run(kind, path, setup);

    EXPECT_EQ(outcome.Exit, exit);
    EXPECT_EQ(outcome.Err, message);
    EXPECT_EQ(TypeOf(path), typeBefore) << "the target keeps its kind";
    EXPECT_EQ(TypeOf(kept), keptBecomes.isEmpty() ? keptTypeBefore : keptBecomes);
    if (reader) {
        EXPECT_EQ(reader->Stop(), fifoExpected) << "the reader gets the whole output";
    } else if (!expectedContent.isEmpty()) {
        EXPECT_EQ(Read(kept), expectedContent);
    } else if (!before.isEmpty()) {
        EXPECT_EQ(Read(kept), before) << "byte for byte as it was";
    }
    EXPECT_EQ(Entries(QFileInfo(kept).absolutePath()).filter(".part"), QStringList()) << "no temporary file left";
}

std::string RowName(const ::testing::TestParamInfo<std::tuple<TTarget, TKind>> &row)
{
    return std::string(TargetName(std::get<0>(row.param))) + "_" + KindName(std::get<1>(row.param));
}

INSTANTIATE_TEST_SUITE_P(Targets, OutputTarget,
                         ::testing::Combine(::testing::Values(TTarget::Fifo, TTarget::CharacterDevice,
                                                              TTarget::SymbolicLink, TTarget::DanglingSymbolicLink,
                                                              TTarget::FullDisk, TTarget::FileSizeLimitWithItsSignal,
                                                              TTarget::ReadOnlyFolder,
                                                              TTarget::FileWhereAFolderIsExpected),
                                            ::testing::Values(TKind::Render, TKind::Events, TKind::Convert, TKind::Save)),
                         RowName);
// A save has no input; the command-line modes have.
INSTANTIATE_TEST_SUITE_P(Inputs, OutputTarget,
                         ::testing::Combine(::testing::Values(TTarget::HardLinkToTheInput, TTarget::DotSpellingOfTheInput),
                                            ::testing::Values(TKind::Render, TKind::Events, TKind::Convert)),
                         RowName);

// Binary output to standard output is the same bytes as into a file, whether standard output is
// a pipe or a redirection into a file; the redirected file is written, not replaced, and no
// file named "-" appears.
TEST(StandardOutput, CarriesTheSameBytesAsAFile)
{
    QTemporaryDir dir;
    const QString patch = QStringLiteral(KORVANE_FIXTURES "/cli/table_sequence.korvane");
    struct TOutput {
        const char *Name;
        std::function<QStringList(const QString &target)> Args;
    };
    const std::vector<TOutput> outputs = {
        {"--render", [&](const QString &t) { return QStringList{"--render", t, "--ticks", "40", patch}; }},
        {"--events", [&](const QString &t) { return QStringList{"--events", t, "--ticks", "40", patch}; }},
        {"--convert", [&](const QString &t) { return QStringList{"--convert", patch, t}; }},
    };
    for (const TOutput &output : outputs) {
        const QString file = dir.filePath("file.out");
        QProcess plain;
        plain.start(QStringLiteral(KORVANE_PROGRAM), output.Args(file));
        ASSERT_TRUE(plain.waitForFinished(60000));
        ASSERT_EQ(plain.exitCode(), 0) << plain.readAllStandardError().toStdString();
        const QByteArray expected = Read(file);
        ASSERT_FALSE(expected.isEmpty());
        if (QString::fromLatin1(output.Name) == "--render") {
            ASSERT_TRUE(expected.contains(char(0x90)) && expected.contains(char(0xFF))) << "bytes above 0x7F";
        }

        struct TCase {
            const char *Name, *Spelling;
            bool IntoFile;
        };
        for (const TCase &c : {TCase{"DashIntoAPipe", "-", false}, TCase{"DevStdoutIntoAPipe", "/dev/stdout", false},
                               TCase{"DashIntoAFile", "-", true}, TCase{"DevStdoutIntoAFile", "/dev/stdout", true}}) {
            SCOPED_TRACE(std::string(output.Name) + " " + c.Name);
            const QString redirected = dir.filePath("redirected.out");
            Write(redirected, "earlier text, longer than nothing");
            struct stat before {}, after {};
            ASSERT_EQ(::stat(QFile::encodeName(redirected).constData(), &before), 0);
            QProcess p;
            p.setWorkingDirectory(dir.path());
            if (c.IntoFile)
                p.setStandardOutputFile(redirected);
            p.start(QStringLiteral(KORVANE_PROGRAM), output.Args(c.Spelling));
            ASSERT_TRUE(p.waitForFinished(60000));
            EXPECT_EQ(p.exitCode(), 0);
            EXPECT_EQ(p.readAllStandardError(), QByteArray());
            EXPECT_FALSE(QFile::exists(dir.filePath("-")));
            if (!c.IntoFile) {
                EXPECT_EQ(p.readAllStandardOutput(), expected);
                continue;
            }
            EXPECT_EQ(Read(redirected), expected);
            ASSERT_EQ(::stat(QFile::encodeName(redirected).constData(), &after), 0);
            EXPECT_EQ(after.st_ino, before.st_ino) << "the redirected file is the one the shell opened";
        }
    }
}

// ---- Readers that leave, signals, and part files ----

// korvane started by fork and exec, so that the test sees how it ended (the signal too) and can
// give it a standard output of its own. It dumps no core (RLIMIT_CORE 0); one still running when
// the test ends is killed.
class TKorvaneProcess {
public:
    explicit TKorvaneProcess(const QStringList &args, int out = -1)
    {
        std::vector<QByteArray> words = {QByteArrayLiteral(KORVANE_PROGRAM)};
        for (const QString &a : args)
            words.push_back(QFile::encodeName(a));
        std::vector<char *> argv;
        for (QByteArray &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        int err[2];
        if (::pipe2(err, O_CLOEXEC) != 0)
            return;
        FPid = ::fork();
        if (FPid == 0) {
            const rlimit none{0, 0};
            ::setrlimit(RLIMIT_CORE, &none);
            // As a shell starts a program: whatever the test runner ignores or blocks.
            for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGPIPE})
                ::signal(signal, SIG_DFL);
            sigset_t all;
            sigfillset(&all);
            ::sigprocmask(SIG_UNBLOCK, &all, nullptr);
            if (out >= 0)
                ::dup2(out, STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(err[1]);
        FErr = err[0];
    }
    ~TKorvaneProcess()
    {
        if (FPid > 0 && !FStatus) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
        if (FErr >= 0)
            ::close(FErr);
    }
    TKorvaneProcess(const TKorvaneProcess &) = delete;
    TKorvaneProcess &operator=(const TKorvaneProcess &) = delete;

    pid_t Pid() const { return FPid; }
    // The wait status once it has ended; nothing (and the process killed) after a minute.
    std::optional<int> Wait()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!FStatus && FPid > 0) {
            int status = 0;
            const pid_t done = ::waitpid(FPid, &status, WNOHANG);
            if (done == FPid)
                FStatus = status;
            else if (done < 0 || std::chrono::steady_clock::now() > deadline)
                break;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return FStatus;
    }
    // Standard error, once it has ended.
    QString Err()
    {
        char chunk[4096];
        for (ssize_t n; FErr >= 0 && (n = ::read(FErr, chunk, sizeof chunk)) > 0;)
            FErrText.append(chunk, n);
        return QString::fromUtf8(FErrText).trimmed();
    }

private:
    pid_t FPid = -1;
    int FErr = -1;
    std::optional<int> FStatus;
    QByteArray FErrText;
};

// What `head -c 10` does: takes ten bytes of a FIFO and leaves. The FIFO holds a single page,
// so the writer is in the middle of a longer write when the reader goes: that write is cut
// short (the kernel raises SIGPIPE all the same), and the next one fails.
class TLeavingReader {
public:
    explicit TLeavingReader(const QString &fifo)
    {
        FFd = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        FOnePage = FFd >= 0 && ::fcntl(FFd, F_SETPIPE_SZ, 4096) == 4096;
        FThread = std::thread([this] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            char chunk[10];
            while (FFd >= 0 && FTaken.size() < 10 && std::chrono::steady_clock::now() < deadline) {
                pollfd p{FFd, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::read(FFd, chunk, size_t(10 - FTaken.size()));
                if (n > 0)
                    FTaken.append(chunk, n);
                else if (n == 0 && !FTaken.isEmpty())
                    break; // the writer went first
                else if (n == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10)); // no writer yet
            }
            if (FFd >= 0)
                ::close(std::exchange(FFd, -1));
        });
    }
    ~TLeavingReader() { Join(); }
    bool OnePage() const { return FOnePage; }
    QByteArray Taken()
    {
        Join();
        return FTaken;
    }

private:
    void Join()
    {
        if (FThread.joinable())
            FThread.join();
    }
    int FFd = -1;
    bool FOnePage = false;
    QByteArray FTaken;
    std::thread FThread;
};

// A patch whose text is some hundred kilobytes: many writes through a one-page pipe.
QByteArray BigPatch()
{
    QByteArray text = "object TKorDrawSheet\n";
    for (int i = 0; i < 3000; ++i)
        text += "  object C" + QByteArray::number(i) + ": TKorConstant\n    Left = " + QByteArray::number(i % 20 * 250) +
                "\n    Top = " + QByteArray::number(i / 20 * 50) + "\n    KnobAmpValue = 480\n  end\n";
    return text + "end\n";
}

// The part files in a folder: hidden, ".NAME.korvane-PID-N.part".
QStringList PartFiles(const QString &folder)
{
    return QDir(folder).entryList({"*.part"}, QDir::Files | QDir::Hidden, QDir::Name);
}

// Waits up to a minute until the folder holds `count` part files.
bool WaitForPartFiles(const QString &folder, qsizetype count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (PartFiles(folder).size() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A reader that leaves half-way ends the write with the usual message and exit status 1 (the
// editor's save: EFileError, so the desktop shows an error box and keeps the edit), never a
// death by SIGPIPE.
TEST(ReaderThatLeaves, EndsTheWriteWithAnErrorNotASignal)
{
    QTemporaryDir dir;
    const QString big = dir.filePath("big.korvane"), fifo = dir.filePath("fifo");
    Write(big, BigPatch());
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString gate = QStringLiteral(KORVANE_FIXTURES "/cli/gate_notes.korvane");
    const QString broken = Reason(EPIPE);

    struct TCase {
        const char *Name;
        QStringList Args;     // korvane's; empty: the editor's save in a child process
        bool StandardOutput;  // the FIFO is korvane's standard output, named "-"
        QString Message;
    };
    const std::vector<TCase> cases = {
        {"RenderToStandardOutput", {"--render", "-", "--ticks", "400000", gate}, true,
         "korvane: Cannot write file \"/dev/stdout\". " + broken},
        {"EventsToStandardOutput", {"--events", "-", "--ticks", "400000", gate}, true,
         "korvane: Cannot write file \"/dev/stdout\". " + broken},
        {"ConvertToAFifo", {"--convert", big, fifo}, false, "korvane: Cannot write file \"" + fifo + "\". " + broken},
        {"EditorSaveToAFifo", {}, false, "Cannot write file \"" + fifo + "\". " + broken},
    };
    auto sheet = ReadSheetFromText(BigPatch(), big);
    const QByteArray binary = PrepareSheetBinary(*sheet);
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TLeavingReader reader(fifo);
        ASSERT_TRUE(reader.OnePage());
        if (c.Args.isEmpty()) {
            const TOutcome saved = SaveInChild(binary, fifo, {big, {}, RLIM_INFINITY, true});
            EXPECT_EQ(saved.Exit, 1) << "-1: ended by a signal";
            EXPECT_EQ(saved.Err, c.Message);
        } else {
            const int out = c.StandardOutput ? ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_CLOEXEC) : -1;
            TKorvaneProcess korvane(c.Args, out);
            if (out >= 0)
                ::close(out);
            const std::optional<int> status = korvane.Wait();
            ASSERT_TRUE(status) << "still running";
            EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << (WIFSIGNALED(*status) ? WTERMSIG(*status) : 0);
            EXPECT_EQ(WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, 1);
            EXPECT_EQ(korvane.Err(), c.Message);
        }
        EXPECT_EQ(reader.Taken().size(), 10);
    }
}

// A signal that ends a run removes its part files first, and the run ends by that signal as
// it would have (the shell sees 128 + N).
TEST(EndingSignal, LeavesNoPartFiles)
{
    const QString gate = QStringLiteral(KORVANE_FIXTURES "/cli/gate_notes.korvane");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) {
        SCOPED_TRACE(strsignal(signal));
        QTemporaryDir dir;
        const QString mid = dir.filePath("out.mid"), events = dir.filePath("out.txt");
        Write(mid, "the earlier file\n");
        TKorvaneProcess korvane({"--render", mid, "--events", events, "--ticks", "2147483647", gate});
        ASSERT_TRUE(WaitForPartFiles(dir.path(), 2)) << PartFiles(dir.path()).join(' ').toStdString();
        ASSERT_EQ(::kill(korvane.Pid(), signal), 0);
        const std::optional<int> status = korvane.Wait();
        ASSERT_TRUE(status) << "still running";
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == signal) << "wait status " << *status;
        EXPECT_EQ(PartFiles(dir.path()), QStringList());
        EXPECT_EQ(Read(mid), "the earlier file\n");
        EXPECT_FALSE(QFile::exists(events));
    }
}

// A run killed outright (SIGKILL, which nothing catches) leaves its part files; the next write
// into that folder removes them, and only them: a living process's part file, and files of
// other kinds, stay.
TEST(StalePartFiles, GoWithTheNextWriteIntoTheirFolder)
{
    QTemporaryDir dir;
    const QString gate = QStringLiteral(KORVANE_FIXTURES "/cli/gate_notes.korvane");
    QStringList killed;
    {
        TKorvaneProcess korvane({"--render", dir.filePath("a.mid"), "--events", dir.filePath("a.txt"), "--ticks",
                                 "2147483647", gate});
        ASSERT_TRUE(WaitForPartFiles(dir.path(), 2));
        ASSERT_EQ(::kill(korvane.Pid(), SIGKILL), 0);
        ASSERT_TRUE(korvane.Wait());
        killed = PartFiles(dir.path());
        ASSERT_EQ(killed.size(), 2);
        for (const QString &part : killed)
            EXPECT_TRUE(part.contains(QStringLiteral(".korvane-%1-").arg(korvane.Pid()))) << part.toStdString();
    }
    const QString living = QStringLiteral(".b.mid.korvane-%1-0.part").arg(::getpid()); // this test's process
    const QStringList others = {living, ".draft.part", "notes.korvane-1-1.part", ".x.korvane-none-1.part"};
    for (const QString &other : others)
        Write(dir.filePath(other), "kept");

    TKorvaneProcess next({"--events", dir.filePath("b.txt"), "--ticks", "1", gate});
    const std::optional<int> status = next.Wait();
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << next.Err().toStdString();

    QStringList left = others;
    left.sort();
    EXPECT_EQ(PartFiles(dir.path()), left);
}

} // namespace
