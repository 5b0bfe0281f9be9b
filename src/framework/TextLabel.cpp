#include "TextLabel.h"

#include "Checked.h"

#include <QFontMetrics>
#include <QHash>
#include <QGuiApplication>
#include <algorithm>

namespace {
// Border widths of a label's frame around its text, in pixels.
constexpr int BorderX = 1, BorderY = 1;

} // namespace

QFont PanelFont(int pixelSize)
{
    // One font object per size, which every label and viewer copies: copies share its data,
    // so ten thousand panels do not hold ten thousand fonts.
    static QHash<int, QFont> fonts;
    const auto it = fonts.constFind(pixelSize);
    if (it != fonts.cend())
        return it.value();
    QFont f;
    // Liberation Sans and Arimo keep the widths of the first; the last is a plain fallback.
    f.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                   QStringLiteral("Helvetica"), QStringLiteral("sans-serif")});
    f.setPixelSize(pixelSize);
    f.setHintingPreference(QFont::PreferFullHinting);
    fonts.insert(pixelSize, f);
    return f;
}

namespace {
// Widths of texts in the label font: panels repeat the same few captions thousands of times
// in a large patch, and measuring one means shaping it.
int TextWidth(const QFont &font, const QString &text)
{
    static const QFont labelFont = PanelFont(LabelPixelSize);
    if (font != labelFont)
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
    FFont = PanelFont(LabelPixelSize);
    FBrushColor = ModuleColor;
}

void TKorTextLabel::SetText(const QString &s)
{
    if (s == FText)
        return;
    FText = s;
    if (FAutoSize)
        AdjustSize();
    else
        GrowToText();
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
    static const QFont labelFont = PanelFont(LabelPixelSize);
    static const int labelHeight = QFontMetrics(labelFont).height();
    const int height = FFont == labelFont ? labelHeight : QFontMetrics(FFont).height();
    SetBoundsRect({FLeft, FTop, Checked::Add(FLeft, TextWidth(FFont, FText) + 2 * BorderX),
                   Checked::Add(FTop, height + BorderY)});
}

void TKorTextLabel::FitToRow()
{
    auto *module = qobject_cast<TKorCustomDetail *>(Owner());
    if (!module)
        return;
    int32_t right = module->Width() - 1; // inside the module's border
    for (QObject *child : module->children()) {
        auto *d = qobject_cast<TKorCustomDetail *>(child);
        if (!d || d == this || d->Left() <= FLeft)
            continue;
        if (d->Top() < FTop + FHeight && d->Top() + d->Height() > FTop)
            right = std::min(right, d->Left() - 1);
    }
    FRowRight = right;
    FBaseWidth = FWidth;
    GrowToText();
}

void TKorTextLabel::GrowToText()
{
    if (FRowRight < 0 || !qGuiApp)
        return;
    const int32_t need = TextWidth(FFont, FText) + 2 * BorderX;
    SetWidth(std::max(FBaseWidth, std::min(need, FRowRight - FLeft)));
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
