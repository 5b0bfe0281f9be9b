// The draw sheet's mouse routing: module dragging and selection, cable gestures, the selection
// band, click reports and placing new modules; plus freeing modules, the sheet's extent and
// MIDI routing.
//
// Layout reminders (module coordinates): modules are 250 x 50 on a 250 x 50 grid, the title
// label is at (2, 2) 55 x 12; TKorTestSource has Out at (220, 20); TKorTestThrough has In at
// (10, 20), a caption ignoring the mouse at (40, 20) and Out at (220, 20); connectors are
// 15 x 15, so their centre is at +7, +7. (150, 30) is bare body on every test module.

#include <gtest/gtest.h>

#include "Modules.h"
#include "TestHost.h"
#include "TestModules.h"

#include <QPointer>
#include <algorithm>
#include <vector>

namespace {

constexpr TColor Green = 0x008000;
constexpr TColor White = 0xFFFFFF;
const QPoint BodySpot{150, 30};     // bare module body, module coordinates
const QPoint EmptySheet{600, 400};  // no module lies there in any test below

// A full left-button gesture as the toolkit delivers it: press, move (when the pointer
// moves), Click (raised before the release), release.
void Drag(TKorDrawSheet *sheet, QPoint from, QPoint to, TShiftState shift = 0)
{
    sheet->MouseDown(TMouseButton::mbLeft, shift, from.x(), from.y());
    if (to != from)
        sheet->MouseMove(shift, to.x(), to.y());
    sheet->Click();
    sheet->MouseUp(TMouseButton::mbLeft, shift, to.x(), to.y());
}

void ClickAt(TKorDrawSheet *sheet, QPoint at, TShiftState shift = 0)
{
    Drag(sheet, at, at, shift);
}

TComponent *Dragged()
{
    return DragState.DragObject.data();
}

std::vector<TOverlayShape> ShapesOf(const TKorDrawSheet *sheet, TOverlayShape::TKind kind)
{
    std::vector<TOverlayShape> shapes;
    for (const TOverlayShape &s : sheet->Overlay())
        if (s.Kind == kind)
            shapes.push_back(s);
    return shapes;
}

std::vector<TOverlayShape> Outlines(const TKorDrawSheet *sheet)
{
    return ShapesOf(sheet, TOverlayShape::TKind::Focus);
}

std::vector<TOverlayShape> Lines(const TKorDrawSheet *sheet)
{
    return ShapesOf(sheet, TOverlayShape::TKind::Line);
}

int IndexOf(const TKorDrawSheet *sheet, const TKorCustomModule *m)
{
    for (int i = 0; i < sheet->ModuleCount(); ++i)
        if (sheet->Modules(i) == m)
            return i;
    return -1;
}

TKorCustomModule *LastModule(const TKorDrawSheet *sheet)
{
    return sheet->Modules(sheet->ModuleCount() - 1);
}

// ---------------------------------------------------------------------------------------------
// Module dragging

TEST(SheetModuleDrag, DeadZoneAndGridSnapping)
{
    struct TCase {
        const char *Name;
        QPoint Start, By, Expected;
    };
    const std::vector<TCase> cases = {
        {"PastHalfACellSnapsToNextColumn", {0, 0}, {130, 10}, {250, 0}},
        {"InsideDeadZoneStays", {0, 0}, {9, 9}, {0, 0}},
        {"PastDeadZoneButUnderHalfACellSnapsBack", {0, 0}, {120, 10}, {0, 0}},
        {"LeftAndUpPastHalfACell", {250, 100}, {-130, -30}, {0, 50}},
        {"DownByMoreThanHalfARow", {0, 0}, {0, 30}, {0, 50}},
        {"PastTheLeftAndTopEdgesStopsThere", {250, 100}, {-700, -400}, {0, 0}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *m = f.Add<TKorTestSource>(c.Start.x(), c.Start.y());
        const QPoint press = c.Start + BodySpot;
        Drag(f.Sheet.get(), press, press + c.By);
        EXPECT_EQ(m->Left(), c.Expected.x());
        EXPECT_EQ(m->Top(), c.Expected.y());
        EXPECT_TRUE(m->Selected());
        EXPECT_EQ(Dragged(), nullptr);
        EXPECT_TRUE(f.Sheet->Overlay().empty()) << "the drag outline must leave no trace";
    }
}

TEST(SheetModuleDrag, PlainPressOnSelectedModuleMovesWholeSelection)
{
    TSheetFixture f;
    auto *a = f.Add<TKorTestSource>(0, 0);
    auto *b = f.Add<TKorTestSource>(250, 100);
    auto *idle = f.Add<TKorTestSource>(0, 200);
    ClickAt(f.Sheet.get(), a->LocalToSheet(BodySpot), ssCtrl);
    ClickAt(f.Sheet.get(), b->LocalToSheet(BodySpot), ssCtrl);
    ASSERT_TRUE(a->Selected());
    ASSERT_TRUE(b->Selected());

    const QPoint press = a->LocalToSheet(BodySpot);
    f.Sheet->MouseDown(TMouseButton::mbLeft, 0, press.x(), press.y());
    EXPECT_TRUE(a->Selected());
    EXPECT_TRUE(b->Selected()) << "a plain press on a selected module keeps the group";
    f.Sheet->MouseMove(0, press.x() + 260, press.y() + 60);
    EXPECT_EQ(Outlines(f.Sheet.get()).size(), 2u) << "one outline per selected module";
    f.Sheet->Click();
    f.Sheet->MouseUp(TMouseButton::mbLeft, 0, press.x() + 260, press.y() + 60);

    EXPECT_EQ(QPoint(a->Left(), a->Top()), QPoint(250, 50));
    EXPECT_EQ(QPoint(b->Left(), b->Top()), QPoint(500, 150));
    EXPECT_EQ(QPoint(idle->Left(), idle->Top()), QPoint(0, 200));
    EXPECT_TRUE(a->Selected());
    EXPECT_TRUE(b->Selected());
    EXPECT_FALSE(idle->Selected());
    EXPECT_TRUE(f.Sheet->Overlay().empty());
}

TEST(SheetModuleDrag, CtrlClickOnSelectedModuleDeselectsItWithoutMoving)
{
    TSheetFixture f;
    auto *a = f.Add<TKorTestSource>(0, 0);
    auto *b = f.Add<TKorTestSource>(250, 100);
    a->SetSelected(true);
    b->SetSelected(true);

    ClickAt(f.Sheet.get(), a->LocalToSheet(BodySpot), ssCtrl);

    EXPECT_FALSE(a->Selected());
    EXPECT_TRUE(b->Selected());
    EXPECT_EQ(QPoint(a->Left(), a->Top()), QPoint(0, 0));
    EXPECT_EQ(QPoint(b->Left(), b->Top()), QPoint(250, 100));
    EXPECT_TRUE(f.Sheet->Overlay().empty());
}

// ---------------------------------------------------------------------------------------------
// What a press starts

TEST(SheetPress, LeftPressStartsTheGestureOfThePartUnderThePointer)
{
    enum class TTarget { Module, Title, In, Out };
    struct TCase {
        const char *Name;
        QPoint At; // module coordinates; the module lies at (0, 0)
        TTarget Target;
        bool ModuleDrag;
    };
    const std::vector<TCase> cases = {
        {"Body", BodySpot, TTarget::Module, true},
        {"CaptionIgnoringMouseFallsToBody", {45, 25}, TTarget::Module, true},
        {"TitleLabelTakesTheMouse", {5, 5}, TTarget::Title, false},
        {"InputStartsCable", {17, 27}, TTarget::In, false},
        {"OutputStartsCable", {227, 27}, TTarget::Out, false},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *m = f.Add<TKorTestThrough>(0, 0);
        auto *other = f.Add<TKorTestSource>(0, 100);
        other->SetSelected(true);

        f.Sheet->MouseDown(TMouseButton::mbLeft, 0, c.At.x(), c.At.y());

        TComponent *expected = c.Target == TTarget::Module  ? static_cast<TComponent *>(m)
                               : c.Target == TTarget::Title ? static_cast<TComponent *>(m->TitleLabel())
                               : c.Target == TTarget::In    ? static_cast<TComponent *>(m->In)
                                                            : static_cast<TComponent *>(m->Out);
        EXPECT_EQ(Dragged(), expected);
        if (c.ModuleDrag) {
            EXPECT_TRUE(m->Selected());
            EXPECT_FALSE(other->Selected());
            EXPECT_EQ(LastModule(f.Sheet.get()), m) << "pressed module comes to the front";
            const auto outlines = Outlines(f.Sheet.get());
            ASSERT_EQ(outlines.size(), 1u);
            EXPECT_EQ(outlines[0].Rect, (TRect{0, 0, 250, 50}));
        } else {
            EXPECT_FALSE(m->Selected());
            EXPECT_TRUE(other->Selected());
            EXPECT_EQ(LastModule(f.Sheet.get()), other);
            EXPECT_TRUE(Outlines(f.Sheet.get()).empty()) << "no module drag outline";
            const bool cable = c.Target == TTarget::In || c.Target == TTarget::Out;
            EXPECT_EQ(Lines(f.Sheet.get()).size(), cable ? 1u : 0u);
        }
    }
}

TEST(SheetPress, RightAndMiddlePressesStartNothing)
{
    struct TCase {
        const char *Name;
        TMouseButton Button;
        QPoint At; // sheet coordinates; the probed module lies at (0, 0), its probe at (100, 10)
        bool ReachesProbe;
    };
    const std::vector<TCase> cases = {
        {"RightOnBody", TMouseButton::mbRight, {200, 40}, false},
        {"RightOnProbe", TMouseButton::mbRight, {110, 20}, true},
        {"RightOnEmptySheet", TMouseButton::mbRight, EmptySheet, false},
        {"MiddleOnBody", TMouseButton::mbMiddle, {200, 40}, false},
        {"MiddleOnProbe", TMouseButton::mbMiddle, {110, 20}, false},
        {"MiddleOnEmptySheet", TMouseButton::mbMiddle, EmptySheet, false},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *probed = f.Add<TKorTestProbed>(0, 0);
        auto *other = f.Add<TKorTestSource>(0, 100);
        other->SetSelected(true);

        f.Sheet->MouseDown(c.Button, 0, c.At.x(), c.At.y());

        EXPECT_EQ(Dragged(), nullptr);
        EXPECT_FALSE(probed->Selected());
        EXPECT_TRUE(other->Selected());
        EXPECT_EQ(LastModule(f.Sheet.get()), other);
        EXPECT_TRUE(f.Sheet->Overlay().empty());
        if (c.ReachesProbe) {
            ASSERT_EQ(probed->Probe->Presses.size(), 1u);
            EXPECT_EQ(probed->Probe->Presses[0].Button, c.Button);
            EXPECT_EQ(probed->Probe->Presses[0].At, QPoint(10, 10)) << "probe coordinates";
        } else {
            EXPECT_TRUE(probed->Probe->Presses.empty());
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Cable gestures

// Source S at (0, 0), through modules T at (0, 100) and U at (0, 200).
struct TCableSheet : TSheetFixture {
    TKorTestSource *S = Add<TKorTestSource>(0, 0);
    TKorTestThrough *T = Add<TKorTestThrough>(0, 100);
    TKorTestThrough *U = Add<TKorTestThrough>(0, 200);
    static constexpr QPoint SOut{227, 27}, TIn{17, 127}, TOut{227, 127}, UIn{17, 227};
};

TEST(SheetCableGesture, DragBetweenConnectors)
{
    enum class TEnd { SOut, TIn, TOut, UIn, Sheet };
    struct TCase {
        const char *Name;
        TEnd From, To;
        bool Makes;
    };
    const std::vector<TCase> cases = {
        {"OutputToInput", TEnd::SOut, TEnd::TIn, true},
        {"InputToOutput", TEnd::TIn, TEnd::SOut, true},
        {"OutputToInputOfItsOwnModule", TEnd::TOut, TEnd::TIn, true},
        {"OutputToOutput", TEnd::SOut, TEnd::TOut, false},
        {"InputToInput", TEnd::TIn, TEnd::UIn, false},
        {"OutputOntoItself", TEnd::SOut, TEnd::SOut, false},
        {"OutputToEmptySheet", TEnd::SOut, TEnd::Sheet, false},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TCableSheet f;
        auto point = [](TEnd e) {
            switch (e) {
            case TEnd::SOut: return TCableSheet::SOut;
            case TEnd::TIn: return TCableSheet::TIn;
            case TEnd::TOut: return TCableSheet::TOut;
            case TEnd::UIn: return TCableSheet::UIn;
            case TEnd::Sheet: break;
            }
            return EmptySheet;
        };
        auto connector = [&f](TEnd e) -> TKorConnector * {
            switch (e) {
            case TEnd::SOut: return f.S->Out;
            case TEnd::TIn: return f.T->In;
            case TEnd::TOut: return f.T->Out;
            case TEnd::UIn: return f.U->In;
            case TEnd::Sheet: break;
            }
            return nullptr;
        };
        const QPoint from = point(c.From), to = point(c.To);
        TKorDrawSheet *sheet = f.Sheet.get();

        sheet->MouseDown(TMouseButton::mbLeft, 0, from.x(), from.y());
        ASSERT_EQ(Dragged(), connector(c.From));
        sheet->MouseMove(0, EmptySheet.x(), EmptySheet.y());
        auto lines = Lines(sheet);
        ASSERT_EQ(lines.size(), 1u) << "the previous line is erased on every move";
        EXPECT_EQ(lines[0].From, from);
        EXPECT_EQ(lines[0].To, EmptySheet);
        EXPECT_EQ(lines[0].Color, White);

        sheet->MouseMove(0, to.x(), to.y());
        lines = Lines(sheet);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].To, to);
        EXPECT_EQ(lines[0].Color, c.Makes ? Green : White);
        sheet->Click();
        sheet->MouseUp(TMouseButton::mbLeft, 0, to.x(), to.y());

        EXPECT_TRUE(sheet->Overlay().empty()) << "no trace after the release";
        EXPECT_EQ(Dragged(), nullptr);
        if (c.Makes) {
            ASSERT_EQ(sheet->CableCount(), 1);
            EXPECT_EQ(sheet->CableFrom(0), connector(c.From));
            EXPECT_EQ(sheet->CableTo(0), connector(c.To));
            ASSERT_EQ(f.Host.Made.size(), 1u);
            EXPECT_EQ(f.Host.Made[0].first, connector(c.From));
            EXPECT_EQ(f.Host.Made[0].second, connector(c.To));
            EXPECT_EQ(connector(c.From)->ConnectionCount(), 1);
            EXPECT_EQ(connector(c.To)->ConnectionCount(), 1);
        } else {
            EXPECT_EQ(sheet->CableCount(), 0);
            EXPECT_TRUE(f.Host.Made.empty());
            EXPECT_EQ(connector(c.From)->ConnectionCount(), 0);
        }
        EXPECT_TRUE(f.Host.Lost.empty());
    }
}

TEST(SheetCableGesture, DraggingBackAlongACableRemovesIt)
{
    TCableSheet f;
    TKorDrawSheet *sheet = f.Sheet.get();
    Drag(sheet, TCableSheet::SOut, TCableSheet::TIn);
    ASSERT_EQ(sheet->CableCount(), 1);
    f.S->Next = 42;
    sheet->Execute();
    ASSERT_EQ(f.T->In->Value(), 42);

    Drag(sheet, TCableSheet::TIn, TCableSheet::SOut);

    EXPECT_EQ(sheet->CableCount(), 0);
    ASSERT_EQ(f.Host.Lost.size(), 1u);
    EXPECT_EQ(f.Host.Lost[0].first, f.T->In);
    EXPECT_EQ(f.Host.Lost[0].second, f.S->Out);
    EXPECT_EQ(f.Host.Made.size(), 1u) << "breaking a cable reports no new one";
    EXPECT_EQ(f.T->In->Value(), 0);
    EXPECT_EQ(f.T->In->ConnectionCount(), 0);
    EXPECT_EQ(f.S->Out->ConnectionCount(), 0);
    EXPECT_TRUE(sheet->Overlay().empty());
}

TEST(SheetCableGesture, CableDrawnFromInputCarriesTheOutputValue)
{
    TCableSheet f;
    TKorDrawSheet *sheet = f.Sheet.get();
    Drag(sheet, TCableSheet::TIn, TCableSheet::SOut);
    ASSERT_EQ(sheet->CableCount(), 1);
    ASSERT_EQ(sheet->CableFrom(0), f.T->In);
    f.S->Next = 42;

    sheet->Execute();
    EXPECT_EQ(f.T->In->Value(), 42) << "the first tick's propagation delivers the value";
    EXPECT_EQ(f.T->Out->Value(), 0) << "T ran before the cable delivered";
    sheet->Execute();
    EXPECT_EQ(f.T->Out->Value(), 42);
}

// ---------------------------------------------------------------------------------------------
// Selection band

TEST(SheetBand, ClickOnEmptySheetDeselectsAllAndReportsTheSheet)
{
    TSheetFixture f;
    auto *a = f.Add<TKorTestSource>(0, 0);
    auto *b = f.Add<TKorTestSource>(250, 100);
    a->SetSelected(true);
    b->SetSelected(true);

    f.Sheet->MouseDown(TMouseButton::mbLeft, 0, EmptySheet.x(), EmptySheet.y());
    EXPECT_EQ(Dragged(), f.Sheet.get());
    f.Sheet->Click();
    f.Sheet->MouseUp(TMouseButton::mbLeft, 0, EmptySheet.x(), EmptySheet.y());

    EXPECT_FALSE(a->Selected());
    EXPECT_FALSE(b->Selected());
    ASSERT_EQ(f.Host.Clicks.size(), 1u);
    EXPECT_EQ(f.Host.Clicks[0].first.data(), f.Sheet.get());
    EXPECT_FALSE(f.Host.Clicks[0].second);
    EXPECT_EQ(Dragged(), nullptr);
    EXPECT_TRUE(f.Sheet->Overlay().empty());
}

TEST(SheetBand, SelectsExactlyTheModulesItTouches)
{
    // Target module bounds: (250, 100) - (500, 150), right and bottom excluded.
    struct TCase {
        const char *Name;
        QPoint From, To;
        bool Selects;
    };
    const std::vector<TCase> cases = {
        {"CoversTopLeftPixel", {100, 20}, {251, 101}, true},
        {"StopsShortOfTopLeft", {100, 20}, {250, 100}, false},
        {"CoversBottomRightPixel", {600, 300}, {499, 149}, true},
        {"StopsShortOfBottomRight", {600, 300}, {500, 150}, false},
        {"ThinBandAcrossTheMiddle", {100, 125}, {600, 126}, true},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *target = f.Add<TKorTestSource>(250, 100);
        auto *distant = f.Add<TKorTestSource>(750, 500);
        distant->SetSelected(true);

        f.Sheet->MouseDown(TMouseButton::mbLeft, 0, c.From.x(), c.From.y());
        f.Sheet->MouseMove(0, c.To.x(), c.To.y());
        const auto band = Outlines(f.Sheet.get());
        ASSERT_EQ(band.size(), 1u);
        EXPECT_EQ(band[0].Rect, (TRect{c.From.x(), c.From.y(), c.To.x(), c.To.y()}.Normalized()));
        f.Sheet->Click();
        f.Sheet->MouseUp(TMouseButton::mbLeft, 0, c.To.x(), c.To.y());

        EXPECT_EQ(target->Selected(), c.Selects);
        EXPECT_FALSE(distant->Selected()) << "a band replaces the selection";
        EXPECT_TRUE(f.Sheet->Overlay().empty());
    }
}

// ---------------------------------------------------------------------------------------------
// Click reports

TEST(SheetClick, ReportsTheObjectPressedWithSingleAndDoubleClicks)
{
    enum class TTarget { Probe, Module, Sheet };
    struct TCase {
        const char *Name;
        QPoint At; // the probed module lies at (0, 0), its probe at (100, 10)
        TTarget Target;
    };
    const std::vector<TCase> cases = {
        {"ProbeDetail", {110, 20}, TTarget::Probe},
        {"ModuleBody", {200, 40}, TTarget::Module},
        {"EmptySheet", EmptySheet, TTarget::Sheet},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *probed = f.Add<TKorTestProbed>(0, 0);
        TComponent *expected = c.Target == TTarget::Probe    ? static_cast<TComponent *>(probed->Probe)
                               : c.Target == TTarget::Module ? static_cast<TComponent *>(probed)
                                                             : static_cast<TComponent *>(f.Sheet.get());

        ClickAt(f.Sheet.get(), c.At);
        f.Sheet->DblClick();

        ASSERT_EQ(f.Host.Clicks.size(), 2u);
        EXPECT_EQ(f.Host.Clicks[0].first.data(), expected);
        EXPECT_FALSE(f.Host.Clicks[0].second);
        EXPECT_EQ(f.Host.Clicks[1].first.data(), expected);
        EXPECT_TRUE(f.Host.Clicks[1].second);
    }
}

// ---------------------------------------------------------------------------------------------
// Placing a new module

TEST(SheetPlacing, NewModuleFollowsThePointerUntilTheRelease)
{
    TSheetFixture f;
    auto *old = f.Add<TKorTestSource>(0, 100);
    old->SetSelected(true);

    TKorCustomModule *m = f.Sheet->AddModule(ClassOf<TKorTestSource>());
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(qobject_cast<TKorTestSource *>(m));
    EXPECT_TRUE(m->BeingCreated());
    EXPECT_TRUE(m->Selected());
    EXPECT_FALSE(old->Selected());
    EXPECT_EQ(Dragged(), m);
    EXPECT_EQ(LastModule(f.Sheet.get()), m);
    EXPECT_FALSE(DragState.Creating) << "only set while the module is being built";

    f.Sheet->MouseMove(0, 400, 130);
    f.Sheet->MouseDown(TMouseButton::mbLeft, 0, EmptySheet.x(), EmptySheet.y());
    EXPECT_EQ(Dragged(), m) << "a press while placing is ignored";
    const auto outlines = Outlines(f.Sheet.get());
    ASSERT_EQ(outlines.size(), 1u) << "no band next to the module outline";
    EXPECT_EQ(outlines[0].Rect, (TRect{275, 105, 525, 155})) << "outline centred on the pointer";

    f.Sheet->MouseUp(TMouseButton::mbLeft, 0, 400, 130);

    EXPECT_EQ(QPoint(m->Left(), m->Top()), QPoint(250, 100));
    EXPECT_EQ(QPoint(old->Left(), old->Top()), QPoint(0, 100));
    EXPECT_FALSE(m->BeingCreated());
    EXPECT_TRUE(m->Selected());
    EXPECT_EQ(Dragged(), nullptr);
    EXPECT_TRUE(f.Sheet->Overlay().empty());
    const auto &seen = f.Host.ScrolledIntoView;
    EXPECT_NE(std::find(seen.begin(), seen.end(), m), seen.end());
}

// ---------------------------------------------------------------------------------------------
// Freeing modules

TEST(SheetFree, IndexOutsideTheListIsAnAssertionFailure)
{
    struct TCase {
        const char *Name;
        int Modules, Index;
        const char *Message;
    };
    const std::vector<TCase> cases = {
        {"OnePastTheEnd", 2, 2, "TDrawSheet.FreeModule( anIndex: Integer) : Parameter anIndex (2) out of bounds [0,1]"},
        {"EmptySheet", 0, 0, "TDrawSheet.FreeModule( anIndex: Integer) : Parameter anIndex (0) out of bounds [0,-1]"},
        {"Negative", 2, -1, "TDrawSheet.FreeModule( anIndex: Integer) : Parameter anIndex (-1) out of bounds [0,1]"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        std::vector<QPointer<TKorCustomModule>> modules;
        for (int i = 0; i < c.Modules; ++i)
            modules.emplace_back(f.Add<TKorTestSource>(0, 50 * i));
        try {
            f.Sheet->FreeModule(c.Index);
            ADD_FAILURE() << "no exception";
        } catch (const EAssertionFailed &e) {
            EXPECT_TRUE(e.Message().startsWith(QString::fromUtf8(c.Message))) << e.what();
        }
        EXPECT_EQ(f.Sheet->ModuleCount(), c.Modules);
        for (const auto &m : modules)
            EXPECT_FALSE(m.isNull());
    }
}

TEST(SheetFree, DeleteSelectedModulesKeepsTheOthers)
{
    TSheetFixture f;
    QPointer<TKorCustomModule> a = f.Add<TKorTestSource>(0, 0);
    QPointer<TKorCustomModule> b = f.Add<TKorTestSource>(0, 50);
    QPointer<TKorCustomModule> c = f.Add<TKorTestSource>(0, 100);
    QPointer<TKorCustomModule> d = f.Add<TKorTestSource>(0, 150);
    a->SetSelected(true);
    c->SetSelected(true);
    d->SetSelected(true);

    f.Sheet->DeleteSelectedModules();

    EXPECT_TRUE(a.isNull());
    EXPECT_TRUE(c.isNull());
    EXPECT_TRUE(d.isNull());
    ASSERT_FALSE(b.isNull());
    ASSERT_EQ(f.Sheet->ModuleCount(), 1);
    EXPECT_EQ(f.Sheet->Modules(0), b.data());
}

TEST(SheetFree, FreeingAModuleBreaksAndReportsEachOfItsCables)
{
    TCableSheet f;
    auto *s2 = f.Add<TKorTestSource>(0, 300);
    TKorDrawSheet *sheet = f.Sheet.get();
    sheet->ToggleConnection(f.S->Out, f.T->In);
    sheet->ToggleConnection(s2->Out, f.T->In);
    sheet->ToggleConnection(f.T->Out, f.U->In);
    sheet->ToggleConnection(f.S->Out, f.U->In); // does not touch T
    ASSERT_EQ(sheet->CableCount(), 4);
    f.Host.Lost.clear();
    const TKorConnector *tIn = f.T->In, *tOut = f.T->Out;
    auto touchesT = [&](const TKorConnector *c) { return c == tIn || c == tOut; };

    sheet->FreeModule(IndexOf(sheet, f.T));

    ASSERT_EQ(f.Host.Lost.size(), 3u);
    for (const auto &[from, to] : f.Host.Lost)
        EXPECT_TRUE(touchesT(from) || touchesT(to));
    ASSERT_EQ(sheet->CableCount(), 1);
    EXPECT_EQ(sheet->CableFrom(0), f.S->Out);
    EXPECT_EQ(sheet->CableTo(0), f.U->In);
    EXPECT_EQ(f.S->Out->ConnectionCount(), 1);
    EXPECT_EQ(s2->Out->ConnectionCount(), 0);
    EXPECT_EQ(f.U->In->ConnectionCount(), 1);
    f.S->Next = 5;
    sheet->Execute(); // would touch the freed connectors if a cable were left
    EXPECT_EQ(f.U->In->Value(), 5);
}

// ---------------------------------------------------------------------------------------------
// Extent

TEST(SheetExtent, CoversTheModulesAndAtLeastTheClientArea)
{
    struct TCase {
        const char *Name;
        bool WithModule;
        QPoint At;
        QSize Expected;
    };
    const std::vector<TCase> cases = {
        {"NoModules", false, {}, {1000, 600}},
        {"ModuleInTheClientCorner", true, {750, 550}, {1000, 600}},
        {"ModulePastTheRightEdge", true, {1250, 0}, {1500, 600}},
        {"ModulePastTheBottom", true, {0, 600}, {1000, 650}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        if (c.WithModule)
            f.Add<TKorTestSource>(c.At.x(), c.At.y());
        f.Sheet->UpdateExtent();
        EXPECT_EQ(QSize(f.Sheet->Width(), f.Sheet->Height()), c.Expected);
        ASSERT_FALSE(f.Host.Extents.empty());
        EXPECT_EQ(f.Host.Extents.back(), c.Expected);
    }
}

TEST(SheetExtent, DroppingAModuleBeyondTheEdgeGrowsAndShrinksTheSheet)
{
    TSheetFixture f;
    auto *m = f.Add<TKorTestSource>(750, 0);
    f.Sheet->UpdateExtent();
    ASSERT_EQ(f.Sheet->Width(), 1000);

    Drag(f.Sheet.get(), {900, 30}, {1400, 30});
    ASSERT_EQ(m->Left(), 1250);
    EXPECT_EQ(f.Sheet->Width(), 1500);
    EXPECT_EQ(f.Sheet->Height(), 600);
    EXPECT_EQ(f.Host.Extents.back(), QSize(1500, 600));

    Drag(f.Sheet.get(), {1400, 30}, {150, 30});
    ASSERT_EQ(m->Left(), 0);
    EXPECT_EQ(QSize(f.Sheet->Width(), f.Sheet->Height()), QSize(1000, 600));
}

// ---------------------------------------------------------------------------------------------
// MIDI

// Records the order in which modules receive short MIDI input.
struct TLoggedMidi : TKorTestMidi {
    std::vector<TKorCustomModule *> *Log = nullptr;
    void ShortMidiIn(uint32_t Msg) override
    {
        TKorTestMidi::ShortMidiIn(Msg);
        if (Log)
            Log->push_back(this);
    }
};

TEST(SheetMidi, InputReachesEveryMidiModuleInListOrder)
{
    TSheetFixture f;
    std::vector<TKorCustomModule *> log;
    auto *a = f.Add<TLoggedMidi>(0, 0);
    f.Add<TKorTestSource>(0, 50);
    auto *b = f.Add<TLoggedMidi>(0, 100);
    a->Log = b->Log = &log;

    f.Sheet->MidiInShort(0x643C93);
    EXPECT_EQ(log, (std::vector<TKorCustomModule *>{a, b}));
    EXPECT_EQ(a->Received, std::vector<uint32_t>{0x643C93});
    EXPECT_EQ(b->Received, std::vector<uint32_t>{0x643C93});
    EXPECT_EQ(a->LastShortMidi(), 0x643C93u);

    ClickAt(f.Sheet.get(), a->LocalToSheet(BodySpot)); // brings a to the end of the list
    log.clear();
    f.Sheet->MidiInShort(0x004090);
    EXPECT_EQ(log, (std::vector<TKorCustomModule *>{b, a}));
}

TEST(SheetMidi, PendingMessageGoesToTheHostDuringExecute)
{
    TSheetFixture f;
    auto *quiet = f.Add<TKorTestMidi>(0, 0);
    auto *sender = f.Add<TKorTestMidi>(0, 50);
    sender->Pending = 0x7F3C90;
    (void)quiet;

    EXPECT_TRUE(f.Host.MidiShort.empty()) << "nothing is sent outside a tick";
    f.Sheet->Execute();
    f.Sheet->Execute();

    ASSERT_EQ(f.Host.MidiShort.size(), 1u);
    EXPECT_EQ(f.Host.MidiShort[0].first, sender);
    EXPECT_EQ(f.Host.MidiShort[0].second, 0x7F3C90u);
}

// ---------------------------------------------------------------------------------------------
// A module freed while it (or one of its details) owns the gesture

struct TFreedCase {
    const char *Name;
    QPoint At; // sheet coordinates; the freed source module lies at (0, 0)
};
const std::vector<TFreedCase> FreedCases = {
    {"ModuleDrag", {150, 30}},
    {"CableDrag", {227, 27}},
    {"TitleLabel", {5, 5}},
};

TEST(SheetFreedDuringGesture, GestureEndsQuietlyAndTheSheetTakesTheNextPress)
{
    for (const TFreedCase &c : FreedCases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *doomed = f.Add<TKorTestSource>(0, 0);
        auto *through = f.Add<TKorTestThrough>(0, 100);
        TKorDrawSheet *sheet = f.Sheet.get();

        sheet->MouseDown(TMouseButton::mbLeft, 0, c.At.x(), c.At.y());
        sheet->MouseMove(0, 17, 127); // over through's input
        ASSERT_NE(Dragged(), nullptr);
        sheet->FreeModule(IndexOf(sheet, doomed));
        EXPECT_EQ(Dragged(), nullptr);

        sheet->MouseMove(0, 20, 130);
        sheet->Click();
        sheet->MouseUp(TMouseButton::mbLeft, 0, 20, 130);

        EXPECT_EQ(sheet->CableCount(), 0);
        EXPECT_TRUE(f.Host.Made.empty());
        EXPECT_TRUE(f.Host.Clicks.empty());
        EXPECT_EQ(QPoint(through->Left(), through->Top()), QPoint(0, 100));
        sheet->MouseDown(TMouseButton::mbLeft, 0, EmptySheet.x(), EmptySheet.y());
        EXPECT_EQ(Dragged(), sheet) << "the next press starts a band";
        sheet->MouseUp(TMouseButton::mbLeft, 0, EmptySheet.x(), EmptySheet.y());
    }
}

// Freeing the module that owns the gesture must not leave its drag feedback (module outline or
// cable line) in the overlay: nothing else would ever erase it, a later identical shape would
// erase it instead of drawing, and it would be painted over the sheet after every repaint.
TEST(SheetFreedDuringGesture, FeedbackOfTheFreedObjectIsErased)
{
    for (const TFreedCase &c : FreedCases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *doomed = f.Add<TKorTestSource>(0, 0);
        f.Add<TKorTestThrough>(0, 100);
        TKorDrawSheet *sheet = f.Sheet.get();

        sheet->MouseDown(TMouseButton::mbLeft, 0, c.At.x(), c.At.y());
        sheet->MouseMove(0, 17, 127);
        sheet->FreeModule(IndexOf(sheet, doomed));
        sheet->MouseMove(0, 20, 130);
        sheet->Click();
        sheet->MouseUp(TMouseButton::mbLeft, 0, 20, 130);

        EXPECT_TRUE(sheet->Overlay().empty()) << sheet->Overlay().size() << " shape(s) left behind";
    }
}

} // namespace
