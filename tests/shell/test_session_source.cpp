// Choosing the shared time in the program, with stand-ins for the Link and JACK transport
// sources: the Options items of one exclusive group, the setting written only while on, --link
// for one run, the module's panel naming the source, the source swapped and freed; --link
// outside the desktop program and --headless is a usage error.
#include "Dialogs.h"
#include "FrmMain.h"
#include "LoopbackMidi.h"
#include "MoreMods.h"
#include "Slot.h"
#include "WindowDoubles.h"

#include <QActionGroup>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class TStandInSession final : public TKorSessionClock {
public:
    static inline int Alive = 0;
    explicit TStandInSession(QString name = QStringLiteral("Stand-in Link")) : FName(std::move(name)) { ++Alive; }
    ~TStandInSession() override { --Alive; }
    QString Name() const override { return FName; }
    bool Capture(double, TSessionPosition &at) override
    {
        at = {.Beat = 1, .Phase = 1, .Tempo = 128, .Playing = true};
        return true;
    }
    void RequestTempo(double) override {}
    void RequestPlaying(bool) override {}

private:
    QString FName;
};

class SessionSource : public ::testing::Test {
protected:
    void SetUp() override { SetDialogs(&Quiet); }
    void TearDown() override
    {
        Window.reset();
        SetDialogs(nullptr);
    }

    QString SettingsFile() const { return Dir.filePath(QStringLiteral("korvane.INI")); }
    QByteArray SettingsText() const
    {
        QFile f(SettingsFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    TFormMain &Make(bool link = false)
    {
        TMainWindowOptions options;
        options.SettingsFile = SettingsFile();
        options.Midi = std::make_shared<TLoopbackMidi>();
        options.Link = link;
        options.LinkClock = [] { return std::make_unique<TStandInSession>(); };
        options.JackTransportClock = [] { return std::make_unique<TStandInSession>(QStringLiteral("Stand-in transport")); };
        options.TimeSource = std::make_unique<TStillTime>();
        Window = std::make_unique<TFormMain>(std::move(options));
        return *Window;
    }
    void Destroy()
    {
        Window->close();
        Window.reset();
    }

    TQuiet Quiet;
    QTemporaryDir Dir;
    std::unique_ptr<TFormMain> Window;
};

TEST_F(SessionSource, TheOptionsItemTurnsLinkOnAndOffAndTheSettingsKeepItOnlyWhileOn)
{
    TFormMain &w = Make();
    QAction *item = w.Action(QStringLiteral("Ableton Link"));
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->isCheckable());
    EXPECT_FALSE(item->isChecked()) << "off by default";
    ASSERT_NE(item->actionGroup(), nullptr) << "beside the other sources, one at most";
    EXPECT_EQ(item->actionGroup()->exclusionPolicy(), QActionGroup::ExclusionPolicy::ExclusiveOptional);
    EXPECT_EQ(w.SessionSource(), nullptr);
    TKorLink *follower = Create<TKorLink>(w.PageControl()->NewSlot("Link")->Sheet());
    EXPECT_EQ(follower->SourceLabel()->Text(), "Link off");

    item->trigger();
    ASSERT_NE(w.SessionSource(), nullptr);
    EXPECT_EQ(SessionClock(), w.SessionSource());
    EXPECT_TRUE(item->isChecked());
    EXPECT_EQ(follower->SourceLabel()->Text(), "Stand-in Link");
    EXPECT_TRUE(SettingsText().contains("\nLink=1\n")) << SettingsText().toStdString();
    w.Tick();
    EXPECT_EQ(follower->OutTempo()->Value(), 1280);

    item->trigger();
    EXPECT_EQ(w.SessionSource(), nullptr);
    EXPECT_EQ(SessionClock(), nullptr);
    EXPECT_EQ(TStandInSession::Alive, 0) << "the replaced source is freed";
    EXPECT_EQ(follower->SourceLabel()->Text(), "Link off");
    EXPECT_FALSE(SettingsText().contains("Link=")) << SettingsText().toStdString();
    w.Tick();
    EXPECT_EQ(follower->OutTempo()->Value(), 0);

    w.SetLink(true);
    EXPECT_TRUE(item->isChecked());
    TKorSessionClock *kept = w.SessionSource();
    w.SetLink(true);
    EXPECT_EQ(w.SessionSource(), kept) << "on already: the same session";
    EXPECT_EQ(TStandInSession::Alive, 1);
    Destroy();
    EXPECT_EQ(SessionClock(), nullptr) << "a window takes its source along";
    EXPECT_EQ(TStandInSession::Alive, 0);
    EXPECT_TRUE(SettingsText().contains("\nLink=1\n"));
    // The next start follows Link again.
    TFormMain &again = Make();
    EXPECT_TRUE(again.Action(QStringLiteral("Ableton Link"))->isChecked());
    ASSERT_NE(again.SessionSource(), nullptr);
    EXPECT_EQ(again.SessionSource()->Name(), "Stand-in Link");
}

TEST_F(SessionSource, TheJackTransportTakesOverFromLinkAndTheSettingsKeepWhichOne)
{
    TFormMain &w = Make();
    QAction *link = w.Action(QStringLiteral("Ableton Link"));
    QAction *transport = w.Action(QStringLiteral("JACK transport"));
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(transport->actionGroup(), link->actionGroup());
    TKorLink *follower = Create<TKorLink>(w.PageControl()->NewSlot("Link")->Sheet());

    link->trigger();
    transport->trigger();
    EXPECT_FALSE(link->isChecked());
    EXPECT_TRUE(transport->isChecked());
    EXPECT_EQ(TStandInSession::Alive, 1) << "Link's source is freed when the transport takes over";
    ASSERT_NE(w.SessionSource(), nullptr);
    EXPECT_EQ(w.SessionSource()->Name(), "Stand-in transport");
    EXPECT_EQ(follower->SourceLabel()->Text(), "Stand-in transport");
    EXPECT_TRUE(SettingsText().contains("\nJackTransport=1\n")) << SettingsText().toStdString();
    EXPECT_FALSE(SettingsText().contains("\nLink=")) << SettingsText().toStdString();
    Destroy();

    TFormMain &again = Make();
    EXPECT_TRUE(again.Action(QStringLiteral("JACK transport"))->isChecked());
    ASSERT_NE(again.SessionSource(), nullptr);
    EXPECT_EQ(again.SessionSource()->Name(), "Stand-in transport");
    again.Action(QStringLiteral("JACK transport"))->trigger();
    EXPECT_EQ(again.SessionSource(), nullptr);
    EXPECT_FALSE(SettingsText().contains("JackTransport=")) << SettingsText().toStdString();
}

TEST_F(SessionSource, LinkFromTheCommandLineIsOnForThatRunAlone)
{
    TFormMain &w = Make(true);
    EXPECT_TRUE(w.Action(QStringLiteral("Ableton Link"))->isChecked());
    ASSERT_NE(w.SessionSource(), nullptr);
    Destroy();
    EXPECT_FALSE(SettingsText().isEmpty());
    EXPECT_FALSE(SettingsText().contains("Link=")) << "a settings file without the key stays without it";
    TFormMain &next = Make();
    EXPECT_EQ(next.SessionSource(), nullptr);
}

TEST(LinkOption, BelongsToTheDesktopProgramAndHeadlessAndTheUsageNamesIt)
{
    QProcess help;
    help.start(QStringLiteral(KORVANE_PROGRAM), {"--help"});
    ASSERT_TRUE(help.waitForFinished(60000));
    const QByteArray usage = help.readAllStandardOutput();
    EXPECT_TRUE(usage.contains("korvane [--osc-port N] [--link] [--record REC.mid] [FILE]")) << usage.toStdString();
    EXPECT_TRUE(usage.contains("[--osc-port N] [--link] [--record REC.mid] [--stats] FILE...")) << usage.toStdString();

    QTemporaryDir dir;
    QProcess render;
    render.start(QStringLiteral(KORVANE_PROGRAM),
                 {"--events", "-", "--ticks", "1", "--link", QStringLiteral(KORVANE_FIXTURES "/current_format.korvane")});
    ASSERT_TRUE(render.waitForFinished(60000));
    EXPECT_EQ(render.exitCode(), 2);
    EXPECT_TRUE(render.readAllStandardError().startsWith("korvane: --link belongs to the desktop program and --headless"));
}

} // namespace
