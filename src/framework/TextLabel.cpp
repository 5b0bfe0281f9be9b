#include "TextLabel.h"

#include "Checked.h"

#include <QFontMetrics>
#include <QHash>
#include <QGuiApplication>

namespace {
// Border widths of a label's frame around its text, in pixels.
constexpr int BorderX = 1, BorderY = 1;

// One font object that every label shares (a copy shares its data).
const QFont &LabelFont()
{
    static const QFont font = [] {
        QFont f(QStringLiteral("Arial"));
        f.setPixelSize(13);
        return f;
    }();
    return font;
}

// Widths of texts in the label font: panels repeat the same few captions thousands of times
// in a large patch, and measuring one means shaping it.
int LabelTextWidth(const QFont &font, const QString &text)
{
    if (font != LabelFont())
        return QFontMetrics(font).horizontalAdvance(text);
    static QHash<QString, int> widths;
    const auto it = widths.constFind(text);
    if (it != widths.cend())
        return it.value();
    const int w = QFontMetrics(font).horizontalAdvance(text);
    if (widths.size() < 4096)
        widths.insert(text, w);
    return w;
}
} // namespace

void TKorTextLabel::Init()
{
    TKorNoMouse::Init();
    FWidth = 90;
    FHeight = 15;
    FFont = LabelFont();
    FBrushColor = ModuleColor;
}

void TKorTextLabel::SetText(const QString &s)
{
    if (s == FText)
        return;
    FText = s;
    if (FAutoSize)
        AdjustSize();
    RepaintInside();
}

void TKorTextLabel::SetAutoSize(bool v)
{
    if (v == FAutoSize)
        return;
    FAutoSize = v;
    if (v) {
        AdjustSize();
        Invalidate();
    }
}

void TKorTextLabel::SetTransparent(bool v)
{
    if (v == FTransparent)
        return;
    FTransparent = v;
    Invalidate();
}

void TKorTextLabel::SetFontColor(TColor c)
{
    if (c == FFontColor)
        return;
    FFontColor = c;
    RepaintInside();
}

void TKorTextLabel::RepaintInside()
{
    InvalidateRect({1, 1, FWidth - 1, FHeight - 1}, false);
}

void TKorTextLabel::AdjustSize()
{
    // Text can only be measured with a GUI application (font database); without one, as in
    // a bare engine, labels keep their size.
    if (!qGuiApp)
        return;
    static const int labelHeight = QFontMetrics(LabelFont()).height();
    const int height = FFont == LabelFont() ? labelHeight : QFontMetrics(FFont).height();
    SetBoundsRect({FLeft, FTop, Checked::Add(FLeft, LabelTextWidth(FFont, FText) + 2 * BorderX),
                   Checked::Add(FTop, height + BorderY)});
}

bool TKorTextLabel::HitTest(QPoint P) const
{
    return FAcceptsMouse && ClientRect().Contains(P);
}

void TKorTextLabel::Paint(QPainter &Canvas)
{
    UsePen(Canvas, FBrushColor);
    UseBrush(Canvas, FBrushColor);
    DrawRectangle(Canvas, ClientRect());
    Canvas.setFont(FFont);
    if (FAutoSize) {
        // Grows with its text while painting, without asking for another repaint.
        const QFontMetrics fm(FFont);
        FWidth = fm.horizontalAdvance(FText) + 6;
        FHeight = fm.height() + 2;
    }
    UsePen(Canvas, FFontColor);
    Canvas.drawText(QRect(0, 0, FWidth, FHeight), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, FText);
}

void TKorTextLabel::Assign(const TKorCustomDetail &Source)
{
    TKorNoMouse::Assign(Source);
    auto *label = qobject_cast<const TKorTextLabel *>(&Source);
    if (!label)
        return;
    FFont = label->FFont;
    FFontColor = label->FFontColor;
    SetAutoSize(label->FAutoSize);
    SetTransparent(label->FTransparent);
    SetText(label->FText);
}

void TKorTextLabel::RefreshColors()
{
    FBrushColor = ModuleColor;
    Invalidate();
}
