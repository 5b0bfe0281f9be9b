// Pixel geometry of the patch sheet: rectangles with exclusive right and bottom edges,
// and snapping of positions to the module rack grid. All arithmetic is overflow-checked.
#pragma once

#include <QPoint>
#include <QRect>
#include <algorithm>
#include <cstdint>

// A rectangle as the sheet uses it: Right and Bottom are excluded, so Width = Right - Left.
struct TRect {
    int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;

    int32_t Width() const { return Right - Left; }
    int32_t Height() const { return Bottom - Top; }
    QPoint TopLeft() const { return {Left, Top}; }
    bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    bool Contains(QPoint p) const { return p.x() >= Left && p.x() < Right && p.y() >= Top && p.y() < Bottom; }
    bool Intersects(const TRect &o) const
    {
        // An empty rectangle meets nothing, so a click without movement selects nothing.
        return !IsEmpty() && !o.IsEmpty() && Left < o.Right && o.Left < Right && Top < o.Bottom && o.Top < Bottom;
    }
    TRect Translated(QPoint d) const; // checked
    TRect United(const TRect &o) const
    {
        if (IsEmpty()) return o;
        if (o.IsEmpty()) return *this;
        return {std::min(Left, o.Left), std::min(Top, o.Top), std::max(Right, o.Right), std::max(Bottom, o.Bottom)};
    }
    TRect Inflated(int32_t d) const { return {Left - d, Top - d, Right + d, Bottom + d}; }
    TRect Normalized() const
    {
        return {std::min(Left, Right), std::min(Top, Bottom), std::max(Left, Right), std::max(Top, Bottom)};
    }
    QRect ToQRect() const { return QRect(Left, Top, Width(), Height()); }
    static TRect FromQRect(const QRect &r) { return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()}; }
    friend bool operator==(const TRect &, const TRect &) = default;
};

// Checked point arithmetic.
QPoint AddPoints(QPoint a, QPoint b);
QPoint SubPoints(QPoint a, QPoint b);

// Each axis with a non-zero step g becomes ((p + g div 2) div g) * g, div truncating toward
// zero: for g = 250, 124 -> 0, 125 -> 250, -130 -> 0. An axis whose step is 0 is unchanged.
QPoint SnapToGrid(QPoint p, QPoint grid);
