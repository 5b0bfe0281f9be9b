// The controls that modules build their panels from: knobs, push buttons, lamps, value
// viewers and the graph sheet. Each paints itself and reports its damage up to the sheet.
#pragma once

#include "Details.h"

#include <QFont>
#include <QImage>
#include <QPointer>
#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>

class QTimer;
class TKorViewer;

// Draws connected axis-aligned (or diagonal) segments leaving out the last pixel of each,
// so that bevels and corner marks meet the way the sheet's pixel rules expect.
void DrawOpenPolyline(QPainter &Canvas, std::initializer_list<QPoint> Points);

// A round knob that sets a number in [Min, Max]: turned by dragging its pointer around the
// centre, stepped by one with the squares in its lower corners (held: auto-repeat).
// Owned by its module; owns its repeat timer. Mouse handling and painting run on the user-interface thread;
// SetPosition may also come from the tick thread: it only stores, marks areas for
// repainting and calls OnChange (and the viewer's SetText) on the calling thread.
class TKorKnob : public TKorCustomDetail {
    Q_OBJECT
public:
    using TChangeEvent = std::function<void(TKorKnob *Sender, int32_t aValue)>;
    enum TMouseMode : uint8_t { mmIdle = 0, mmTurning = 1, mmStepUp = 2, mmStepDown = 3 };

    Q_INVOKABLE TKorKnob();
    ~TKorKnob() override;
    void Init() override;

    int32_t Position() const { return FPosition.load(std::memory_order_relaxed); }
    int32_t Min() const { return FMin; }
    int32_t Max() const { return FMax; }
    int32_t Step() const { return FStep; }
    TKorViewer *Viewer() const { return FViewer.data(); }
    const TChangeEvent &OnChange() const { return FOnChange; }
    uint8_t MouseMode() const { return FMouseMode; }
    int32_t RepeatCount() const { return FRepeatCount; }
    // Interval of the repeat timer in ms; 0 before the first stepping press made it.
    int RepeatInterval() const;
    bool Repeating() const;
    // Where the pointer line was last computed to lie (own coordinates).
    TRect PointerArea() const { return FPointerArea; }
    QPoint Centre() const { return {FWidth / 2, FHeight / 2}; }

    // Clamps v into [Min, Max]; nothing happens when that is the current position.
    void SetPosition(int32_t v);
    void SetMin(int32_t v);
    void SetMax(int32_t v);
    void SetStep(int32_t v) { FStep = v; }
    void SetViewer(TKorViewer *viewer);
    // Runs the handler once with the current position when it is set.
    void SetOnChange(TChangeEvent handler);

    // Turns by `steps` times the step (a step of 0 counts as 1), clamped into the range.
    void TurnBy(int32_t steps);
    bool ControlRange(TControlRange &range) const override;

    // One tick of the stepping auto-repeat (what the repeat timer calls, under the patch lock).
    void RepeatTick();

    // Pointer direction in degrees: Min at 225, Max at -45, 0 when Min = Max.
    static int32_t Angle(int32_t Min, int32_t p, int32_t Max);
    // The point at distance r from c in direction a (degrees, counter-clockwise, y down).
    static QPoint Polar(QPoint c, double a, double r);
    // The value a pointer displaced by d from the centre stands for; straight down is the
    // border between Min (just left of it) and Max (just right of it).
    static int32_t AngleToValue(int32_t Min, int32_t Max, QPoint d);

    void MouseDown(QObject *Sender, TMouseButton Button, TShiftState Shift, int X, int Y) override;
    void MouseMove(QObject *Sender, TShiftState Shift, int X, int Y) override;
    void MouseUp(QObject *Sender, TMouseButton Button, TShiftState Shift, int X, int Y) override;
    void BeginDrag(QPoint Grab) override;
    void DragMove(QPoint Offset) override;
    void EndDrag(QPoint Offset) override;
    void Paint(QPainter &Canvas) override;
    void Assign(const TKorCustomDetail &Source) override;
    void RefreshColors() override;

protected:
    // Sizes the knob (creation only) and places the pointer area for that size.
    void SetKnobSize(int32_t size);

private:
    TRect ComputePointerArea(int32_t position) const;
    // After a range, viewer or handler change: viewer, OnChange, pointer area, refresh.
    void AnnounceChange();
    void StepBy(int32_t delta);

    std::atomic<int32_t> FPosition{0};
    int32_t FMin = 0, FMax = 1000, FStep = 0;
    QPointer<TKorViewer> FViewer;
    TChangeEvent FOnChange;
    uint8_t FMouseMode = mmIdle;
    std::unique_ptr<QTimer> FRepeatTimer; // not a child: only components are children
    int32_t FRepeatCount = 0;
    TRect FPointerArea;
    // While turning: the pointer has not yet left the press point or the point it was put on,
    // so the value stays as it was (a plain click changes nothing).
    bool FTurnStill = false;
    QPoint FTurnPress, FTurnWarp; // both as offsets from the centre
};

// The knob at 20 x 20; pointer and corner squares keep their pixel sizes.
class TKorKnobMedium : public TKorKnob {
    Q_OBJECT
public:
    Q_INVOKABLE TKorKnobMedium() = default;
    void Init() override;
};

// The knob at 16 x 16.
class TKorKnobSmall : public TKorKnob {
    Q_OBJECT
public:
    Q_INVOKABLE TKorKnobSmall() = default;
    void Init() override;
};

// A bevelled button with an image, either a toggle or (GroupIndex > 0) one of a set of
// radio buttons among its siblings. A press can be cancelled by releasing off the button.
// Owned by its module; owns its image. User-interface thread only.
class TKorPushButton : public TKorCustomDetail {
    Q_OBJECT
public:
    using TChangeEvent = std::function<void(TKorPushButton *Sender, bool aDown)>;
    using TClickEvent = std::function<void(TKorPushButton *Sender)>;

    Q_INVOKABLE TKorPushButton() = default;
    void Init() override;

    bool Down() const { return FDown; }
    int32_t GroupIndex() const { return FGroupIndex; }
    bool AllowAllUp() const { return FAllowAllUp; }
    const QImage &Glyph() const { return FGlyph; }
    const TChangeEvent &OnChange() const { return FOnChange; }
    const TClickEvent &OnClick() const { return FOnClick; }

    // Refused (silently) when it would release the pressed member of a group that does
    // not allow all buttons up; pressing a grouped button releases the others.
    void SetDown(bool v);
    bool ControlRange(TControlRange &range) const override;
    void SetGroupIndex(int32_t v);
    void SetAllowAllUp(bool v);
    // Runs the handler once with the current state, unless the button is being pressed.
    void SetOnChange(TChangeEvent handler);
    void SetOnClick(TClickEvent handler) { FOnClick = std::move(handler); }
    // Copies the image; the colour of its bottom-left pixel is drawn transparent.
    void SetGlyph(const QImage &image);
    // Loads the image from the application directory; a file that cannot be read leaves
    // the button without an image.
    void LoadGlyph(const QString &fileName);

    void BeginDrag(QPoint Grab) override;
    void DragMove(QPoint Offset) override;
    void EndDrag(QPoint Offset) override;
    void Paint(QPainter &Canvas) override;
    void Assign(const TKorCustomDetail &Source) override;
    void RefreshColors() override;

private:
    void ReleaseOthersInGroup();

    bool FDown = false;
    bool FSavedDown = false; // the state when the current press began
    QImage FGlyph;           // as given
    QImage FGlyphShown;      // with its transparent colour applied
    TChangeEvent FOnChange;
    TClickEvent FOnClick;
    int32_t FGroupIndex = 0;
    bool FAllowAllUp = false;
};

// A lamp: a small rectangle in its on or off colour. Ignores the mouse. Owned by its module,
// owns nothing. SetOn may come from the tick thread (it only stores and marks the lamp for
// repainting); the rest is user-interface thread.
class TKorLed : public TKorNoMouse {
    Q_OBJECT
public:
    Q_INVOKABLE TKorLed() = default;
    void Init() override;

    bool On() const { return FOn.load(std::memory_order_relaxed); }
    TColor OnColor() const { return FOnColor; }
    TColor OffColor() const { return FOffColor; }
    void SetOn(bool v);
    void SetOnColor(TColor c);
    void SetOffColor(TColor c);

    void Paint(QPainter &Canvas) override;
    void Assign(const TKorCustomDetail &Source) override;
    void RefreshColors() override;

private:
    std::atomic<bool> FOn{false};
    TColor FOnColor = 0xFFFFFF;
    TColor FOffColor = 0x400040;
};

// A framed line of text, mostly a knob's value. Owned by its module; owns its font. SetText may come from the
// tick thread: the text is guarded by a mutex, and the immediate paint it asks for is
// deferred by the sheet to the user-interface thread. The rest is user-interface thread.
class TKorViewer : public TKorCustomDetail {
    Q_OBJECT
public:
    Q_INVOKABLE TKorViewer() = default;
    void Init() override;

    QString Text() const;
    TColor BorderColor() const { return FPenColor; }
    TColor TextColor() const { return FTextColor; }
    const QFont &Font() const { return FFont; }
    void SetText(const QString &s);
    void SetBorderColor(TColor c);
    void SetTextColor(TColor c);

    void Paint(QPainter &Canvas) override;
    void Assign(const TKorCustomDetail &Source) override;
    void RefreshColors() override;

private:
    mutable std::mutex FTextMutex;
    QString FText;
    QFont FFont;
    TColor FTextColor = 0xFFFFFF;
};

// A plot of Count points (X from 0 to 1000 across, Y from 1000 at the top to -1000 at the
// bottom, both scaled per mille) over an 8 x 8 grid. Ignores the mouse. Owned by its module;
// owns its points.
// SetPoint, SetX and SetY may come from the tick thread (single coordinates are atomic, so
// painting never reads a torn value; they allocate nothing); SetCount, the scales and the
// colour are user-interface thread.
class TKorGraphSheet : public TKorNoMouse {
    Q_OBJECT
public:
    static constexpr int32_t MaxCount = 8192;

    Q_INVOKABLE TKorGraphSheet() = default;
    void Init() override;

    int32_t Count() const { return FCount; }
    int32_t XScale() const { return FXScale; }
    int32_t YScale() const { return FYScale; }
    TColor PointColor() const { return FPointColor; }

    // Every index outside [0, Count - 1] raises EBounds.
    QPoint GetPoint(int32_t i) const;
    // Repaints only the pixels of the old and the new place.
    void SetPoint(int32_t i, QPoint p);
    void SetX(int32_t i, int32_t x);
    void SetY(int32_t i, int32_t y);
    // Keeps the first min(old, n) points, the others start at (0, 0); no repaint.
    // More than MaxCount points raise EBounds.
    void SetCount(int32_t n);
    void SetXScale(int32_t v);
    void SetYScale(int32_t v);
    void SetPointColor(TColor c);
    // The pixel column and row of point i.
    int32_t ScaleX(int32_t i) const;
    int32_t ScaleY(int32_t i) const;

    void Paint(QPainter &Canvas) override;
    void Assign(const TKorCustomDetail &Source) override;
    void RefreshColors() override;
    // After the detail's line, at depth 1 or more: "Data", one line per point, "End data".
    void Dump(QTextStream &File, int Level, int Depth) const override;

private:
    struct TPointCell {
        std::atomic<int32_t> X{0}, Y{0};
    };
    void CheckIndex(int32_t i) const;
    // Unrounded pixel column and row of a coordinate.
    double Column(int32_t x) const;
    double Row(int32_t y) const;
    // The 1 x 1 area a point occupies, kept within one pixel of the graph.
    TRect PixelArea(QPoint p) const;

    std::unique_ptr<TPointCell[]> FPoints;
    int32_t FCount = 0;
    int32_t FXScale = 1000, FYScale = 1000;
    TColor FPointColor = 0xFFFFFF;
};
