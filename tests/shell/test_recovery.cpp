// Recovery copies of modified patches: written soon after an edit however the edits go on, kept
// in step with saves and closes, offered back after a process that was killed, never taken from
// a live instance, never lost to a damaged folder; and the two question boxes of the desktop
// program (save changes, restore).
#include "EditorTestSupport.h"
#include "QtDialogs.h"
#include "Recovery.h"

#include <QDeadlineTimer>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <thread>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool WaitFor(const std::function<bool()> &done, int ms = 10000)
{
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

QByteArray ReadAll(const QString &fileName)
{
    QFile f(fileName);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

// The open patches as a main window would describe them.
struct TFakeSource : IRecoverySource {
    std::vector<TRecoverySlot> Slots;
    std::map<quintptr, QByteArray> Texts;
    mutable int TextsTaken = 0;

    void Add(quintptr id, const QString &name, const QString &file, bool modified, const QByteArray &text)
    {
        Slots.push_back({id, name, file, modified});
        Texts[id] = text;
    }
    TRecoverySlot &Slot(quintptr id)
    {
        return *std::find_if(Slots.begin(), Slots.end(), [id](const TRecoverySlot &s) { return s.Id == id; });
    }
    std::vector<TRecoverySlot> RecoverySlots() const override { return Slots; }
    TRecoveryText RecoveryText(quintptr id) const override
    {
        ++TextsTaken;
        return [text = Texts.at(id)] { return text; };
    }
};

// The copies in a recovery folder: file name -> text.
std::map<QString, QByteArray> Copies(const QString &folder)
{
    std::map<QString, QByteArray> copies;
    for (const QFileInfo &f : QDir(folder).entryInfoList({QStringLiteral("*.korvane")}, QDir::Files))
        copies[f.fileName()] = ReadAll(f.filePath());
    return copies;
}

// The texts of a source's modified slots, named as their copies are.
std::map<QString, QByteArray> ModifiedTexts(const TFakeSource &source)
{
    std::map<QString, QByteArray> texts;
    for (const TRecoverySlot &s : source.Slots)
        if (s.Modified)
            texts[QString::number(s.Id, 16) + QStringLiteral(".korvane")] = source.Texts.at(s.Id);
    return texts;
}

struct TRestoreDialogs : TDialogRecorder {
    struct TAsked {
        QString Text;
        QStringList Items;
    };
    std::vector<TAsked> Asked;
    TRestoreChoice Answer = TRestoreChoice::Later;
    TRestoreChoice AskRestore(const QString &text, const QStringList &items) override
    {
        Asked.push_back({text, items});
        return Answer;
    }
};

// Warnings sent through qWarning while it lives.
class TWarnings {
public:
    TWarnings() { FPrevious = qInstallMessageHandler(&TWarnings::Handle); }
    ~TWarnings() { qInstallMessageHandler(FPrevious); }
    static inline QStringList Seen;

private:
    static void Handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (type == QtWarningMsg)
            Seen << text;
    }
    QtMessageHandler FPrevious = nullptr;
};

class RecoveryTest : public ::testing::Test {
protected:
    RecoveryTest() : FOldState(qgetenv("XDG_STATE_HOME")) { qputenv("XDG_STATE_HOME", State.path().toUtf8()); }
    ~RecoveryTest() override
    {
        if (FOldState.isNull())
            qunsetenv("XDG_STATE_HOME");
        else
            qputenv("XDG_STATE_HOME", FOldState);
    }

    // The instance folders under the recovery root, this test's own included.
    QStringList Folders() const
    {
        return QDir(TRecovery::RootFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    }

    QTemporaryDir State;
    TRestoreDialogs Boxes;

private:
    QByteArray FOldState;
};

TEST_F(RecoveryTest, KeepsItsFolderInTheUsersStateFolder)
{
    TFakeSource source;
    TRecovery recovery(source);
    EXPECT_EQ(QFileInfo(recovery.Folder()).absolutePath(), State.path() + "/Korvane/recovery");
    EXPECT_TRUE(QFileInfo::exists(recovery.Folder() + "/lock"));
    TRecovery second(source);
    EXPECT_NE(second.Folder(), recovery.Folder());
}

TEST_F(RecoveryTest, WritesTheModifiedSlotsOnceTheEditsPause)
{
    TFakeSource source;
    source.Add(1, "Lead", "/music/lead.korvane", true, "lead 1");
    source.Add(2, "Bass", "/music/bass.korvane", false, "bass");
    source.Add(0x2a, "Drums", "", true, "drums 1");
    TRecovery recovery(source);
    recovery.SetDelay(30);
    for (int edit = 2; edit <= 5; ++edit) {
        source.Texts[1] = "lead " + QByteArray::number(edit);
        recovery.Touched();
    }
    EXPECT_TRUE(Copies(recovery.Folder()).empty()) << "written before the event loop ran the wait";
    ASSERT_TRUE(WaitFor([&] { return Copies(recovery.Folder()).size() == 2; }));
    EXPECT_EQ(Copies(recovery.Folder()), ModifiedTexts(source));
    EXPECT_EQ(ReadAll(recovery.Folder() + "/1.korvane"), "lead 5");
    EXPECT_EQ(source.TextsTaken, 2) << "one write for the burst of edits, not one per edit";

    // An unchanged text is not taken to disk again; a changed one is.
    source.Texts[0x2a] = "drums 2";
    recovery.Touched();
    ASSERT_TRUE(WaitFor([&] { return ReadAll(recovery.Folder() + "/2a.korvane") == "drums 2"; }));
    EXPECT_EQ(Copies(recovery.Folder()), ModifiedTexts(source));
}

TEST_F(RecoveryTest, ASteadyStreamOfEditsStillGetsItsCopy)
{
    TFakeSource source;
    source.Add(1, "Lead", "/music/lead.korvane", true, "lead 0");
    TRecovery recovery(source);
    recovery.SetDelay(100);
    // An edit every few milliseconds, as a knob being turned, each one right before the event
    // loop runs: a wait that each edit started again would never end.
    int edits = 0;
    const QDeadlineTimer patience(10000);
    while (Copies(recovery.Folder()).empty() && !patience.hasExpired()) {
        source.Texts[1] = "lead " + QByteArray::number(++edits);
        recovery.Touched();
        QCoreApplication::processEvents();
        QThread::msleep(5);
    }
    ASSERT_FALSE(Copies(recovery.Folder()).empty()) << "no copy after " << edits << " edits";
    const QByteArray copy = ReadAll(recovery.Folder() + "/1.korvane");
    EXPECT_TRUE(copy.startsWith("lead ") && copy != "lead 0") << copy.toStdString();
    EXPECT_LT(source.TextsTaken, edits) << "a copy per edit";
}

TEST_F(RecoveryTest, CopiesFollowSavesClosesAndTheModifiedMark)
{
    struct TCase {
        const char *Name;
        std::function<void(TFakeSource &, TRecovery &)> Change;
        std::vector<quintptr> Left; // the slots whose copies remain
    };
    const std::vector<TCase> cases = {
        {"saved: gone at once", [](TFakeSource &, TRecovery &r) { r.SlotSaved(1); }, {2}},
        {"closed: gone at once", [](TFakeSource &, TRecovery &r) { r.SlotClosed(2); }, {1}},
        {"no longer modified",
         [](TFakeSource &s, TRecovery &r) {
             s.Slot(1).Modified = false;
             r.WriteNow();
         },
         {2}},
        {"no longer open",
         [](TFakeSource &s, TRecovery &r) {
             s.Slots.erase(s.Slots.begin() + 1);
             r.WriteNow();
         },
         {1}},
        {"another slot modified",
         [](TFakeSource &s, TRecovery &r) {
             s.Slot(3).Modified = true;
             r.WriteNow();
         },
         {1, 2, 3}},
        {"text changed",
         [](TFakeSource &s, TRecovery &r) {
             s.Texts[2] = "two, edited";
             r.WriteNow();
         },
         {1, 2}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeSource source;
        source.Add(1, "One", "/p/one.korvane", true, "one");
        source.Add(2, "Two", "/p/two.korvane", true, "two");
        source.Add(3, "Three", "/p/three.korvane", false, "three");
        TRecovery recovery(source);
        recovery.WriteNow();
        c.Change(source, recovery);
        std::map<QString, QByteArray> expected;
        for (quintptr id : c.Left)
            expected[QString::number(id, 16) + ".korvane"] = source.Texts.at(id);
        EXPECT_EQ(Copies(recovery.Folder()), expected);
        recovery.Finish();
    }
}

TEST_F(RecoveryTest, AnEndingInstanceRemovesItsFolderUnlessCopiesWereLeftForTheNextStart)
{
    struct TCase {
        const char *Name;
        bool Modified, Finish;
        bool FolderStays;
    };
    const TCase cases[] = {
        {"clean exit with modified patches", true, true, false},
        {"exit without finishing, nothing modified", false, false, false},
        {"exit without finishing (a signal), modified patches", true, false, true},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeSource source;
        source.Add(1, "One", "/p/one.korvane", c.Modified, "one");
        QString folder;
        {
            TRecovery recovery(source);
            folder = recovery.Folder();
            recovery.WriteNow();
            if (c.Finish)
                recovery.Finish();
        }
        EXPECT_EQ(QFileInfo::exists(folder), c.FolderStays);
        EXPECT_FALSE(QFileInfo::exists(folder + "/lock"));
        QDir(folder).removeRecursively();
    }
}

// The instance ends while the worker is making a copy: the destructor waits for it (the copy
// is complete on disk for the next start), Finish waits and removes it (nothing is left
// behind); no report of the worker reaches the recovery once it is gone.
TEST_F(RecoveryTest, AnInstanceEndingWhileACopyIsWrittenFinishesOrDropsItCleanly)
{
    struct TCase {
        const char *Name;
        bool Finish;
        std::map<QString, QByteArray> Left; // the copies on disk afterwards
    };
    const QByteArray text(1 << 20, 'k');
    const std::vector<TCase> cases = {
        {"a signal ends it", false, {{"1.korvane", text}}},
        {"a clean exit", true, {}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        std::atomic<bool> started{false}, release{false};
        struct TSlowSource : TFakeSource {
            std::atomic<bool> *Started, *Release;
            TRecoveryText RecoveryText(quintptr id) const override
            {
                return [this, made = TFakeSource::RecoveryText(id)] {
                    *Started = true;
                    while (!*Release)
                        std::this_thread::yield();
                    return made();
                };
            }
        };
        auto source = std::make_unique<TSlowSource>();
        source->Started = &started;
        source->Release = &release;
        source->Add(1, "One", "/p/one.korvane", true, text);
        auto recovery = std::make_unique<TRecovery>(*source);
        const QString folder = recovery->Folder();
        recovery->SetDelay(0);
        recovery->Touched();
        ASSERT_TRUE(WaitFor([&] { return started.load(); }));
        // Let the copy go on only once the ending has begun (or very nearly).
        std::thread releaser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            release = true;
        });
        if (c.Finish)
            recovery->Finish();
        recovery.reset();
        releaser.join();
        EXPECT_EQ(Copies(folder), c.Left);
        EXPECT_FALSE(QFileInfo::exists(folder + "/lock"));
        QDir(folder).removeRecursively();
    }
}

// A child process runs an instance that writes its copies and then waits to be killed.
class TChildInstance {
public:
    TChildInstance()
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        FPid = ::fork();
        if (FPid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::alarm(60); // never outlives a test that forgot it
            ::close(ready[0]);
            TFakeSource source;
            source.Add(7, "Arpeggio", "/music/arpeggio.korvane", true, "arpeggio, unsaved");
            TRecovery recovery(source);
            recovery.WriteNow();
            const char byte = recovery.Folder().isEmpty() ? 'x' : 'k';
            [[maybe_unused]] const ssize_t sent = ::write(ready[1], &byte, 1);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        pollfd wait{ready[0], POLLIN, 0};
        char byte = 0;
        if (FPid > 0 && ::poll(&wait, 1, 20000) == 1 && ::read(ready[0], &byte, 1) == 1)
            FReady = byte == 'k';
        ::close(ready[0]);
    }
    ~TChildInstance() { Kill(); }
    bool Ready() const { return FReady; }
    // kill -9, and the process is gone.
    void Kill()
    {
        if (FPid <= 0)
            return;
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
        FPid = -1;
    }

private:
    pid_t FPid = -1;
    bool FReady = false;
};

TEST_F(RecoveryTest, OffersWhatAKilledInstanceLeftButNeverALiveOnesCopies)
{
    TChildInstance child;
    ASSERT_TRUE(child.Ready());
    TFakeSource otherSource; // a second live instance in this process
    otherSource.Add(9, "Live", "/music/live.korvane", true, "live text");
    TRecovery other(otherSource);
    other.WriteNow();

    TFakeSource source;
    TRecovery recovery(source);
    EXPECT_TRUE(recovery.LeftBehind().empty());
    EXPECT_EQ(recovery.OfferLeftBehind([](const TRecoveredPatch &) { return true; }), TRestoreChoice::Later);
    EXPECT_TRUE(Boxes.Asked.empty());

    child.Kill();
    const std::vector<TRecoveredPatch> left = recovery.LeftBehind();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].Name, "Arpeggio");
    EXPECT_EQ(left[0].FileName, "/music/arpeggio.korvane");
    EXPECT_EQ(ReadAll(left[0].TextFile), "arpeggio, unsaved");

    // Claimed by this start: another one starting now does not offer them too.
    TFakeSource laterSource;
    TRecovery later(laterSource);
    EXPECT_TRUE(later.LeftBehind().empty());
    // The live instance's copy is untouched by all this.
    EXPECT_EQ(Copies(other.Folder()), ModifiedTexts(otherSource));
}

TEST_F(RecoveryTest, TheAnswerRestoresDiscardsOrKeepsTheLeftBehindPatches)
{
    struct TCase {
        TRestoreChoice Answer;
        bool Loaded, KeptForNextStart;
    };
    const TCase cases[] = {
        {TRestoreChoice::Restore, true, false},
        {TRestoreChoice::Discard, false, false},
        {TRestoreChoice::Later, false, true},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(int(c.Answer));
        Boxes.Asked.clear();
        Boxes.Answer = c.Answer;
        QString leftFolder;
        {
            TFakeSource ended;
            ended.Add(1, "Lead", "/music/lead.korvane", true, "lead, unsaved");
            ended.Add(2, "Untitled", "", true, "new patch");
            ended.Add(3, "Saved", "/music/saved.korvane", false, "saved");
            TRecovery gone(ended);
            gone.WriteNow();
            leftFolder = gone.Folder();
        } // ended without Finish, as after a signal

        TFakeSource window; // the next start's slots; loading opens a slot, modified
        TRecovery recovery(window);
        const TRestoreChoice choice = recovery.OfferLeftBehind([&](const TRecoveredPatch &p) {
            window.Add(window.Slots.size() + 100, p.Name, p.FileName, true, ReadAll(p.TextFile));
            return true;
        });
        EXPECT_EQ(choice, c.Answer);
        ASSERT_EQ(Boxes.Asked.size(), 1u);
        EXPECT_EQ(Boxes.Asked[0].Text, "Korvane ended without saving these patches. Restore them?");
        EXPECT_EQ(Boxes.Asked[0].Items, QStringList({"Lead (/music/lead.korvane)", "Untitled"}));

        EXPECT_EQ(window.Slots.size(), c.Loaded ? 2u : 0u);
        if (c.Loaded) {
            EXPECT_EQ(window.Slots[0].FileName, "/music/lead.korvane");
            EXPECT_EQ(window.Texts.at(window.Slots[0].Id), "lead, unsaved");
            // Safe in this instance's folder before the left-behind one went.
            EXPECT_EQ(Copies(recovery.Folder()), ModifiedTexts(window));
        }
        EXPECT_EQ(QFileInfo::exists(leftFolder), c.KeptForNextStart);

        TFakeSource nextSource;
        TRecovery next(nextSource);
        EXPECT_EQ(next.LeftBehind().size(), c.KeptForNextStart ? 2u : 0u);
        next.Discard();
        recovery.Finish();
    }
}

TEST_F(RecoveryTest, APatchThatCannotBeLoadedStaysForTheNextStart)
{
    {
        TFakeSource ended;
        ended.Add(1, "Good", "/p/good.korvane", true, "good");
        ended.Add(2, "Bad", "/p/bad.korvane", true, "bad");
        TRecovery gone(ended);
        gone.WriteNow();
    }
    TFakeSource window;
    TRecovery recovery(window);
    recovery.LeftBehind();
    const int loaded = recovery.Adopt([&](const TRecoveredPatch &p) {
        if (p.Name == "Bad")
            return false;
        window.Add(100, p.Name, p.FileName, true, ReadAll(p.TextFile));
        return true;
    });
    EXPECT_EQ(loaded, 1);

    TFakeSource nextSource;
    TRecovery next(nextSource);
    const std::vector<TRecoveredPatch> left = next.LeftBehind();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].Name, "Bad");
    EXPECT_EQ(ReadAll(left[0].TextFile), "bad");
}

TEST_F(RecoveryTest, ADamagedFolderLosesNoCopyAndUnreadableOnesAreOfferedOnceThenSetAside)
{
    const auto cutIndex = [](const QString &folder) {
        QFile index(folder + "/index.json");
        return index.resize(index.size() / 2);
    };
    const auto write = [](const QString &name, const QByteArray &text) {
        QFile f(name);
        return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
    };
    const QString aside = TRecovery::SetAsideFolder();
    const QString lead = "Lead (/music/lead.korvane)";
    const auto unreadable = [&](const QString &item, const QString &why) {
        return item + ": cannot be restored, " + why + "; kept in " + aside;
    };
    struct TCase {
        const char *Name;
        std::function<bool(const QString &folder)> Damage;
        TRestoreChoice Answer;
        QStringList Offered;
        std::vector<QByteArray> Loaded;
        int SetAside, OfferedNextTime;
        qint64 AsideBytes = -1; // the size of the one file set aside, when checked
    };
    const std::vector<TCase> cases = {
        {"index cut short: offered under made-up names", cutIndex, TRestoreChoice::Later,
         {"Recovered patch 1", "Recovered patch 2"}, {}, 0, 2},
        {"index cut short, restored", cutIndex, TRestoreChoice::Restore, {"Recovered patch 1", "Recovered patch 2"},
         {"lead", "drums"}, 0, 0},
        {"index missing", [](const QString &f) { return QFile::remove(f + "/index.json"); }, TRestoreChoice::Later,
         {"Recovered patch 1", "Recovered patch 2"}, {}, 0, 2},
        {"index beyond its size limit",
         [&](const QString &f) {
             QByteArray index = ReadAll(f + "/index.json");
             return write(f + "/index.json", index + QByteArray(TRecovery::MaxIndexBytes, ' '));
         },
         TRestoreChoice::Later, {"Recovered patch 1", "Recovered patch 2"}, {}, 0, 2},
        {"a copy the index does not list", [&](const QString &f) { return write(f + "/ff.korvane", "stray"); },
         TRestoreChoice::Later, {lead, "Drums", "Recovered patch 1"}, {}, 0, 3},
        {"a copy that is a folder",
         [](const QString &f) { return QFile::remove(f + "/2a.korvane") && QDir(f).mkdir("2a.korvane"); },
         TRestoreChoice::Later, {lead, unreadable("Drums", "it is not a regular file")}, {}, 1, 1},
        {"a copy beyond its size limit",
         [](const QString &f) {
             QFile copy(f + "/2a.korvane"); // sparse: its size costs no disk
             return copy.resize(TRecovery::MaxCopyBytes + 1);
         },
         TRestoreChoice::Later,
         {lead, unreadable("Drums", QStringLiteral("it is too large (%1 bytes)").arg(TRecovery::MaxCopyBytes + 1))},
         {}, 1, 1, TRecovery::MaxCopyBytes + 1},
        {"a copy that is a folder, the rest discarded",
         [](const QString &f) { return QFile::remove(f + "/2a.korvane") && QDir(f).mkdir("2a.korvane"); },
         TRestoreChoice::Discard, {lead, unreadable("Drums", "it is not a regular file")}, {}, 1, 0},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        QDir(TRecovery::RootFolder()).removeRecursively();
        {
            TFakeSource ended;
            ended.Add(1, "Lead", "/music/lead.korvane", true, "lead");
            ended.Add(0x2a, "Drums", "", true, "drums");
            TRecovery gone(ended);
            ASSERT_TRUE(gone.WriteNow());
            ASSERT_TRUE(c.Damage(gone.Folder()));
        } // ended without Finish, as after a kill

        Boxes.Asked.clear();
        Boxes.Answer = c.Answer;
        std::vector<QByteArray> loaded;
        {
            TFakeSource window;
            TRecovery recovery(window);
            recovery.OfferLeftBehind([&](const TRecoveredPatch &p) {
                loaded.push_back(ReadAll(p.TextFile));
                window.Add(window.Slots.size() + 100, p.Name, p.FileName, true, loaded.back());
                return true;
            });
            recovery.Finish();
        }
        ASSERT_EQ(Boxes.Asked.size(), 1u);
        EXPECT_EQ(Boxes.Asked[0].Items, c.Offered);
        EXPECT_EQ(loaded, c.Loaded);
        EXPECT_EQ(QDir(aside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), c.SetAside);
        if (c.AsideBytes >= 0) { // kept whole
            const QFileInfoList kept = QDir(aside).entryInfoList(QDir::Files);
            ASSERT_EQ(kept.size(), 1);
            EXPECT_EQ(kept[0].size(), c.AsideBytes);
        }

        TFakeSource nextSource;
        TRecovery next(nextSource);
        EXPECT_EQ(next.LeftBehind().size(), size_t(c.OfferedNextTime)) << "offered again at the next start";
        next.KeepForLater();
    }
}

TEST_F(RecoveryTest, AFailedWriteWarnsOnceAndShowsNoBox)
{
    TFakeSource source;
    source.Add(1, "One", "/p/one.korvane", true, "one");
    TRecovery recovery(source);
    const QString folder = recovery.Folder();
    // Folders where the index and the copy go: neither can be written (whoever runs the test).
    const QStringList blockers = {folder + "/index.json/in the way", folder + "/1.korvane/in the way"};
    auto blockFolder = [&] {
        for (const QString &b : blockers) {
            QFile::remove(QFileInfo(b).path());
            QDir().mkpath(b);
        }
    };
    auto unblockFolder = [&] {
        for (const QString &b : blockers)
            QDir(QFileInfo(b).path()).removeRecursively();
    };
    TWarnings warnings;
    TWarnings::Seen.clear();
    blockFolder();
    EXPECT_FALSE(recovery.WriteNow());
    source.Texts[1] = "one, edited";
    recovery.WriteNow();
    EXPECT_EQ(TWarnings::Seen.size(), 1) << TWarnings::Seen.join('\n').toStdString();

    // Once writing works again, the next failure is told again.
    unblockFolder();
    EXPECT_TRUE(recovery.WriteNow());
    EXPECT_EQ(Copies(folder), ModifiedTexts(source));
    blockFolder();
    source.Texts[1] = "one, edited again";
    recovery.WriteNow();
    EXPECT_EQ(TWarnings::Seen.size(), 2);
    EXPECT_TRUE(Boxes.Errors.isEmpty());
    EXPECT_TRUE(Boxes.Messages.isEmpty());
    unblockFolder();
}

// Acts on the modal box that `ask` opens, once it shows.
template <typename TAsk>
auto AnswerBox(const std::function<void(QWidget *)> &act, TAsk ask)
{
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QWidget *box = QApplication::activeModalWidget()) {
            poll.stop();
            act(box);
        }
    });
    poll.start();
    return ask();
}

void Press(QWidget *box, int key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(box, &press);
}

QPushButton *ButtonNamed(QWidget *box, const QString &text)
{
    for (QPushButton *b : box->findChildren<QPushButton *>())
        if (b->text().remove(u'&') == text)
            return b;
    return nullptr;
}

TEST(QtDialogsTest, SaveChangesAnswersSaveDiscardOrCancel)
{
    struct TCase {
        const char *Name;
        std::function<void(QMessageBox *)> Act;
        TSaveChoice Expected;
    };
    const TCase cases[] = {
        {"Save", [](QMessageBox *b) { b->button(QMessageBox::Save)->click(); }, TSaveChoice::Save},
        {"Discard", [](QMessageBox *b) { b->button(QMessageBox::Discard)->click(); }, TSaveChoice::Discard},
        {"Cancel", [](QMessageBox *b) { b->button(QMessageBox::Cancel)->click(); }, TSaveChoice::Cancel},
        {"Enter takes the default", [](QMessageBox *b) { Press(b, Qt::Key_Return); }, TSaveChoice::Save},
        {"Esc", [](QMessageBox *b) { Press(b, Qt::Key_Escape); }, TSaveChoice::Cancel},
        {"closed", [](QMessageBox *b) { b->close(); }, TSaveChoice::Cancel},
    };
    TQtDialogs dialogs;
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        QString shown;
        const TSaveChoice choice = AnswerBox(
            [&](QWidget *w) {
                auto *box = qobject_cast<QMessageBox *>(w);
                if (!box) {
                    ADD_FAILURE() << "not a message box";
                    w->close();
                    return;
                }
                shown = box->text();
                c.Act(box);
            },
            [&] { return dialogs.AskSaveChanges("Save changes to Lead?"); });
        EXPECT_EQ(choice, c.Expected);
        EXPECT_EQ(shown, "Save changes to Lead?");
    }
}

TEST(QtDialogsTest, RestoreListsThePatchesAndAnswersRestoreDiscardOrLater)
{
    struct TCase {
        const char *Name;
        std::function<void(QWidget *)> Act;
        TRestoreChoice Expected;
    };
    const TCase cases[] = {
        {"Restore", [](QWidget *b) { ButtonNamed(b, "Restore")->click(); }, TRestoreChoice::Restore},
        {"Discard", [](QWidget *b) { ButtonNamed(b, "Discard")->click(); }, TRestoreChoice::Discard},
        {"Enter takes the default", [](QWidget *b) { Press(b, Qt::Key_Return); }, TRestoreChoice::Restore},
        {"Esc", [](QWidget *b) { Press(b, Qt::Key_Escape); }, TRestoreChoice::Later},
        {"closed", [](QWidget *b) { b->close(); }, TRestoreChoice::Later},
    };
    TQtDialogs dialogs;
    const QStringList items = {"Lead (/music/lead.korvane)", "Untitled"};
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        QStringList listed;
        const TRestoreChoice choice = AnswerBox(
            [&](QWidget *box) {
                if (const auto *list = box->findChild<QListWidget *>())
                    for (int i = 0; i < list->count(); ++i)
                        listed << list->item(i)->text();
                if (!ButtonNamed(box, "Restore") || !ButtonNamed(box, "Discard")) {
                    ADD_FAILURE() << "a button is missing";
                    box->close();
                    return;
                }
                c.Act(box);
            },
            [&] { return dialogs.AskRestore(RestoreQuestion(), items); });
        EXPECT_EQ(choice, c.Expected);
        EXPECT_EQ(listed, items);
    }
}

} // namespace
