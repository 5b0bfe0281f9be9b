// Panel controls on a module on a recording sheet: knob geometry, values and mouse gestures
// (turning, stepping, repeat timing, the right press); push-button groups and cancelled
// presses; lamp and viewer painting and repaint areas; graph-sheet scaling, bounds, resizing,
// creation and dump; copying and colour refresh; setters called from another thread.
#include <gtest/gtest.h>

#include "PanelControls.h"
#include "TestHost.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <functional>
#include <thread>

namespace {

constexpr TColor White = 0xFFFFFF, Grey = 0x808080, Silver = 0xC0C0C0, Blue = 0xFF0000, Red = 0x0000FF,
                 Plum = 0x400040;

std::string Hex(TColor c)
{
    return ToQColor(c).name().toStdString();
}
std::string Px(const QImage &img, QPoint p)
{
    return QColor(img.pixel(p)).name().toStdString();
}
std::string Str(const TRect &r, bool erase = false)
{
    return "(" + std::to_string(r.Left) + "," + std::to_string(r.Top) + "," + std::to_string(r.Right) + "," +
           std::to_string(r.Bottom) + (erase ? ") erase" : ")");
}

// A two-row module (250 x 100) carrying one of each control.
class TPanelModule : public TKorModule2 {
public:
    void CreateDetails() override
    {
        TKorModule2::CreateDetails();
        Knob = AddDetail<TKorKnob>(100, 10, QStringLiteral("Knob"));
        Viewer = AddDetail<TKorViewer>(60, 20, QStringLiteral("Viewer"));
        Medium = AddDetail<TKorKnobMedium>(10, 60, QStringLiteral("Medium"));
        Small = AddDetail<TKorKnobSmall>(40, 60, QStringLiteral("Small"));
        Button1 = AddDetail<TKorPushButton>(140, 10, QStringLiteral("Button1"));
        Button2 = AddDetail<TKorPushButton>(165, 10, QStringLiteral("Button2"));
        for (TKorPushButton *b : {Button1, Button2}) {
            b->SetWidth(20);
            b->SetHeight(20);
        }
        Led = AddDetail<TKorLed>(190, 10, QStringLiteral("Led"));
        Graph = AddDetail<TKorGraphSheet>(140, 40, QStringLiteral("Graph"));
        Graph->SetWidth(100);
        Graph->SetHeight(50);
    }
    TKorKnob *Knob = nullptr;
    TKorViewer *Viewer = nullptr;
    TKorKnob *Medium = nullptr;
    TKorKnob *Small = nullptr;
    TKorPushButton *Button1 = nullptr, *Button2 = nullptr;
    TKorLed *Led = nullptr;
    TKorGraphSheet *Graph = nullptr;
};

// A host that hands out a patch lock, as a slot does.
struct TLockingHost : TTestHost {
    std::recursive_mutex Lock;
    std::recursive_mutex *PatchMutex() override { return &Lock; }
};

// Public helpers: the table rows of the tests call them through the fixture.
class PanelFixture : public ::testing::Test, public TSheetFixture {
public:
    void SetUp() override
    {
        ResetColorSettings();
        M = Add<TPanelModule>(0, 0);
        ForgetReports();
    }
    void ForgetReports()
    {
        Host.Invalidated.clear();
        Host.InvalidatedOnThread.clear();
        Host.UpdatesNow = 0;
        Host.Clicks.clear();
    }
    // What reached the host since the last ForgetReports, in sheet coordinates.
    std::vector<std::string> Repaints() const
    {
        std::vector<std::string> out;
        for (const auto &[r, erase] : Host.Invalidated)
            out.push_back(Str(r, erase));
        return out;
    }
    QImage Render()
    {
        QImage img(300, 120, QImage::Format_RGB32);
        img.fill(Qt::black);
        QPainter p(&img);
        Sheet->PaintAll(p);
        p.end();
        return img;
    }
    static QPoint At(const TKorCustomDetail *d, QPoint local) { return d->LocalToSheet(local); }
    void Press(QPoint p, TMouseButton b = TMouseButton::mbLeft) { Sheet->MouseDown(b, 0, p.x(), p.y()); }
    void Move(QPoint p) { Sheet->MouseMove(0, p.x(), p.y()); }
    // The toolkit raises Click before the release.
    void Release(QPoint p)
    {
        Sheet->Click();
        Sheet->MouseUp(TMouseButton::mbLeft, 0, p.x(), p.y());
    }
    void ClickAt(QPoint p)
    {
        Press(p);
        Release(p);
    }

    TPanelModule *M = nullptr;
};

class KnobTest : public PanelFixture {};
class PushButtonTest : public PanelFixture {};
class LedTest : public PanelFixture {};
class ViewerTest : public PanelFixture {};
class GraphSheetTest : public PanelFixture {};

// ---- Knob ----

TEST_F(KnobTest, PointerPointsAlongTheSweepForEverySize)
{
    struct Case {
        const char *name;
        TKorKnob *TPanelModule::*knob;
        int32_t min, max, position;
        TRect area;
    };
    const Case cases[] = {
        {"minimum points down-left (225 deg)", &TPanelModule::Knob, -1000, 1000, -1000, {8, 16, 12, 20}},
        {"middle points straight up", &TPanelModule::Knob, -1000, 1000, 0, {14, 5, 14, 11}},
        {"maximum points down-right (-45 deg)", &TPanelModule::Knob, -1000, 1000, 1000, {16, 16, 20, 20}},
        {"empty range points right", &TPanelModule::Knob, 5, 5, 5, {17, 14, 23, 14}},
        {"medium knob keeps the pointer radii", &TPanelModule::Medium, -1000, 1000, 0, {10, 1, 10, 7}},
        {"small knob at its maximum", &TPanelModule::Small, 0, 1000, 1000, {10, 10, 14, 14}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TKorKnob *k = M->*c.knob;
        k->SetMin(c.min);
        k->SetMax(c.max);
        k->SetPosition(c.position);
        ASSERT_EQ(k->Position(), c.position);
        EXPECT_EQ(Str(k->PointerArea()), Str(c.area));

        const int32_t a = TKorKnob::Angle(c.min, c.position, c.max);
        const QImage img = Render();
        EXPECT_EQ(Px(img, At(k, TKorKnob::Polar(k->Centre(), a, 6))), Hex(White)) << "on the pointer";
        EXPECT_EQ(Px(img, At(k, TKorKnob::Polar(k->Centre(), a + 180, 6))), Hex(KnobColor)) << "opposite it";
    }
}

TEST_F(KnobTest, ValueSettersClampAndReportOnlyRealChanges)
{
    struct Case {
        const char *name;
        std::function<void(TKorKnob *)> act;
        int32_t position;
        std::vector<int32_t> reported;
    };
    const std::vector<Case> cases = {
        {"above the range clamps to Max", [](TKorKnob *k) { k->SetPosition(5000); }, 1000, {1000}},
        {"Max again, then above again, changes nothing",
         [](TKorKnob *k) {
             k->SetPosition(5000);
             k->SetPosition(1000);
             k->SetPosition(5000);
         },
         1000, {1000}},
        {"below the range clamps to Min", [](TKorKnob *k) { k->SetPosition(-7); }, 0, {0}},
        {"the current position changes nothing", [](TKorKnob *k) { k->SetPosition(500); }, 500, {}},
        {"a Min above the position drags it up", [](TKorKnob *k) { k->SetMin(600); }, 600, {600}},
        {"a Max below the position drags it down", [](TKorKnob *k) { k->SetMax(200); }, 200, {200}},
        {"a new Min below the position still reports it", [](TKorKnob *k) { k->SetMin(-100); }, 500, {500}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TKorKnob *k = M->Knob;
        k->SetMin(0);
        k->SetMax(1000);
        k->SetPosition(500);
        k->SetViewer(M->Viewer);
        std::vector<int32_t> reported;
        k->SetOnChange([&](TKorKnob *sender, int32_t v) {
            EXPECT_EQ(sender, k);
            reported.push_back(v);
        });
        ASSERT_EQ(reported, std::vector<int32_t>{500}) << "a new handler hears the current position once";
        reported.clear();

        c.act(k);
        EXPECT_EQ(k->Position(), c.position);
        EXPECT_EQ(reported, c.reported);
        EXPECT_EQ(M->Viewer->Text(), QString::number(c.position));
        k->SetOnChange(nullptr);
    }
}

TEST_F(KnobTest, PositionChangesRepaintOnlyAroundTheOldAndNewPointer)
{
    TKorKnob *k = M->Knob; // at (100, 10) on the sheet
    k->SetMin(-1000);
    k->SetMax(1000);
    k->SetPosition(0);
    ForgetReports();

    k->SetPosition(1);
    EXPECT_TRUE(Repaints().empty()) << "the pointer did not move a pixel";

    k->SetPosition(1000);
    // Old pointer (14, 5)-(14, 11), new (16, 16)-(20, 20), each grown by 2.
    EXPECT_EQ(Repaints(), (std::vector<std::string>{"(112,13,116,23)", "(114,24,122,32)"}));
    EXPECT_EQ(Host.UpdatesNow, 0);
}

TEST_F(KnobTest, TurningFollowsThePointerAngleAtAnyDistance)
{
    struct Case {
        const char *name;
        QPoint offset; // from the centre, screen orientation (y down)
        int32_t position;
    };
    const Case cases[] = {
        {"straight left", {-20, 0}, 167},
        {"straight left, far away", {-100, 0}, 167},
        {"straight up", {0, -20}, 500},
        {"just left of straight down", {-1, 20}, 0},
        {"just right of straight down", {1, 20}, 1000},
    };
    TKorKnob *k = M->Knob;
    const QPoint centre = At(k, k->Centre());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        k->SetPosition(0);
        Press(centre);
        ASSERT_EQ(DragState.DragObject, k);
        EXPECT_EQ(k->MouseMode(), TKorKnob::mmTurning);
        EXPECT_EQ(k->Position(), 0) << "the press starts from the current value";

        Move(centre + c.offset);
        EXPECT_EQ(k->Position(), c.position);
        Release(centre + c.offset);
        EXPECT_EQ(k->Position(), c.position);
        EXPECT_EQ(k->MouseMode(), TKorKnob::mmIdle);
        EXPECT_EQ(DragState.DragObject, nullptr);
    }
}

TEST_F(KnobTest, ClickOnACornerSquareStepsByExactlyOne)
{
    struct Case {
        const char *name;
        QPoint local;
        int32_t start, after;
        uint8_t mode;
    };
    const Case cases[] = {
        {"lower right raises", {24, 24}, 500, 501, TKorKnob::mmStepUp},
        {"lower left lowers", {3, 21}, 500, 499, TKorKnob::mmStepDown},
        {"lower right at Max stays", {27, 27}, 1000, 1000, TKorKnob::mmStepUp},
        {"lower left at Min stays", {0, 20}, 0, 0, TKorKnob::mmStepDown},
    };
    TKorKnob *k = M->Knob;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        k->SetPosition(c.start);
        Press(At(k, c.local));
        EXPECT_EQ(k->MouseMode(), c.mode);
        EXPECT_EQ(k->Position(), c.start) << "the press itself does not step";
        EXPECT_TRUE(k->Repeating());
        EXPECT_EQ(k->RepeatInterval(), 400);

        Release(At(k, c.local));
        EXPECT_EQ(k->Position(), c.after);
        EXPECT_FALSE(k->Repeating());
        EXPECT_EQ(k->MouseMode(), TKorKnob::mmIdle);
    }
}

TEST_F(KnobTest, HeldCornerStepsAfter400ThenEvery100ThenEvery50ms)
{
    TKorKnob *k = M->Knob;
    const QPoint corner = At(k, {25, 25});
    Press(corner);
    ASSERT_EQ(k->RepeatInterval(), 400);

    k->RepeatTick(); // at 400 ms
    EXPECT_EQ(k->Position(), 1);
    EXPECT_EQ(k->RepeatInterval(), 100);
    for (int i = 0; i < 6; ++i)
        k->RepeatTick(); // 500 ... 1000 ms
    EXPECT_EQ(k->Position(), 7) << "one second held: 1 step at 400 ms and 6 more";

    for (int step = 8; step <= 50; ++step) {
        k->RepeatTick();
        ASSERT_EQ(k->RepeatInterval(), step < 50 ? 100 : 50) << "after step " << step;
    }
    EXPECT_EQ(k->Position(), 50);
    k->RepeatTick();
    EXPECT_EQ(k->RepeatInterval(), 50);

    Release(corner);
    EXPECT_EQ(k->Position(), 52) << "the release adds one more step";
    EXPECT_EQ(k->RepeatCount(), 0);
    EXPECT_FALSE(k->Repeating());

    k->RepeatTick();
    EXPECT_EQ(k->Position(), 52) << "a late tick outside a stepping press changes nothing";
}

TEST_F(KnobTest, RepeatTimerStepsOnItsOwnUnderThePatchLock)
{
    TLockingHost lockingHost;
    Sheet->SetHost(&lockingHost);
    struct Restore {
        TSheetFixture *f;
        ~Restore() { f->Sheet->SetHost(&f->Host); }
    } restore{this};

    TKorKnob *k = M->Knob;
    std::vector<bool> lockHeld; // per change: whether another thread found the lock taken
    k->SetOnChange([&](TKorKnob *, int32_t) {
        std::thread([&] {
            const bool free = lockingHost.Lock.try_lock();
            if (free)
                lockingHost.Lock.unlock();
            lockHeld.push_back(!free);
        }).join();
    });
    lockHeld.clear();
    const QPoint corner = At(k, {25, 25});
    Press(corner);
    QElapsedTimer clock;
    clock.start();
    while (k->Position() == 0 && clock.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const qint64 elapsed = clock.elapsed();
    Release(corner);

    EXPECT_EQ(k->Position(), 2) << "one timed step and the release";
    EXPECT_GE(elapsed, 350) << "the first repeat comes after about 400 ms";
    EXPECT_LT(elapsed, 3000);
    ASSERT_FALSE(lockHeld.empty());
    EXPECT_TRUE(lockHeld.front()) << "the timer's step must run under the patch lock";
}

TEST_F(KnobTest, RightPressReportsADoubleClickOfAnIdleKnob)
{
    struct Case {
        const char *name;
        std::function<void(KnobTest *, QPoint)> act;
        uint8_t modeAtReport;
    };
    const std::vector<Case> cases = {
        {"right press on an idle knob", [](KnobTest *t, QPoint c) { t->Press(c, TMouseButton::mbRight); },
         TKorKnob::mmIdle},
        {"right press while turning ends the turn's mode",
         [](KnobTest *t, QPoint c) {
             t->Press(c);
             t->Press(c, TMouseButton::mbRight);
         },
         TKorKnob::mmIdle},
        {"left double-click arrives mid-gesture",
         [](KnobTest *t, QPoint c) {
             t->Press(c);
             t->Sheet->DblClick();
         },
         TKorKnob::mmTurning},
    };
    TKorKnob *k = M->Knob;
    const QPoint centre = At(k, k->Centre());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ForgetReports();
        c.act(this, centre);
        ASSERT_EQ(Host.Clicks.size(), 1u);
        EXPECT_EQ(Host.Clicks[0].first, k);
        EXPECT_TRUE(Host.Clicks[0].second) << "reported as a double-click";
        EXPECT_EQ(k->MouseMode(), c.modeAtReport) << "the value dialog opens only for mode 0";
        Release(centre);
        EXPECT_EQ(DragState.DragObject, nullptr);
    }
}

// Copy and paste assign a module from another: every control carries its listed settings.
TEST_F(KnobTest, ModuleCopyCarriesTheSettingsOfEveryControl)
{
    auto *source = M;
    source->Knob->SetMin(-50);
    source->Knob->SetMax(50);
    source->Knob->SetPosition(20);
    source->Button1->SetDown(true);
    QImage glyph(3, 3, QImage::Format_RGB32);
    glyph.fill(Qt::red);
    source->Button1->SetGlyph(glyph);
    source->Led->SetOnColor(Red);
    source->Led->SetOffColor(Blue);
    source->Viewer->SetText(QStringLiteral("abc"));
    source->Viewer->SetTextColor(Red);
    source->Viewer->SetBorderColor(Blue);
    source->Graph->SetCount(10);
    source->Graph->SetXScale(300);
    source->Graph->SetYScale(400);
    source->Graph->SetPointColor(Red);

    auto *copy = Add<TPanelModule>(250, 0);
    const QPoint graphPoint = copy->Graph->GetPoint(3);
    int32_t knobReported = -1;
    copy->Knob->SetOnChange([&](TKorKnob *, int32_t v) { knobReported = v; });
    copy->Assign(*source);

    EXPECT_EQ(copy->Knob->Min(), -50);
    EXPECT_EQ(copy->Knob->Max(), 50);
    EXPECT_EQ(copy->Knob->Position(), 20);
    EXPECT_EQ(knobReported, 20) << "the copy's owner hears the new position";
    EXPECT_TRUE(copy->Button1->Down());
    EXPECT_EQ(copy->Button1->Glyph().size(), QSize(3, 3));
    EXPECT_EQ(copy->Led->OnColor(), Red);
    EXPECT_EQ(copy->Led->OffColor(), Blue);
    EXPECT_EQ(copy->Viewer->Text(), QStringLiteral("abc"));
    EXPECT_EQ(copy->Viewer->TextColor(), Red);
    EXPECT_EQ(copy->Viewer->BorderColor(), Blue);
    EXPECT_EQ(copy->Graph->Count(), 10);
    EXPECT_EQ(copy->Graph->XScale(), 300);
    EXPECT_EQ(copy->Graph->YScale(), 400);
    EXPECT_EQ(copy->Graph->PointColor(), Red);
    EXPECT_EQ(copy->Graph->GetPoint(3), graphPoint) << "point values are not copied";
}

// Setters that modules call from their per-tick code must leave all painting requests to
// the user-interface thread.
TEST_F(KnobTest, TickThreadSettersRepaintLaterOnTheUserInterfaceThread)
{
    M->Knob->SetViewer(M->Viewer);
    M->Graph->SetCount(1);
    QCoreApplication::processEvents();
    ForgetReports();

    std::thread tick([&] {
        M->Knob->SetPosition(700);
        M->Led->SetOn(true);
        M->Graph->SetPoint(0, {1000, -1000});
    });
    tick.join();
    EXPECT_TRUE(Host.Invalidated.empty()) << "nothing reaches the host from the tick thread";
    EXPECT_EQ(Host.UpdatesNow, 0);

    QCoreApplication::processEvents();
    ASSERT_FALSE(Host.Invalidated.empty());
    for (QThread *t : Host.InvalidatedOnThread)
        EXPECT_EQ(t, QThread::currentThread());
    EXPECT_GE(Host.UpdatesNow, 1) << "the viewer's immediate paint, deferred";
    EXPECT_EQ(M->Viewer->Text(), QStringLiteral("700"));
}

// ---- Push button ----

TEST_F(PushButtonTest, GroupedButtonsBehaveAsRadioButtons)
{
    TKorPushButton *b1 = M->Button1, *b2 = M->Button2;
    std::vector<std::pair<TKorPushButton *, bool>> changes;
    int clicks1 = 0;
    for (TKorPushButton *b : {b1, b2})
        b->SetOnChange([&](TKorPushButton *s, bool down) { changes.emplace_back(s, down); });
    b1->SetOnClick([&](TKorPushButton *) { ++clicks1; });
    b1->SetGroupIndex(1);
    b2->SetGroupIndex(1);
    EXPECT_FALSE(b1->Down());
    EXPECT_TRUE(b2->Down()) << "the last button given the group ends up the pressed one";

    changes.clear();
    ClickAt(At(b1, {10, 10}));
    EXPECT_TRUE(b1->Down());
    EXPECT_FALSE(b2->Down());
    EXPECT_EQ(changes, (std::vector<std::pair<TKorPushButton *, bool>>{{b2, false}, {b1, true}}));
    EXPECT_EQ(clicks1, 1);

    changes.clear();
    ClickAt(At(b1, {10, 10}));
    EXPECT_TRUE(b1->Down()) << "clicking the pressed one leaves it pressed";
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(clicks1, 2);

    b1->SetDown(false);
    EXPECT_TRUE(b1->Down()) << "nor can the program release it";

    b1->SetAllowAllUp(true);
    ClickAt(At(b1, {10, 10}));
    EXPECT_FALSE(b1->Down());
    EXPECT_FALSE(b2->Down()) << "with AllowAllUp all may be up";
}

TEST_F(PushButtonTest, PressIsCancelledByReleasingOffTheButton)
{
    struct Case {
        const char *name;
        bool startDown;
        std::vector<QPoint> moves; // button coordinates
        QPoint release;
        bool down;
        int clicks;
    };
    const Case cases[] = {
        {"click presses", false, {}, {10, 10}, true, 1},
        {"click releases", true, {}, {19, 19}, false, 1},
        {"moved off and released off", false, {{10, 10}, {25, 10}}, {25, 10}, false, 0},
        {"down, moved off and released off", true, {{-1, 5}}, {-1, 5}, true, 0},
        {"moved off and back", false, {{25, 10}, {5, 5}}, {5, 5}, true, 1},
    };
    TKorPushButton *b = M->Button1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        b->SetDown(c.startDown);
        int clicks = 0;
        b->SetOnClick([&](TKorPushButton *) { ++clicks; });
        Press(At(b, {10, 10}));
        EXPECT_EQ(b->Down(), !c.startDown) << "pressed at once";
        for (QPoint p : c.moves) {
            Move(At(b, p));
            EXPECT_EQ(b->Down(), b->HitTest(p) ? !c.startDown : c.startDown) << "while at " << p.x() << "," << p.y();
        }
        Release(At(b, c.release));
        EXPECT_EQ(b->Down(), c.down);
        EXPECT_EQ(clicks, c.clicks);
        EXPECT_EQ(DragState.DragObject, nullptr);
    }
}

TEST_F(PushButtonTest, PaintsBevelAndTransparentGlyphOneStepInWhenDown)
{
    // Blue, with red in the bottom-left corner and at (1, 1): red is drawn transparent.
    QImage glyph(20, 20, QImage::Format_RGB32);
    glyph.fill(ToQColor(Blue));
    glyph.setPixelColor(0, 19, ToQColor(Red));
    glyph.setPixelColor(1, 1, ToQColor(Red));
    TKorPushButton *b = M->Button1; // 20 x 20
    b->SetGlyph(glyph);

    struct Case {
        const char *name;
        bool down;
        TColor leftBevel, rightBevel;
        int origin, lastColumn;
    };
    const Case cases[] = {
        {"up", false, White, Grey, 2, 15},
        {"down", true, Grey, White, 3, 17},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        b->SetDown(c.down);
        const QImage img = Render();
        EXPECT_EQ(Px(img, At(b, {1, 10})), Hex(c.leftBevel));
        EXPECT_EQ(Px(img, At(b, {10, 1})), Hex(c.leftBevel));
        EXPECT_EQ(Px(img, At(b, {18, 10})), Hex(c.rightBevel));
        EXPECT_EQ(Px(img, At(b, {10, 18})), Hex(c.rightBevel));
        EXPECT_EQ(Px(img, At(b, {c.origin, c.origin})), Hex(Blue)) << "image corner";
        EXPECT_EQ(Px(img, At(b, {c.origin + 1, c.origin + 1})), Hex(Silver)) << "transparent pixel";
        EXPECT_EQ(Px(img, At(b, {c.lastColumn, 8})), Hex(Blue)) << "last column shown";
        EXPECT_NE(Px(img, At(b, {c.lastColumn + 1, 8})), Hex(Blue)) << "image clipped";
    }
}

TEST_F(PushButtonTest, LoadGlyphReadsFromTheApplicationDirectory)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QImage image(5, 4, QImage::Format_RGB32);
    image.fill(Qt::green);
    ASSERT_TRUE(image.save(dir.filePath(QStringLiteral("Sym.bmp")), "BMP"));
    const QString before = ApplicationDirectory();
    SetApplicationDirectory(dir.path());
    TKorPushButton *b = M->Button1;

    b->LoadGlyph(QStringLiteral("Sym.bmp"));
    const QSize loaded = b->Glyph().size();
    b->LoadGlyph(QStringLiteral("Missing.bmp"));
    const bool clearedByMissing = b->Glyph().isNull();
    SetApplicationDirectory(before);

    EXPECT_EQ(loaded, QSize(5, 4));
    EXPECT_TRUE(clearedByMissing) << "a missing file leaves the button without an image";
}

// ---- Lamp ----

TEST_F(LedTest, PaintsItsOnOrOffColour)
{
    TKorLed *led = M->Led; // (190, 10), 9 x 4
    ASSERT_EQ(led->BoundsRect(), (TRect{190, 10, 199, 14}));
    for (bool on : {false, true}) {
        SCOPED_TRACE(on ? "on" : "off");
        led->SetOn(on);
        const QImage img = Render();
        EXPECT_EQ(Px(img, At(led, {4, 2})), Hex(on ? LedColorOn : LedColorOff));
    }
}

TEST_F(LedTest, RepaintsOnlyWhenTheShownColourChanges)
{
    struct Case {
        const char *name;
        bool on;
        std::function<void(TKorLed *)> act;
        bool repaint;
    };
    const std::vector<Case> cases = {
        {"switched on", false, [](TKorLed *l) { l->SetOn(true); }, true},
        {"off again while off", false, [](TKorLed *l) { l->SetOn(false); }, false},
        {"on colour while off", false, [](TKorLed *l) { l->SetOnColor(Red); }, false},
        {"on colour while on", true, [](TKorLed *l) { l->SetOnColor(Red); }, true},
        {"off colour while off", false, [](TKorLed *l) { l->SetOffColor(Blue); }, true},
        {"off colour while on", true, [](TKorLed *l) { l->SetOffColor(Blue); }, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TKorLed *led = M->Led;
        led->SetOn(c.on);
        led->SetOnColor(White);
        led->SetOffColor(Plum);
        ForgetReports();
        c.act(led);
        EXPECT_EQ(Repaints(), c.repaint ? std::vector<std::string>{"(190,10,199,14)"} : std::vector<std::string>{});
    }
}

// The colour settings reach every control when colours are refreshed.
TEST_F(LedTest, RefreshedColourSettingsReachEveryControl)
{
    LedColorOn = Red;
    LedColorOff = Blue;
    KnobColor = 0x123456;
    ViewerColor = 0x654321;
    ModuleColor = 0x00FF00;
    ScopeColor = 0x0000AA;
    M->RefreshColors();
    ResetColorSettings();

    EXPECT_EQ(M->Led->OnColor(), Red);
    EXPECT_EQ(M->Led->OffColor(), Blue);
    EXPECT_EQ(M->Knob->Color(), 0x123456u);
    EXPECT_EQ(M->Viewer->Color(), 0x654321u);
    EXPECT_EQ(M->Button1->Color(), 0x00FF00u);
    EXPECT_EQ(M->Graph->Color(), 0x0000AAu);
}

// ---- Viewer ----

TEST_F(ViewerTest, SettersRepaintOnlyWhatTheyChange)
{
    struct Case {
        const char *name;
        std::function<void(TKorViewer *)> act;
        std::vector<std::string> repaints;
        int updates;
    };
    // The viewer stands at (60, 20), 35 x 15.
    const std::vector<Case> cases = {
        {"new text: inside, erased, painted at once", [](TKorViewer *v) { v->SetText(QStringLiteral("42")); },
         {"(62,22,93,33) erase"}, 1},
        {"same text: nothing", [](TKorViewer *v) { v->SetText(QString()); }, {}, 0},
        {"text colour: inside the frame", [](TKorViewer *v) { v->SetTextColor(Red); }, {"(61,21,94,34)"}, 0},
        {"border colour: everything", [](TKorViewer *v) { v->SetBorderColor(Red); }, {"(60,20,95,35)"}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TKorViewer *v = M->Viewer;
        v->SetText(QString());
        v->SetTextColor(White);
        v->SetBorderColor(White);
        ForgetReports();
        c.act(v);
        EXPECT_EQ(Repaints(), c.repaints);
        EXPECT_EQ(Host.UpdatesNow, c.updates);
    }
}

TEST_F(ViewerTest, ShowsItsTextInsideAWhiteFrame)
{
    TKorViewer *v = M->Viewer;
    // Pixels inside the frame that differ from the background: the drawn text.
    const auto inkInside = [&] {
        const QImage img = Render();
        int ink = 0;
        for (int y = 1; y < v->Height() - 1; ++y)
            for (int x = 1; x < v->Width() - 1; ++x)
                ink += Px(img, At(v, {x, y})) != Hex(ViewerColor);
        return ink;
    };
    EXPECT_EQ(inkInside(), 0);
    v->SetText(QStringLiteral("888"));
    EXPECT_GT(inkInside(), 10);

    const QImage img = Render();
    EXPECT_EQ(Px(img, At(v, {0, 0})), Hex(White)) << "frame";
    EXPECT_EQ(Px(img, At(v, {34, 14})), Hex(White)) << "frame";
    EXPECT_EQ(Px(img, At(v, {1, 13})), Hex(ViewerColor)) << "background";
}

// ---- Graph sheet ----

TEST_F(GraphSheetTest, ScalesPointsOntoPixels)
{
    struct Case {
        const char *name;
        int32_t xScale, yScale;
        QPoint point, pixel;
    };
    // The graph sheet is 100 x 50.
    const Case cases[] = {
        {"right bottom corner", 1000, 1000, {1000, -1000}, {99, 49}},
        {"left top corner", 1000, 1000, {0, 1000}, {1, 1}},
        {"zero is the middle row", 1000, 1000, {0, 0}, {1, 25}},
        {"half way", 1000, 1000, {500, 500}, {50, 13}},
        {"half scales shrink towards the left top", 500, 500, {1000, -1000}, {50, 25}},
    };
    TKorGraphSheet *g = M->Graph;
    g->SetCount(1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        g->SetXScale(c.xScale);
        g->SetYScale(c.yScale);
        g->SetPoint(0, c.point);
        EXPECT_EQ(QPoint(g->ScaleX(0), g->ScaleY(0)), c.pixel);
        const QImage img = Render();
        EXPECT_EQ(Px(img, At(g, c.pixel)), Hex(White));
    }
}

TEST_F(GraphSheetTest, PaintsGridOverBackground)
{
    TKorGraphSheet *g = M->Graph;
    g->SetCount(0);
    const QImage img = Render();
    EXPECT_EQ(Px(img, At(g, {12, 3})), Hex(Grey)) << "first vertical line at 100 div 8";
    EXPECT_EQ(Px(img, At(g, {3, 43})), Hex(Grey)) << "last horizontal line at 7 * 50 div 8";
    EXPECT_EQ(Px(img, At(g, {0, 3})), Hex(Grey)) << "outline";
    EXPECT_EQ(Px(img, At(g, {13, 3})), Hex(ScopeColor)) << "background";
}

TEST_F(GraphSheetTest, IndexOutsideTheCountRaisesEBounds)
{
    struct Case {
        const char *name;
        std::function<void(TKorGraphSheet *)> act;
        const char *message;
    };
    const std::vector<Case> cases = {
        {"SetPoint one past the end", [](TKorGraphSheet *g) { g->SetPoint(128, {1, 1}); },
         "GraphSheet::Index 128 out of bounds [0,127]"},
        {"GetPoint below zero", [](TKorGraphSheet *g) { g->GetPoint(-1); },
         "GraphSheet::Index -1 out of bounds [0,127]"},
        {"SetX", [](TKorGraphSheet *g) { g->SetX(200, 0); }, "GraphSheet::Index 200 out of bounds [0,127]"},
        {"SetY", [](TKorGraphSheet *g) { g->SetY(128, 0); }, "GraphSheet::Index 128 out of bounds [0,127]"},
        {"ScaleY", [](TKorGraphSheet *g) { g->ScaleY(128); }, "GraphSheet::Index 128 out of bounds [0,127]"},
        {"any index of an empty graph",
         [](TKorGraphSheet *g) {
             g->SetCount(0);
             g->GetPoint(0);
         },
         "GraphSheet::Index 0 out of bounds [0,-1]"},
        {"more points than the cap", [](TKorGraphSheet *g) { g->SetCount(8193); },
         "GraphSheet::Count 8193 out of bounds [0,8192]"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TKorGraphSheet *g = M->Graph;
        g->SetCount(128);
        try {
            c.act(g);
            ADD_FAILURE() << "no EBounds";
        } catch (const EBounds &e) {
            EXPECT_EQ(e.Message(), QString::fromLatin1(c.message));
        }
    }
    M->Graph->SetCount(8192);
    EXPECT_EQ(M->Graph->GetPoint(8191), QPoint(0, 0)) << "the cap itself is allowed";
}

TEST_F(GraphSheetTest, SetCountKeepsLeadingPointsAndAddsZerosWithoutRepainting)
{
    TKorGraphSheet *g = M->Graph;
    ASSERT_EQ(g->Count(), 128);
    std::vector<QPoint> first;
    for (int i = 0; i < 64; ++i)
        first.push_back(g->GetPoint(i));

    g->SetCount(64);
    g->SetCount(256);
    ASSERT_EQ(g->Count(), 256);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(g->GetPoint(i), first[i]) << "point " << i;
    for (int i = 64; i < 256; ++i)
        ASSERT_EQ(g->GetPoint(i), QPoint(0, 0)) << "point " << i;
    EXPECT_TRUE(Repaints().empty());
}

TEST_F(GraphSheetTest, SetPointRepaintsTheOldAndTheNewPixelOnly)
{
    TKorGraphSheet *g = M->Graph; // at (140, 40)
    g->SetCount(1);
    g->SetPoint(0, {0, 1000}); // pixel (1, 1)
    ForgetReports();

    g->SetPoint(0, {1000, -1000}); // pixel (99, 49)
    EXPECT_EQ(Repaints(), (std::vector<std::string>{"(141,41,142,42)", "(239,89,240,90)"}));

    ForgetReports();
    g->SetPoint(0, {1000, -1000});
    g->SetX(0, 500);
    g->SetY(0, 0);
    EXPECT_TRUE(Repaints().empty()) << "an unchanged point and single coordinates repaint nothing";
    EXPECT_EQ(g->GetPoint(0), QPoint(500, 0));
}

TEST_F(GraphSheetTest, NewGraphPlotsRandomPointsFromTheSharedGenerator)
{
    RandSeed(4711);
    std::vector<QPoint> expected;
    for (int i = 0; i < 128; ++i) {
        const int32_t x = Random(1001);
        expected.emplace_back(x, Random(1001));
    }
    RandSeed(4711);
    auto *m = Add<TPanelModule>(250, 0);
    for (int i = 0; i < 128; ++i)
        ASSERT_EQ(m->Graph->GetPoint(i), expected[i]) << "point " << i << ": X drawn first, then Y";
    EXPECT_EQ(m->Graph->XScale(), 1000);
    EXPECT_EQ(m->Graph->YScale(), 1000);
    EXPECT_EQ(m->Graph->PointColor(), White);
}

TEST_F(GraphSheetTest, DumpListsPointsWithTheirPixels)
{
    TKorGraphSheet *g = M->Graph;
    g->SetCount(2);
    g->SetPoint(0, {12, -34});    // pixel (2, 26)
    g->SetPoint(1, {1000, 1000}); // pixel (99, 1)
    struct Case {
        int depth;
        const char *text;
    };
    const Case cases[] = {
        {0, "   TKorGraphSheet : 'Graph'\n"},
        {1, "   TKorGraphSheet : 'Graph'\n"
            "   Data\n"
            "     ( 00012, -00034) ( 00002, 00026)\n"
            "     ( 01000, 01000) ( 00099, 00001)\n"
            "   End data\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.depth);
        QString text;
        QTextStream out(&text);
        g->Dump(out, 1, c.depth);
        out.flush();
        EXPECT_EQ(text, QString::fromLatin1(c.text));
    }
}

} // namespace
