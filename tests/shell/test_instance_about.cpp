// The instance channel between two ends in this process (each test on a channel of its own): what
// a later start hands over and what the running instance does with it, starts that find no
// running instance, sockets left behind and sockets still in use. The about box: its labels, what
// closes it, and the JPEG decoding of the logo the build draws.
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
#include <stdexcept>
#include <sys/socket.h>
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
bool HandOverServed(const QString &argument, const QString &channel)
{
    auto handOver = std::async(std::launch::async, [&] { return TInstanceChannel::HandOver(argument, channel); });
    const QDeadlineTimer patience(30000);
    while (handOver.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready && !patience.hasExpired())
        QCoreApplication::processEvents();
    EXPECT_FALSE(patience.hasExpired()) << "the hand-over did not end";
    const bool taken = handOver.get();
    QCoreApplication::processEvents(); // the running instance's end sees the connection close
    return taken;
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
    const QByteArray path = QFile::encodeName(Channel);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(size_t(path.size()), sizeof address.sun_path);
    std::copy(path.begin(), path.end(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
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
