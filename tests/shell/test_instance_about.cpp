// The instance channel between two ends in this process (each test on a channel of its own): what
// a later start hands over and what the running instance does with it, starts that find no
// running instance, sockets left behind and sockets still in use, the folder the channel lives
// in, the user at each end, and starts that stall. The about box: its labels, what closes it,
// and the JPEG decoding of the logo the build draws.
#include "AppPaths.h"
#include "EditorTestSupport.h"
#include "FrmAbout.h"
#include "Instance.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <stdexcept>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A running instance that records what the channel asked of it.
struct TRunningInstance {
    TInstanceChannel Channel;
    int Activations = 0;
    QStringList Opened;
    TRunningInstance()
    {
        Channel.OnActivate = [this] { ++Activations; };
        Channel.OnOpenFile = [this](const QString &file) { Opened << file; };
    }
};

// A later start's HandOver, on a thread of its own as in another process, while this thread's
// event loop serves the running instance.
bool HandOverServed(const QString &argument, const QString &channel, uid_t owner = ::getuid(),
                    QString *refusal = nullptr)
{
    auto handOver = std::async(std::launch::async,
                               [&] { return TInstanceChannel::HandOver(argument, channel, owner, refusal); });
    const QDeadlineTimer patience(30000);
    while (handOver.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready && !patience.hasExpired())
        QCoreApplication::processEvents();
    EXPECT_FALSE(patience.hasExpired()) << "the hand-over did not end";
    const bool taken = handOver.get();
    QCoreApplication::processEvents(); // the running instance's end sees the connection close
    return taken;
}

// The address of a socket file, for the raw sockets of the tests.
sockaddr_un Address(const QString &channel)
{
    const QByteArray path = QFile::encodeName(channel);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    EXPECT_LT(size_t(path.size()), sizeof address.sun_path);
    std::copy(path.begin(), path.begin() + std::min<qsizetype>(path.size(), sizeof address.sun_path - 1),
              address.sun_path);
    return address;
}

class InstanceChannel : public ::testing::Test {
protected:
    QTemporaryDir Dir;
    QString Channel = Dir.filePath(QStringLiteral("channel"));
};

TEST_F(InstanceChannel, RunningInstanceComesToTheFrontAndOpensOnlyExistingFiles)
{
    ASSERT_TRUE(QDir(Dir.path()).mkdir(QStringLiteral("sub")));
    const QString file = Dir.filePath(QStringLiteral("sub/Drums.Slt"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();

    struct TCase {
        const char *Name;
        QString Argument, WorkingFolder;
        QStringList Opened;
    };
    const std::vector<TCase> cases = {
        {"an existing file by its full name", file, {}, {file}},
        {"a name relative to the later start's folder", QStringLiteral("sub/Drums.Slt"), Dir.path(), {file}},
        {"a file that does not exist", Dir.filePath(QStringLiteral("sub/Missing.Slt")), {}, {}},
        {"a folder", Dir.filePath(QStringLiteral("sub")), {}, {}},
        {"no argument", {}, {}, {}},
    };
    TRunningInstance running;
    ASSERT_TRUE(running.Channel.Listen(Channel)) << running.Channel.ErrorString().toStdString();
    const QString home = QDir::currentPath();
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        running.Activations = 0;
        running.Opened.clear();
        if (!c.WorkingFolder.isEmpty())
            QDir::setCurrent(c.WorkingFolder);
        const bool taken = HandOverServed(c.Argument, Channel);
        QDir::setCurrent(home);
        EXPECT_TRUE(taken);
        EXPECT_EQ(running.Activations, 1);
        EXPECT_EQ(running.Opened, c.Opened);
    }
}

TEST_F(InstanceChannel, StartFindsNoRunningInstance)
{
    EXPECT_FALSE(TInstanceChannel::HandOver(QStringLiteral("/tmp/x.Slt"), Channel)) << "nothing listens";

    // Something that accepts and goes away without answering is no running instance either.
    QLocalServer mute;
    ASSERT_TRUE(mute.listen(Channel));
    QObject::connect(&mute, &QLocalServer::newConnection, [&] {
        while (QLocalSocket *s = mute.nextPendingConnection())
            s->abort();
    });
    EXPECT_FALSE(HandOverServed(QString(), Channel));
}

TEST_F(InstanceChannel, SocketLeftByAnEndedInstanceDoesNotBlockTheNextStart)
{
    // What a crashed instance leaves: a bound socket file nobody listens on.
    const sockaddr_un address = Address(Channel);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(Channel));

    EXPECT_FALSE(TInstanceChannel::HandOver(QString(), Channel));
    TRunningInstance running;
    ASSERT_TRUE(running.Channel.Listen(Channel)) << running.Channel.ErrorString().toStdString();
    EXPECT_TRUE(HandOverServed(QString(), Channel));
    EXPECT_EQ(running.Activations, 1);
}

TEST_F(InstanceChannel, RunningInstanceKeepsItsChannel)
{
    TRunningInstance first, second;
    ASSERT_TRUE(first.Channel.Listen(Channel));
    EXPECT_FALSE(second.Channel.Listen(Channel));
    EXPECT_FALSE(second.Channel.ErrorString().isEmpty());
    QCoreApplication::processEvents();
    EXPECT_EQ(first.Activations, 0) << "looking whether it runs is no hand-over";

    EXPECT_TRUE(HandOverServed(QString(), Channel));
    EXPECT_EQ(first.Activations, 1);
    EXPECT_EQ(second.Activations, 0);
}

TEST_F(InstanceChannel, FileThatFailsToOpenIsReportedAfterTheStartIsAnswered)
{
    const QString file = Dir.filePath(QStringLiteral("Broken.Slt"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    TDialogRecorder dialogs;
    TRunningInstance running;
    running.Channel.OnOpenFile = [](const QString &) { throw std::runtime_error("Corrupt patch"); };
    ASSERT_TRUE(running.Channel.Listen(Channel));

    EXPECT_TRUE(HandOverServed(file, Channel));
    EXPECT_EQ(dialogs.Errors, QStringList{QStringLiteral("Corrupt patch")});
}

TEST_F(InstanceChannel, TheStartIsAnsweredBeforeAFileThatFailsToOpenShowsItsBox)
{
    const QString file = Dir.filePath(QStringLiteral("Unreadable.Slt"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    TRunningInstance running;
    ASSERT_TRUE(running.Channel.Listen(Channel));
    std::future<bool> handOver;
    bool answeredFirst = false;
    // As the window does: the open fails and its error box waits for the user right here.
    running.Channel.OnOpenFile = [&](const QString &) {
        answeredFirst = handOver.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    };
    handOver = std::async(std::launch::async, [&] { return TInstanceChannel::HandOver(file, Channel); });
    const QDeadlineTimer patience(30000);
    while (handOver.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready && !patience.hasExpired())
        QCoreApplication::processEvents();
    ASSERT_FALSE(patience.hasExpired());
    EXPECT_TRUE(handOver.get());
    EXPECT_TRUE(answeredFirst) << "the later start waited behind the box";
}

TEST_F(InstanceChannel, NamesPassOnlyBetweenProcessesOfTheSameUser)
{
    // Tests run as one user: the other user is played by the uid each end expects, while the
    // uid each end sees is the kernel's.
    const QString file = Dir.filePath(QStringLiteral("Private.Slt"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    const uid_t me = ::getuid(), other = me + 1;
    struct TCase {
        const char *Name;
        uid_t ServerServes, ClientTrusts;
        bool Taken, Refused;
    };
    const TCase cases[] = {
        {"both ends of this user", me, me, true, false},
        {"a start of another user: dropped unread", other, me, false, false},
        {"a listener of another user: nothing is sent", me, other, false, true},
    };
    int n = 0;
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TRunningInstance running;
        running.Channel.SetPeerOwner(c.ServerServes);
        const QString channel = Channel + QString::number(n++);
        ASSERT_TRUE(running.Channel.Listen(channel)) << running.Channel.ErrorString().toStdString();
        QString refusal;
        EXPECT_EQ(HandOverServed(file, channel, c.ClientTrusts, &refusal), c.Taken);
        EXPECT_EQ(!refusal.isEmpty(), c.Refused) << refusal.toStdString();
        EXPECT_EQ(running.Opened, c.Taken ? QStringList{file} : QStringList{});
        EXPECT_EQ(running.Activations, c.Taken ? 1 : 0);
    }
}

TEST_F(InstanceChannel, AStartThatStallsMidMessageIsDropped)
{
    TRunningInstance running;
    running.Channel.SetReceiveTimeout(200);
    ASSERT_TRUE(running.Channel.Listen(Channel));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    const sockaddr_un address = Address(Channel);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    // The count of a 100-byte name, then 10 of its bytes, then nothing more.
    const char part[14] = {0, 0, 0, 100, '/', 't', 'm', 'p', '/', 'a', '.', 'S', 'l', 't'};
    ASSERT_EQ(::write(fd, part, sizeof part), ssize_t(sizeof part));

    QByteArray answer;
    bool closed = false;
    const QDeadlineTimer patience(15000);
    while (!closed && !patience.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 5) != 1)
            continue;
        char buffer[16];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0)
            answer.append(buffer, got);
        else
            closed = true;
    }
    ::close(fd);
    EXPECT_TRUE(closed) << "the stalled connection is still held";
    EXPECT_TRUE(answer.isEmpty()) << "a message never finished was answered";
    EXPECT_EQ(running.Activations, 0);

    EXPECT_TRUE(HandOverServed(QString(), Channel)) << "the next start is served as ever";
    EXPECT_EQ(running.Activations, 1);
}

// A box shown during the start (a port that could not be opened): its event loop runs while it
// is open, and later starts hand their files over meanwhile.
struct TBoxWithLoop : TDialogRecorder {
    std::function<void()> WhileOpen;
    void ShowMessage(const QString &text) override
    {
        Messages << text;
        if (WhileOpen)
            WhileOpen();
    }
};

TEST_F(InstanceChannel, HandOversDuringTheStartAreKeptUntilTheWindowIsThere)
{
    const QString drums = Dir.filePath(QStringLiteral("Drums.Slt")), bass = Dir.filePath(QStringLiteral("Bass.Slt"));
    for (const QString &name : {drums, bass}) {
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    struct TCase {
        const char *Name;
        QStringList HandedOver, Opened;
    };
    const std::vector<TCase> cases = {
        {"one file", {drums}, {drums}},
        {"two files, opened in the order they came", {bass, drums}, {bass, drums}},
        {"a start without a file", {QString()}, {}},
        {"a file gone by the time the window is there", {Dir.filePath(QStringLiteral("Gone.Slt"))}, {}},
    };
    int n = 0;
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        const QString channelName = Channel + QString::number(n++);
        TInstanceChannel channel;
        channel.SetHolding(true); // as the start does before it listens
        ASSERT_TRUE(channel.Listen(channelName)) << channel.ErrorString().toStdString();
        TBoxWithLoop box;
        box.WhileOpen = [&] {
            for (const QString &file : c.HandedOver)
                EXPECT_TRUE(HandOverServed(file, channelName)) << "every later start is answered at once";
        };
        Dialogs().ShowMessage(QStringLiteral("Could not open midi in port : Keys"));
        EXPECT_EQ(channel.PendingCount(), c.HandedOver.size());

        // The window is there: it takes what was kept.
        int activations = 0;
        QStringList opened;
        channel.OnActivate = [&] { ++activations; };
        channel.OnOpenFile = [&](const QString &file) { opened << file; };
        EXPECT_EQ(activations, 0) << "nothing is delivered while held";
        channel.SetHolding(false);
        EXPECT_EQ(opened, c.Opened);
        EXPECT_EQ(activations, c.HandedOver.size());
        EXPECT_EQ(channel.PendingCount(), 0);
    }
}

// The channel's folder, chosen from a session runtime folder and a temporary folder of the test's.
TEST(InstanceChannelFolder, IsAFolderOfTheUsersOwnThatNobodyElseMayWrite)
{
    const uid_t me = ::getuid(), other = me + 1;
    enum TChoice { Runtime, Temporary, None };
    const auto makeFolder = [](const QString &path, mode_t mode) {
        return ::mkdir(QFile::encodeName(path).constData(), 0700) == 0 &&
               ::chmod(QFile::encodeName(path).constData(), mode) == 0; // past the umask
    };
    struct TCase {
        const char *Name;
        std::function<bool(const QString &runtime, const QString &own)> Prepare; // own: <temp>/korvane-<user>
        uid_t User;
        TChoice Expected;
        bool AsRoot = false; // needs to give a folder to another user
    };
    const std::vector<TCase> cases = {
        {"a private runtime folder", [&](const QString &r, const QString &) { return makeFolder(r, 0700); }, me, Runtime},
        {"a runtime folder others may read", [&](const QString &r, const QString &) { return makeFolder(r, 0755); }, me,
         Runtime},
        {"a runtime folder its group may write", [&](const QString &r, const QString &) { return makeFolder(r, 0770); },
         me, Temporary},
        {"a world-writable runtime folder", [&](const QString &r, const QString &) { return makeFolder(r, 0777); }, me,
         Temporary},
        {"a runtime folder that is a symbolic link",
         [&](const QString &r, const QString &) {
             return makeFolder(r + ".real", 0700) && QFile::link(r + ".real", r);
         },
         me, Temporary},
        {"no runtime folder", [](const QString &, const QString &) { return true; }, me, Temporary},
        {"another user's runtime folder",
         [&](const QString &r, const QString &) {
             return makeFolder(r, 0700) && ::chown(QFile::encodeName(r).constData(), other, gid_t(-1)) == 0;
         },
         me, Temporary, true},
        {"the temporary one there already, private", [&](const QString &, const QString &o) { return makeFolder(o, 0700); },
         me, Temporary},
        {"the temporary one open to others", [&](const QString &, const QString &o) { return makeFolder(o, 0711); }, me,
         None},
        {"the temporary one a link to a private folder",
         [&](const QString &, const QString &o) { return makeFolder(o + ".real", 0700) && QFile::link(o + ".real", o); },
         me, None},
        {"the temporary one a file",
         [](const QString &, const QString &o) {
             QFile f(o);
             return f.open(QIODevice::WriteOnly);
         },
         me, None},
        {"both made by somebody else", [&](const QString &r, const QString &o) { return makeFolder(r, 0700) && makeFolder(o, 0700); },
         other, None},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        if (c.AsRoot && ::geteuid() != 0) {
            std::cout << "[ SKIPPED  ] " << c.Name << ": only root can give a folder away\n";
            continue;
        }
        QTemporaryDir dir;
        const QString runtime = dir.filePath(QStringLiteral("run")), temp = dir.filePath(QStringLiteral("tmp"));
        ASSERT_TRUE(makeFolder(temp, 01777)); // as the shared one is
        const QString own = temp + QStringLiteral("/korvane-%1").arg(c.User);
        ASSERT_TRUE(c.Prepare(runtime, own));
        QString why;
        const QString chosen = TInstanceChannel::ChannelFolder(runtime, temp, c.User, &why);
        switch (c.Expected) {
        case Runtime:
            EXPECT_EQ(chosen, runtime);
            break;
        case Temporary: {
            EXPECT_EQ(chosen, own) << why.toStdString();
            struct stat info {};
            ASSERT_EQ(::lstat(QFile::encodeName(own).constData(), &info), 0);
            EXPECT_TRUE(S_ISDIR(info.st_mode));
            EXPECT_EQ(info.st_mode & 07777, 0700u);
            break;
        }
        case None:
            EXPECT_EQ(chosen, QString());
            EXPECT_TRUE(why.contains(own)) << why.toStdString();
            break;
        }
    }
    // A relative runtime path is no runtime folder either.
    QTemporaryDir dir;
    EXPECT_EQ(TInstanceChannel::ChannelFolder(QStringLiteral("run"), dir.path(), me),
              dir.filePath(QStringLiteral("korvane-%1").arg(me)));
}

TEST(InstanceChannelName, IsTheSameForEveryStartOfThisUser)
{
    const QString name = TInstanceChannel::ChannelName();
    EXPECT_EQ(name, TInstanceChannel::ChannelName());
    EXPECT_TRUE(name.contains(QStringLiteral("Korvane7_AppEntry")));
    EXPECT_TRUE(name.contains(QString::number(::getuid())));
}

// ---- The about box ----

void SendKey(QWidget *w, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QApplication::sendEvent(w, &release);
}

void Click(QWidget *w)
{
    DragMouse(w, w->rect().center(), w->rect().center());
}

TEST(AboutBox, ShowsTheVersionValuesInKeyOrder)
{
    const QStringList keys = VersionKeys(), values = VersionValues();
    ASSERT_EQ(values.size(), 10);
    EXPECT_EQ(values[keys.indexOf(QStringLiteral("FileVersion"))], QStringLiteral(KORVANE_VERSION));
    EXPECT_EQ(values[keys.indexOf(QStringLiteral("ProductVersion"))], QStringLiteral(KORVANE_VERSION));
    EXPECT_FALSE(values.contains(QStringLiteral("Unknown"))) << "the build gives every value";

    TFormAbout form;
    EXPECT_EQ(form.size(), QSize(646, 292));
    EXPECT_TRUE(form.windowFlags() & Qt::FramelessWindowHint);
    ASSERT_EQ(form.StaticTexts().size(), 10);
    ASSERT_EQ(form.Captions().size(), 10);
    EXPECT_EQ(form.Captions()[0]->text(), QStringLiteral("Company"));
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(keys[i].toStdString());
        const QLabel *value = form.StaticTexts()[i];
        EXPECT_EQ(value->objectName(), QStringLiteral("StaticText") + keys[i]);
        EXPECT_EQ(value->text(), values[i]);
        EXPECT_EQ(value->mapTo(&form, QPoint()), QPoint(432, 28 + 24 * i));
        EXPECT_EQ(form.Captions()[i]->mapTo(&form, QPoint()), QPoint(352, 28 + 24 * i));
    }
    EXPECT_EQ(form.findChild<QLabel *>(QStringLiteral("StaticTextComments")), form.StaticTexts()[9]);
    EXPECT_EQ(form.ImageLogo()->width(), 329);
}

TEST(AboutBox, ClosesOnAClickEscOrPlainEnterOnly)
{
    struct TCase {
        const char *Name;
        std::function<void(TFormAbout &)> Act;
        bool Closes;
    };
    const std::vector<TCase> cases = {
        {"click on the logo", [](TFormAbout &f) { Click(f.ImageLogo()); }, true},
        {"click on a value", [](TFormAbout &f) { Click(f.StaticTexts()[3]); }, true},
        {"click on a caption", [](TFormAbout &f) { Click(f.Captions()[9]); }, true},
        {"click on the box", [](TFormAbout &f) { DragMouse(&f, QPoint(600, 280), QPoint(600, 280)); }, true},
        {"Esc", [](TFormAbout &f) { SendKey(&f, Qt::Key_Escape); }, true},
        {"Enter", [](TFormAbout &f) { SendKey(&f, Qt::Key_Return); }, true},
        {"keypad Enter", [](TFormAbout &f) { SendKey(&f, Qt::Key_Enter, Qt::KeypadModifier); }, true},
        {"a", [](TFormAbout &f) { SendKey(&f, Qt::Key_A); }, false},
        {"Space", [](TFormAbout &f) { SendKey(&f, Qt::Key_Space); }, false},
        {"Shift+Enter", [](TFormAbout &f) { SendKey(&f, Qt::Key_Return, Qt::ShiftModifier); }, false},
        {"Ctrl+Esc", [](TFormAbout &f) { SendKey(&f, Qt::Key_Escape, Qt::ControlModifier); }, false},
        {"Alt+Enter", [](TFormAbout &f) { SendKey(&f, Qt::Key_Return, Qt::AltModifier); }, false},
        {"right click", [](TFormAbout &f) { DragMouse(&f, QPoint(600, 280), QPoint(600, 280), Qt::RightButton); },
         false},
    };
    TFormAbout form;
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        form.show();
        ASSERT_TRUE(form.isVisible());
        c.Act(form);
        EXPECT_EQ(form.isVisible(), !c.Closes);
        form.hide();
    }
}

QByteArray ReadFile(const QString &name)
{
    QFile f(name);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name.toStdString();
    return f.readAll();
}

const QString BuiltLogo = QStringLiteral(KORVANE_APPDIR "/Logo.jpg");

TEST(AboutBox, DecodesTheBuiltLogoAsAnotherReaderDoes)
{
    const QImage logo = DecodeJpeg(ReadFile(BuiltLogo));
    ASSERT_EQ(logo.size(), QSize(329, 292));
    TFormAbout form;
    ASSERT_FALSE(form.ImageLogo()->pixmap().isNull());
    EXPECT_EQ(form.ImageLogo()->pixmap().size(), QSize(329, 292));

    // Colour order and rows checked against the toolkit's own JPEG reader, where it has one.
    QImageReader reader(BuiltLogo);
    const QImage other = reader.read();
    if (other.isNull())
        GTEST_SKIP() << "no second JPEG reader here: " << reader.errorString().toStdString();
    int worst = 0;
    for (int y = 0; y < logo.height(); ++y)
        for (int x = 0; x < logo.width(); ++x) {
            const QRgb a = logo.pixel(x, y), b = other.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                              std::abs(qBlue(a) - qBlue(b))});
        }
    EXPECT_LE(worst, 8);
}

TEST(AboutBox, BadJpegDataGivesNoPicture)
{
    const QByteArray logo = ReadFile(BuiltLogo);
    ASSERT_FALSE(logo.isEmpty());
    // The logo claiming 60000 x 60000 pixels in its frame header.
    QByteArray huge = logo;
    const qsizetype frame = huge.indexOf(QByteArray("\xFF\xC0", 2));
    ASSERT_GT(frame, 0);
    for (int field : {5, 7})
        huge[frame + field] = char(0xEA), huge[frame + field + 1] = char(0x60);

    const std::vector<std::pair<const char *, QByteArray>> cases = {
        {"nothing", QByteArray()},
        {"text", QByteArray("this is no picture at all")},
        {"a start marker and then junk", QByteArray("\xFF\xD8\xFF\x00junkjunkjunk", 16)},
        {"the logo cut after its first 100 bytes", logo.left(100)},
        {"a picture far too large", huge},
    };
    for (const auto &[name, data] : cases) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(DecodeJpeg(data).isNull());
    }
}

TEST(AboutBox, MissingOrBadLogoLeavesOnlyTheLogoEmpty)
{
    for (const QByteArray &content : {QByteArray(), QByteArray("not a picture")}) {
        SCOPED_TRACE(content.isEmpty() ? "missing" : "bad");
        QTemporaryDir dir;
        if (!content.isEmpty()) {
            QFile f(dir.filePath(QStringLiteral("Logo.jpg")));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        SetApplicationDirectory(dir.path());
        TFormAbout form;
        SetApplicationDirectory(QStringLiteral(KORVANE_APPDIR));
        EXPECT_TRUE(form.ImageLogo()->pixmap().isNull());
        EXPECT_EQ(form.StaticTexts()[0]->text(), VersionValues()[0]);
    }
}

} // namespace
