// Details: everything drawn on a patch sheet (modules and their panel parts) has its own
// geometry, hit test, painting and drag gesture, and reports damage and clicks upward.
#pragma once

#include "Canvas.h"
#include "Component.h"
#include "DetailHeap.h"
#include "Geometry.h"

#include <QPointer>
#include <QTextStream>

class TKorCustomModule;
class TKorDrawSheet;

enum class TMouseButton { mbLeft, mbRight, mbMiddle };
enum TShiftFlag : unsigned { ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32, ssDouble = 64 };
using TShiftState = unsigned;

// The one mouse gesture in progress, shared by the sheet and every detail.
// User-interface thread only. References are QPointers: a deleted object reads as none.
struct TDragState {
    QPointer<TComponent> DragObject;  // owner of the press-drag-release gesture; none between gestures
    QPointer<TComponent> ClickObject; // last object pressed with the left button; kept after release
    QPoint DragGrab;                  // gesture start, in the owner's own coordinates
    QPoint DragOffset;                // current displacement from DragGrab
    bool Creating = false;            // true only while the editor creates modules
};
extern TDragState DragState;

// One line of the debug dump: a blank, Level * 2 blanks (at most 128), then the text.
void DumpLine(QTextStream &File, int Level, const QString &text);

// What a control that can be driven from outside (a MIDI controller, OSC) takes: a knob its
// range and step, a button 0 (up) and 1 (down).
struct TControlRange {
    int32_t Min = 0, Max = 1, Step = 1;
    bool Button = false;
};

// Base of everything on a sheet. Left and Top are relative to the owner (a module's to the
// sheet, a panel detail's to its module); (0, 0) of its own coordinates is its top-left
// corner. Owned by its module (or, for modules, the sheet). User-interface thread only.
class TKorCustomDetail : public TComponent {
    Q_OBJECT
    Q_PROPERTY(int Left READ Left WRITE SetLeft)
    Q_PROPERTY(int Top READ Top WRITE SetTop)
public:
    Q_INVOKABLE TKorCustomDetail() = default;
    void Init() override;

    // Modules and details live in DetailHeap, packed by size in creation order.
    static void *operator new(std::size_t size) { return DetailHeap::Allocate(size); }
    static void operator delete(void *p, std::size_t size) noexcept { DetailHeap::Release(p, size); }
    // Construction in place (the meta-type system's) stays as usual.
    static void *operator new(std::size_t, void *where) noexcept { return where; }
    static void operator delete(void *, void *) noexcept {}

    int32_t Left() const { return FLeft; }
    int32_t Top() const { return FTop; }
    int32_t Width() const { return FWidth; }
    int32_t Height() const { return FHeight; }
    void SetLeft(int32_t v);
    void SetTop(int32_t v);
    void SetWidth(int32_t v);
    void SetHeight(int32_t v);
    QPoint Grid() const { return FGrid; }
    void SetGrid(QPoint g) { FGrid = g; }
    TRect BoundsRect() const;
    TRect ClientRect() const { return {0, 0, FWidth, FHeight}; }

    TColor PenColor() const { return FPenColor; }
    void SetPenColor(TColor c) { FPenColor = c; }
    TColor Color() const { return FBrushColor; }
    void SetColor(TColor c); // brush colour, then Invalidate

    virtual void MouseDown(QObject *Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseUp(QObject *Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseMove(QObject *Sender, TShiftState Shift, int X, int Y);
    // Reports a damaged rectangle R (own coordinates) up to the sheet.
    virtual void InvalidateRect(const TRect &R, bool Erase);
    // Invalidate, then have the sheet paint at once.
    virtual void Refresh();
    // Moves and resizes, snapping the top-left corner to Grid; repaints old and new places.
    virtual void SetBoundsRect(const TRect &R);
    virtual void BeginDrag(QPoint Grab);
    virtual void EndDrag(QPoint Offset);
    virtual void DragMove(QPoint Offset);
    virtual void Invalidate();
    // Paints in own coordinates; the caller has translated and clipped the painter.
    virtual void Paint(QPainter &Canvas);
    virtual bool HitTest(QPoint P) const;
    virtual QPoint LocalToScreen(QPoint P) const;
    virtual QPoint ScreenToLocal(QPoint P) const;
    // Class name without its first four characters plus the first free number among the
    // owner's children ("Sine0", "TextLabel3"); empty without owner or when all are taken.
    virtual QString GetUniqueName() const;
    virtual void Dump(QTextStream &File, int Level, int Depth) const;
    virtual void RefreshColors();
    // Copies position, pen and brush; subclasses add their own settings.
    virtual void Assign(const TKorCustomDetail &Source);
    // Panels are rebuilt by CreateDetails; their settings travel in the module's properties.
    QList<TComponent *> StreamedChildren() const override { return {}; }
    bool AcceptsStreamedChild(const TComponentClass &) const override { return false; }

    // The published property of the module this control stands for ("KnobAmpValue"), named by
    // the panel that built it; null for details that are no such control. A string literal.
    const char *Property() const { return FProperty; }
    void SetProperty(const char *name) { FProperty = name; }
    // The values the control takes, for the controls that have a Property(); false otherwise.
    virtual bool ControlRange(TControlRange &) const { return false; }

    // The draw sheet at the top of the owner chain, or null.
    TKorDrawSheet *Sheet() const;
    // Converts a point in sheet coordinates into this detail's own coordinates.
    QPoint SheetToLocal(QPoint P) const;
    QPoint LocalToSheet(QPoint P) const;

protected:
    int32_t FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
    QPoint FGrid{1, 1};
    TColor FPenColor = 0;
    TColor FBrushColor = 0xFF0000;
    const char *FProperty = nullptr;
};

// A detail that never takes the mouse: presses fall through to the module body.
class TKorNoMouse : public TKorCustomDetail {
    Q_OBJECT
public:
    Q_INVOKABLE TKorNoMouse() = default;
    bool HitTest(QPoint P) const override;
};
