#include "Canvas.h"

#include <QPen>
#include <climits>

void UsePen(QPainter &p, TColor color)
{
    QPen pen(ToQColor(color));
    pen.setWidth(0); // cosmetic one-pixel pen
    pen.setCapStyle(Qt::FlatCap);
    p.setPen(pen);
    p.setRenderHint(QPainter::Antialiasing, false);
}

void UseBrush(QPainter &p, TColor color)
{
    p.setBrush(ToQColor(color));
}

void DrawRectangle(QPainter &p, const TRect &r)
{
    if (r.IsEmpty())
        return;
    p.drawRect(QRect(r.Left, r.Top, r.Width() - 1, r.Height() - 1));
}

void DrawEllipse(QPainter &p, const TRect &r)
{
    if (r.IsEmpty())
        return;
    p.drawEllipse(QRect(r.Left, r.Top, r.Width() - 1, r.Height() - 1));
}

void DrawLine(QPainter &p, QPoint from, QPoint to)
{
    p.drawLine(from, to);
}

TRect ClipBox(const QPainter &p)
{
    if (!p.hasClipping())
        return {INT_MIN / 2, INT_MIN / 2, INT_MAX / 2, INT_MAX / 2};
    return TRect::FromQRect(p.clipBoundingRect().toAlignedRect());
}
