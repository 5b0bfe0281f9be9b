#include "PanelControls.h"

#include "CustomModule.h"
#include "TextLabel.h"
#include "DrawSheet.h"

namespace {
constexpr TColor ViewerTextColor = 0xFFFFFF, ViewerBorderColor = 0xFFFFFF;

} // namespace

// ---- TKorLed ----

void TKorLed::Init()
{
    TKorNoMouse::Init();
    FWidth = 9;
    FHeight = 4;
    FOnColor = LedColorOn;
    FOffColor = LedColorOff;
}

void TKorLed::SetOn(bool v)
{
    if (FOn.exchange(v, std::memory_order_relaxed) != v)
        Invalidate();
}

void TKorLed::SetOnColor(TColor c)
{
    if (c == FOnColor)
        return;
    FOnColor = c;
    if (On())
        Invalidate();
}

void TKorLed::SetOffColor(TColor c)
{
    if (c == FOffColor)
        return;
    FOffColor = c;
    if (!On())
        Invalidate();
}

void TKorLed::Paint(QPainter &Canvas)
{
    FBrushColor = On() ? FOnColor : FOffColor;
    UsePen(Canvas, FPenColor);
    UseBrush(Canvas, FBrushColor);
    DrawRectangle(Canvas, ClientRect());
}

void TKorLed::Assign(const TKorCustomDetail &Source)
{
    TKorNoMouse::Assign(Source);
    auto *led = qobject_cast<const TKorLed *>(&Source);
    if (!led)
        return;
    FOnColor = led->FOnColor;
    FOffColor = led->FOffColor;
    Invalidate();
}

void TKorLed::RefreshColors()
{
    FOnColor = LedColorOn;
    FOffColor = LedColorOff;
    Invalidate();
}

// ---- TKorViewer ----

void TKorViewer::Init()
{
    TKorCustomDetail::Init();
    FWidth = 35;
    FHeight = 15;
    FFont = PanelFont(ViewerPixelSize);
    FTextColor = ViewerTextColor;
    FPenColor = ViewerBorderColor;
    FBrushColor = ViewerColor;
}

QString TKorViewer::Text() const
{
    std::lock_guard lock(FTextMutex);
    return FText;
}

void TKorViewer::SetText(const QString &s)
{
    {
        std::lock_guard lock(FTextMutex);
        if (s == FText)
            return;
        FText = s;
    }
    // Only the inside changes; the frame stays.
    InvalidateRect(ClientRect().Inflated(-2), true);
    // Values should show while the user watches them change, not at the next idle moment.
    if (qobject_cast<TKorCustomModule *>(Owner()))
        if (TKorDrawSheet *sheet = Sheet())
            sheet->Update();
}

void TKorViewer::SetBorderColor(TColor c)
{
    if (c == FPenColor)
        return;
    FPenColor = c;
    Invalidate();
}

void TKorViewer::SetTextColor(TColor c)
{
    if (c == FTextColor)
        return;
    FTextColor = c;
    InvalidateRect(ClientRect().Inflated(-1), false);
}

void TKorViewer::Paint(QPainter &Canvas)
{
    UsePen(Canvas, FPenColor);
    UseBrush(Canvas, FBrushColor);
    DrawRectangle(Canvas, ClientRect());
    Canvas.setFont(FFont);
    UsePen(Canvas, FTextColor);
    Canvas.drawText(QRect(4, 1, FWidth - 4, FHeight - 1), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, Text());
}

void TKorViewer::Assign(const TKorCustomDetail &Source)
{
    TKorCustomDetail::Assign(Source);
    auto *viewer = qobject_cast<const TKorViewer *>(&Source);
    if (!viewer)
        return;
    SetText(viewer->Text());
    SetBorderColor(viewer->BorderColor());
    SetTextColor(viewer->TextColor());
}

void TKorViewer::RefreshColors()
{
    FBrushColor = ViewerColor;
    FPenColor = ViewerBorderColor;
    FTextColor = ViewerTextColor;
    Invalidate();
}
