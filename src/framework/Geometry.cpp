#include "Geometry.h"

#include "Checked.h"

TRect TRect::Translated(QPoint d) const
{
    return {Checked::Add(Left, d.x()), Checked::Add(Top, d.y()), Checked::Add(Right, d.x()),
            Checked::Add(Bottom, d.y())};
}

QPoint AddPoints(QPoint a, QPoint b)
{
    return {Checked::Add(a.x(), b.x()), Checked::Add(a.y(), b.y())};
}

QPoint SubPoints(QPoint a, QPoint b)
{
    return {Checked::Sub(a.x(), b.x()), Checked::Sub(a.y(), b.y())};
}

static int32_t SnapAxis(int32_t p, int32_t g)
{
    if (g == 0)
        return p;
    return Checked::Mul(Checked::Div(Checked::Add(p, g / 2), g), g);
}

QPoint SnapToGrid(QPoint p, QPoint grid)
{
    return {SnapAxis(p.x(), grid.x()), SnapAxis(p.y(), grid.y())};
}
