// Drawing helpers that give QPainter the pixel rules of the patch sheet: a rectangle or
// ellipse (l, t, r, b) covers exactly r - l by b - t pixels, outline included.
#pragma once

#include "Colors.h"
#include "Geometry.h"

#include <QPainter>

// Sets a solid one-pixel pen (no antialiasing: the sheet is pixel art).
void UsePen(QPainter &p, TColor color);
void UseBrush(QPainter &p, TColor color);

// Outline with the current pen, fill with the current brush; right and bottom excluded.
void DrawRectangle(QPainter &p, const TRect &r);
void DrawEllipse(QPainter &p, const TRect &r);
void DrawLine(QPainter &p, QPoint from, QPoint to);

// The painter's current clip box in its current coordinates, or a huge box when it does
// not clip (painting everything).
TRect ClipBox(const QPainter &p);
