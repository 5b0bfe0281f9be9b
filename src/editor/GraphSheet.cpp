#include "PanelControls.h"

#include "Checked.h"
#include "Errors.h"
#include "Random.h"

#include <algorithm>

namespace {
constexpr TColor GridColor = 0x808080, DefaultPointColor = 0xFFFFFF;
constexpr int GridCells = 8;

[[noreturn]] void RaiseOutOfBounds(const char *what, int32_t value, int32_t hi)
{
    throw EBounds(QString::asprintf("GraphSheet::%s %d out of bounds [%d,%d]", what, value, 0, hi));
}
} // namespace

void TKorGraphSheet::Init()
{
    TKorNoMouse::Init();
    SetCount(128);
    FXScale = 1000;
    FYScale = 1000;
    FPenColor = GridColor;
    FBrushColor = ScopeColor;
    FPointColor = DefaultPointColor;
    // A fresh graph shows a cloud rather than a blank: the random settings fix its seed.
    for (int32_t i = 0; i < FCount; ++i) {
        SetX(i, Random(1001));
        SetY(i, Random(1001));
    }
}

void TKorGraphSheet::CheckIndex(int32_t i) const
{
    if (i < 0 || i >= FCount)
        RaiseOutOfBounds("Index", i, FCount - 1);
}

QPoint TKorGraphSheet::GetPoint(int32_t i) const
{
    CheckIndex(i);
    return {FPoints[i].X.load(std::memory_order_relaxed), FPoints[i].Y.load(std::memory_order_relaxed)};
}

void TKorGraphSheet::SetPoint(int32_t i, QPoint p)
{
    const QPoint old = GetPoint(i);
    if (old == p)
        return;
    const TRect oldPixel = PixelArea(old);
    FPoints[i].X.store(p.x(), std::memory_order_relaxed);
    FPoints[i].Y.store(p.y(), std::memory_order_relaxed);
    InvalidateRect(oldPixel, false);
    InvalidateRect(PixelArea(p), false);
}

void TKorGraphSheet::SetX(int32_t i, int32_t x)
{
    CheckIndex(i);
    FPoints[i].X.store(x, std::memory_order_relaxed);
}

void TKorGraphSheet::SetY(int32_t i, int32_t y)
{
    CheckIndex(i);
    FPoints[i].Y.store(y, std::memory_order_relaxed);
}

void TKorGraphSheet::SetCount(int32_t n)
{
    if (n > MaxCount)
        RaiseOutOfBounds("Count", n, MaxCount);
    std::unique_ptr<TPointCell[]> points;
    if (n > 0) {
        points = std::make_unique<TPointCell[]>(size_t(n));
        for (int32_t i = 0; i < std::min(FCount, n); ++i) {
            points[i].X.store(FPoints[i].X.load(std::memory_order_relaxed), std::memory_order_relaxed);
            points[i].Y.store(FPoints[i].Y.load(std::memory_order_relaxed), std::memory_order_relaxed);
        }
    }
    FPoints = std::move(points);
    FCount = n;
}

void TKorGraphSheet::SetXScale(int32_t v)
{
    if (v == FXScale)
        return;
    FXScale = v;
    Invalidate();
}

void TKorGraphSheet::SetYScale(int32_t v)
{
    if (v == FYScale)
        return;
    FYScale = v;
    Invalidate();
}

void TKorGraphSheet::SetPointColor(TColor c)
{
    if (c == FPointColor)
        return;
    FPointColor = c;
    Invalidate();
}

double TKorGraphSheet::Column(int32_t x) const
{
    return x / 1000.0 * (FXScale / 1000.0) * (FWidth - 2) + 1;
}

double TKorGraphSheet::Row(int32_t y) const
{
    return 1 - (double(y) - 1000) / 2000.0 * (FYScale / 1000.0) * (FHeight - 2);
}

TRect TKorGraphSheet::PixelArea(QPoint p) const
{
    // A point far off the graph marks an edge pixel instead: nothing of it is visible, and
    // the tick thread must not fail on a wild value.
    const int32_t x = Round(std::clamp(Column(p.x()), -1.0, double(FWidth)));
    const int32_t y = Round(std::clamp(Row(p.y()), -1.0, double(FHeight)));
    return {x, y, x + 1, y + 1};
}

int32_t TKorGraphSheet::ScaleX(int32_t i) const
{
    return Round(Column(GetPoint(i).x()));
}

int32_t TKorGraphSheet::ScaleY(int32_t i) const
{
    return Round(Row(GetPoint(i).y()));
}

void TKorGraphSheet::Paint(QPainter &Canvas)
{
    UsePen(Canvas, FPenColor);
    UseBrush(Canvas, FBrushColor);
    DrawRectangle(Canvas, ClientRect());
    for (int i = 1; i < GridCells; ++i) {
        const int x = i * FWidth / GridCells;
        DrawLine(Canvas, {x, 0}, {x, FHeight});
    }
    for (int i = 1; i < GridCells; ++i) {
        const int y = i * FHeight / GridCells;
        DrawLine(Canvas, {0, y}, {FWidth, y});
    }
    UsePen(Canvas, FPointColor);
    for (int32_t i = 0; i < FCount; ++i) {
        const QPoint p = GetPoint(i);
        const double x = Column(p.x()), y = Row(p.y());
        if (x > -1 && x < FWidth + 1 && y > -1 && y < FHeight + 1)
            Canvas.drawPoint(Round(x), Round(y));
    }
}

void TKorGraphSheet::Assign(const TKorCustomDetail &Source)
{
    TKorNoMouse::Assign(Source);
    auto *graph = qobject_cast<const TKorGraphSheet *>(&Source);
    if (!graph)
        return;
    SetCount(graph->FCount);
    SetXScale(graph->FXScale);
    SetYScale(graph->FYScale);
    SetPointColor(graph->FPointColor);
}

void TKorGraphSheet::RefreshColors()
{
    FBrushColor = ScopeColor;
    FPenColor = GridColor;
    Invalidate();
}

void TKorGraphSheet::Dump(QTextStream &File, int Level, int Depth) const
{
    TKorNoMouse::Dump(File, Level, Depth);
    if (Depth < 1)
        return;
    DumpLine(File, Level, QStringLiteral("Data"));
    for (int32_t i = 0; i < FCount; ++i) {
        const QPoint p = GetPoint(i);
        DumpLine(File, Level + 1,
                 QString::asprintf("( %.5d, %.5d) ( %.5d, %.5d)", p.x(), p.y(), ScaleX(i), ScaleY(i)));
    }
    DumpLine(File, Level, QStringLiteral("End data"));
}
