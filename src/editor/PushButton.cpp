#include "PanelControls.h"

#include "AppPaths.h"

namespace {
constexpr TColor BevelLight = 0xFFFFFF, BevelShadow = 0x808080;

// The image as drawn: every pixel in the colour of its bottom-left pixel becomes transparent.
QImage WithAutomaticTransparency(const QImage &image)
{
    if (image.isNull())
        return {};
    QImage shown = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb transparent = shown.pixel(0, shown.height() - 1) & RGB_MASK;
    for (int y = 0; y < shown.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(shown.scanLine(y));
        for (int x = 0; x < shown.width(); ++x)
            if ((line[x] & RGB_MASK) == transparent)
                line[x] = 0;
    }
    return shown;
}
} // namespace

void TKorPushButton::Init()
{
    TKorCustomDetail::Init();
    FPenColor = ModuleColor;
    FBrushColor = ModuleColor;
}

void TKorPushButton::SetDown(bool v)
{
    if (!v && FGroupIndex >= 1 && !FAllowAllUp)
        return;
    if (v == FDown)
        return;
    FDown = v;
    if (v && FGroupIndex > 0)
        ReleaseOthersInGroup();
    if (FOnChange)
        FOnChange(this, FDown);
    Invalidate();
}

void TKorPushButton::ReleaseOthersInGroup()
{
    // Directly, not through SetDown, which would refuse to release a radio button.
    if (!Owner())
        return;
    for (QObject *child : Owner()->children()) {
        auto *other = qobject_cast<TKorPushButton *>(child);
        if (!other || other == this || other->FGroupIndex != FGroupIndex || !other->FDown)
            continue;
        other->FDown = false;
        if (other->FOnChange)
            other->FOnChange(other, false);
        other->Invalidate();
    }
}

void TKorPushButton::SetGroupIndex(int32_t v)
{
    if (v == FGroupIndex)
        return;
    FGroupIndex = v;
    if (v <= 0)
        return;
    if (FDown)
        ReleaseOthersInGroup();
    else if (!FAllowAllUp)
        SetDown(true);
}

void TKorPushButton::SetAllowAllUp(bool v)
{
    if (v == FAllowAllUp)
        return;
    FAllowAllUp = v;
    if (FGroupIndex > 0 && !FAllowAllUp && !FDown)
        SetDown(true);
}

void TKorPushButton::SetOnChange(TChangeEvent handler)
{
    FOnChange = std::move(handler);
    if (FOnChange && DragState.DragObject != this)
        FOnChange(this, FDown);
}

void TKorPushButton::SetGlyph(const QImage &image)
{
    FGlyph = image.copy();
    FGlyphShown = WithAutomaticTransparency(FGlyph);
    Invalidate();
}

void TKorPushButton::LoadGlyph(const QString &fileName)
{
    QImage image; // stays null when the file cannot be read
    image.load(ApplicationDirectory() + fileName);
    SetGlyph(image);
}

// The press uses the base gesture; with the grab at (0, 0) every offset is the pointer's
// place in the button, so the button can tell whether the pointer is still on it.
void TKorPushButton::BeginDrag(QPoint)
{
    DragState.DragGrab = {0, 0};
    FSavedDown = FDown;
    SetDown(!FDown);
    Refresh();
}

void TKorPushButton::DragMove(QPoint Offset)
{
    const bool before = FDown;
    SetDown(HitTest(Offset) ? !FSavedDown : FSavedDown);
    if (FDown != before)
        Refresh();
}

void TKorPushButton::EndDrag(QPoint Offset)
{
    if (HitTest(Offset)) {
        SetDown(!FSavedDown);
        if (FOnClick)
            FOnClick(this);
    } else {
        SetDown(FSavedDown);
    }
    Refresh();
}

void TKorPushButton::Paint(QPainter &Canvas)
{
    UsePen(Canvas, FPenColor);
    UseBrush(Canvas, FBrushColor);
    DrawRectangle(Canvas, ClientRect());

    const TRect r1{1, 1, FWidth - 2, FHeight - 2};
    UsePen(Canvas, FDown ? BevelShadow : BevelLight);
    DrawOpenPolyline(Canvas, {{r1.Left, r1.Bottom}, {r1.Left, r1.Top}, {r1.Right, r1.Top}});
    UsePen(Canvas, FDown ? BevelLight : BevelShadow);
    DrawOpenPolyline(Canvas, {{r1.Left, r1.Bottom}, {r1.Right, r1.Bottom}, {r1.Right, r1.Top}});

    if (FGlyphShown.isNull())
        return;
    // Pressed, the image moves one pixel down and right and may show one pixel more.
    const int at = FDown ? 3 : 2;
    const int shrink = FDown ? 5 : 6;
    const QRect source = QRect(0, 0, FWidth - shrink, FHeight - shrink).intersected(FGlyphShown.rect());
    if (!source.isEmpty())
        Canvas.drawImage(QPoint(at, at), FGlyphShown, source);
}

void TKorPushButton::Assign(const TKorCustomDetail &Source)
{
    TKorCustomDetail::Assign(Source);
    auto *button = qobject_cast<const TKorPushButton *>(&Source);
    if (!button)
        return;
    SetDown(button->FDown);
    SetGlyph(button->FGlyph);
}

void TKorPushButton::RefreshColors()
{
    FPenColor = ModuleColor;
    FBrushColor = ModuleColor;
    Invalidate();
}

bool TKorPushButton::ControlRange(TControlRange &range) const
{
    if (!Property())
        return false;
    range = {0, 1, 1, true};
    return true;
}
