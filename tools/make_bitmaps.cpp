// Draws the pictures that ship beside Korvane:
//   make_bitmaps <palette folder> <button folder>
// The palette folder receives one 32 x 28 picture per module class short name (plus Module.bmp,
// the fallback); the button folder receives the 19 x 9 pictures of the module panels' push
// buttons. All are 24-bit BMP files on a uniform silver background, which is also the colour of
// their bottom-left pixel, the transparent colour of Korvane's glyphs.
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <QString>
#include <cmath>
#include <cstdio>
#include <functional>

namespace {

const QColor Background(0xC0, 0xC0, 0xC0);
const QColor Ink(0x00, 0x00, 0x00);
const QColor WaveInk(0x00, 0x00, 0x90);
const QColor ClockInk(0x00, 0x70, 0x00);
const QColor AxisInk(0x80, 0x80, 0x80);
const QColor InArrow(0x00, 0x80, 0x00);
const QColor OutArrow(0xC0, 0x00, 0x00);
const QColor Dark(0x40, 0x00, 0x40); // knobs, viewers and the scope screen

using TWave = std::function<double(double)>; // phase 0..1 -> level -1..1

const double Pi = 3.14159265358979323846;

// Levels and widths that look random and never change between builds.
const double RandomLevels[] = {0.5, -0.7, 0.9, -0.2, 0.1, -0.9, 0.7, -0.4, 0.3, -0.6, 0.8, 0.0};
const int PulseWidths[] = {2, 3, 1, 4, 2, 1, 3, 2, 4, 1, 2, 3, 1, 2, 3, 2};

double SquareWave(double t) { return t < 0.5 ? 1 : -1; }
double SineWave(double t) { return std::sin(2 * Pi * t); }
double SawWave(double t) { return 2 * t - 1; }
double TriangleWave(double t) { return t < 0.5 ? 4 * t - 1 : 3 - 4 * t; }

// Held random levels, `steps` per period.
TWave RandomWave(int steps)
{
    return [steps](double t) { return RandomLevels[int(t * steps) % 12]; };
}

// On-off pulses of irregular length: the phase walks through PulseWidths, `units` per period.
TWave RandomPulses(int units)
{
    return [units](double t) {
        int u = int(t * units), i = 0;
        while (u >= PulseWidths[i % 16])
            u -= PulseWidths[i++ % 16];
        return i % 2 ? -1.0 : 1.0;
    };
}

// Plots `wave` over `area` column by column, joining neighbours with vertical runs, so that
// jumps come out as crisp edges. `periods` cycles fill the width.
void DrawWave(QPainter &p, const QRect &area, const TWave &wave, double periods, const QColor &color)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(color);
    const double mid = area.top() + (area.height() - 1) / 2.0, half = (area.height() - 1) / 2.0;
    int previous = 0;
    for (int x = 0; x < area.width(); ++x) {
        const double t = std::fmod(x * periods / area.width(), 1.0);
        const int y = int(std::lround(mid - wave(t) * half));
        p.drawLine(area.left() + x, x ? previous : y, area.left() + x, y);
        previous = y;
    }
    p.restore();
}

void DrawAxis(QPainter &p, const QRect &area)
{
    p.setPen(AxisInk);
    const int y = area.top() + (area.height() - 1) / 2;
    p.drawLine(area.left(), y, area.right(), y);
}

// A row of short clock pulses along the bottom of `area`: the clocked generators' mark.
void DrawClock(QPainter &p, const QRect &area, int period)
{
    DrawWave(p, area, [](double t) { return t < 0.3 ? 1.0 : -1.0; }, double(area.width()) / period, ClockInk);
}

// A horizontal arrow from x0 to x1 (pointing to x1) at height y.
void DrawArrow(QPainter &p, int x0, int x1, int y, const QColor &color)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(color, 2, Qt::SolidLine, Qt::FlatCap));
    const int dir = x1 > x0 ? 1 : -1;
    p.drawLine(x0, y, x1 - 3 * dir, y);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPolygon(QPolygon({QPoint(x1 - 4 * dir, y - 4), QPoint(x1 + dir, y), QPoint(x1 - 4 * dir, y + 4)}));
    p.restore();
}

// The five-pin round socket of MIDI cables.
void DrawSocket(QPainter &p, QPointF c)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Ink, 1.5));
    p.setBrush(QColor(0x30, 0x30, 0x30));
    p.drawEllipse(c, 9, 9);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    for (int deg : {180, 135, 90, 45, 0}) // the pins, in an arc over the centre
        p.drawEllipse(c + QPointF(5.5 * std::cos(deg * Pi / 180), -5.5 * std::sin(deg * Pi / 180)), 1.3, 1.3);
    p.setBrush(Background);
    p.drawRect(QRectF(c.x() - 1.5, c.y() + 6, 3, 3)); // the key notch
    p.restore();
}

// A knob with its pointer at `deg` degrees (counter-clockwise, 90 = up).
void DrawKnob(QPainter &p, QPointF c, double r, double deg)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(Dark);
    p.drawEllipse(c, r, r);
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    const QPointF dir(std::cos(deg * Pi / 180), -std::sin(deg * Pi / 180));
    p.drawLine(c + dir * (r * 0.3), c + dir * (r * 0.85));
    p.restore();
}

// A pitch-bend wheel seen from the front, turned upwards.
void DrawWheel(QPainter &p, QPointF c)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF body(c.x() - 5, c.y() - 11, 10, 22);
    p.setPen(QPen(Ink, 1));
    p.setBrush(QColor(0x50, 0x50, 0x50));
    p.drawRoundedRect(body, 3, 3);
    p.setPen(QColor(0xA0, 0xA0, 0xA0));
    for (int i = -8; i <= 8; i += 3) // ridges, closer together towards the top and bottom
        p.drawLine(QPointF(body.left() + 2, c.y() + i), QPointF(body.right() - 2, c.y() + i));
    p.setPen(QPen(Qt::white, 2));
    p.drawLine(QPointF(body.left() + 1, c.y() - 4), QPointF(body.right() - 1, c.y() - 4)); // the centre mark, moved up
    p.restore();
}

// A clock face showing a quarter past: the glyph of the MIDI clock modules.
void DrawClockFace(QPainter &p, QPointF c)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Ink, 1.5));
    p.setBrush(Qt::white);
    p.drawEllipse(c, 9, 9);
    p.setPen(QPen(ClockInk, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c, c + QPointF(0, -6.5));
    p.drawLine(c, c + QPointF(5, 0));
    p.restore();
}

// Two rings linked, over the clock they share: the module that follows other programs' time.
void DrawLinkedClock(QPainter &p)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(WaveInk, 2.2));
    p.drawEllipse(QPointF(11.5, 10), 6.5, 6.5);
    p.setPen(QPen(ClockInk, 2.2));
    p.drawEllipse(QPointF(20.5, 10), 6.5, 6.5);
    // The first ring passes over the second at the top, as links of a chain do.
    p.setPen(QPen(WaveInk, 2.2));
    p.drawArc(QRectF(5, 3.5, 13, 13), 20 * 16, 50 * 16);
    p.restore();
    DrawClock(p, QRect(2, 21, 28, 5), 4);
}

// An input or output module of the I/O page: its glyph and an arrow into or out of it.
void DrawInOut(QPainter &p, bool out, const std::function<void(QPainter &, QPointF)> &glyph)
{
    const int y = 14;
    if (out) {
        glyph(p, QPointF(11, y));
        DrawArrow(p, 21, 30, y, OutArrow);
    } else {
        DrawArrow(p, 1, 10, y, InArrow);
        glyph(p, QPointF(21, y));
    }
}

// The waveform of a generator, with a clock strip underneath for the clocked ones.
void DrawGenerator(QPainter &p, const TWave &wave, double periods, bool clocked)
{
    if (clocked) {
        const QRect waveArea(2, 2, 28, 17);
        DrawAxis(p, waveArea);
        DrawWave(p, waveArea, wave, periods, WaveInk);
        DrawClock(p, QRect(2, 21, 28, 5), 4);
    } else {
        const QRect waveArea(2, 4, 28, 20);
        DrawAxis(p, waveArea);
        DrawWave(p, waveArea, wave, periods, WaveInk);
    }
}

// Two inputs from the left, one output to the right, and an operator in a circle.
void DrawOperator(QPainter &p, const std::function<void(QPainter &)> &symbol)
{
    p.setPen(QPen(Ink, 1));
    p.drawLine(1, 7, 8, 10);
    p.drawLine(1, 21, 8, 18);
    p.drawLine(25, 14, 30, 14);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Ink, 1.5));
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(16, 14), 9, 9);
    p.setPen(QPen(Ink, 2.2, Qt::SolidLine, Qt::RoundCap));
    symbol(p);
}

// `rows` stacked rack rows, like blank modules.
void DrawModuleRows(QPainter &p, int rows)
{
    const int h = rows == 1 ? 10 : std::min(10, 24 / rows);
    const int top = (28 - rows * h) / 2;
    for (int i = 0; i < rows; ++i) {
        const QRect r(3, top + i * h, 26, h - 1);
        p.fillRect(r, QColor(0xD8, 0xD8, 0xD8));
        p.setPen(Qt::white);
        p.drawLine(r.topLeft(), r.topRight());
        p.drawLine(r.topLeft(), r.bottomLeft());
        p.setPen(Ink);
        p.drawLine(r.bottomLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomRight());
    }
}

// The play triangle, filling `r` row by row (an odd height gives a one-pixel tip).
void DrawPlay(QPainter &p, const QRect &r, const QColor &color)
{
    const int half = r.height() / 2;
    for (int i = 0; i < r.height(); ++i) {
        const int width = 1 + (std::min(i, r.height() - 1 - i) * (r.width() - 1) + half / 2) / half;
        p.fillRect(QRect(r.left(), r.top() + i, width, 1), color);
    }
}

using TDraw = std::function<void(QPainter &)>;
struct TPicture {
    const char *Name;
    TDraw Draw;
};

// ---- Palette pictures, 32 x 28 --------------------------------------------------------------

TDraw Generator(const TWave &wave, double periods, bool clocked)
{
    return [=](QPainter &p) { DrawGenerator(p, wave, periods, clocked); };
}

TDraw InOut(bool out, void (*glyph)(QPainter &, QPointF))
{
    return [=](QPainter &p) { DrawInOut(p, out, glyph); };
}

void DrawControlKnob(QPainter &p, QPointF c) { DrawKnob(p, c, 8.5, 60); }

const TPicture PalettePictures[] = {
    {"MidiIn", InOut(false, DrawSocket)},
    {"MidiOut", InOut(true, DrawSocket)},
    {"ControlIn", InOut(false, DrawControlKnob)},
    {"ControlOut", InOut(true, DrawControlKnob)},
    {"BendIn", InOut(false, DrawWheel)},
    {"BendOut", InOut(true, DrawWheel)},
    {"ClockOut", InOut(true, DrawClockFace)},
    {"ClockIn", InOut(false, DrawClockFace)},
    {"Link", DrawLinkedClock},
    {"Constant",
     [](QPainter &p) {
         const QRect area(2, 4, 28, 20);
         DrawAxis(p, area);
         p.fillRect(QRect(2, 7, 28, 3), WaveInk); // a level that stays put
         DrawKnob(p, QPointF(8.5, 20.5), 5, 120);
     }},
    {"Square", Generator(SquareWave, 2, false)},
    {"Sine", Generator(SineWave, 1.5, false)},
    {"Saw", Generator(SawWave, 2, false)},
    {"Random", Generator(RandomWave(7), 1, false)},
    {"RndPulse", Generator(RandomPulses(28), 1, false)},
    {"ClSquare", Generator(SquareWave, 2, true)},
    {"ClSine", Generator(SineWave, 1.5, true)},
    {"ClSaw", Generator(SawWave, 2, true)},
    {"ClRandom", Generator(RandomWave(7), 1, true)},
    {"ClRndPulse", Generator(RandomPulses(28), 1, true)},
    {"DividerFixed",
     [](QPainter &p) { // a binary counter: the clock and three halvings below it
         DrawClock(p, QRect(2, 2, 28, 5), 3);
         for (int i = 1; i <= 3; ++i)
             DrawWave(p, QRect(2, 2 + 7 * i, 28, 5), SquareWave, 28.0 / (3 << i), WaveInk);
     }},
    {"FreqDivider",
     [](QPainter &p) { // a division sign, the clock and a slower wave
         p.fillRect(QRect(2, 13, 7, 2), Ink);
         p.fillRect(QRect(4, 9, 3, 2), Ink);
         p.fillRect(QRect(4, 17, 3, 2), Ink);
         DrawClock(p, QRect(11, 5, 19, 6), 3);
         DrawWave(p, QRect(11, 17, 19, 6), SquareWave, 19.0 / 9, WaveInk);
     }},
    {"Amplifier",
     [](QPainter &p) { // the gain triangle
         p.setPen(QPen(Ink, 1));
         p.drawLine(1, 14, 8, 14);
         p.drawLine(24, 14, 30, 14);
         p.setRenderHint(QPainter::Antialiasing);
         p.setPen(QPen(Ink, 1.5));
         p.setBrush(Qt::white);
         p.drawPolygon(QPolygonF({QPointF(8, 4), QPointF(25, 14), QPointF(8, 24)}));
     }},
    {"Multiplier",
     [](QPainter &p) {
         DrawOperator(p, [](QPainter &q) {
             q.drawLine(QPointF(12.5, 10.5), QPointF(19.5, 17.5));
             q.drawLine(QPointF(19.5, 10.5), QPointF(12.5, 17.5));
         });
     }},
    {"Divider",
     [](QPainter &p) { DrawOperator(p, [](QPainter &q) { q.drawLine(QPointF(12.5, 19), QPointF(19.5, 9)); }); }},
    {"Table",
     [](QPainter &p) { // eight steps of set heights
         const int heights[] = {7, 14, 10, 19, 15, 4, 17, 11};
         for (int i = 0; i < 8; ++i)
             p.fillRect(QRect(3 + 3 * i + i / 2, 24 - heights[i], 2, heights[i]), i == 3 ? OutArrow : WaveInk);
         p.setPen(Ink);
         p.drawLine(2, 24, 29, 24);
     }},
    {"Neuron",
     [](QPainter &p) { // weighted inputs into a cell body, one output
         p.setRenderHint(QPainter::Antialiasing);
         p.setPen(QPen(Ink, 1));
         for (int y : {3, 10, 18, 25})
             p.drawLine(QPointF(1, y), QPointF(15, 14));
         DrawArrow(p, 22, 30, 14, Ink);
         p.setPen(QPen(Ink, 1.5));
         p.setBrush(QColor(0xF0, 0xD0, 0x60));
         p.drawEllipse(QPointF(16, 14), 6, 6);
     }},
    {"Morph",
     [](QPainter &p) { // a crossfade: one bank fades out while the other fades in
         p.setRenderHint(QPainter::Antialiasing);
         p.setPen(QPen(WaveInk, 2));
         p.drawLine(QPointF(3, 4), QPointF(28, 20));
         p.setPen(QPen(OutArrow, 2));
         p.drawLine(QPointF(3, 20), QPointF(28, 4));
         p.setPen(Qt::NoPen);
         p.setBrush(Ink);
         p.drawPolygon(QPolygonF({QPointF(15.5, 21), QPointF(19.5, 26), QPointF(11.5, 26)})); // the select
     }},
    {"SlotCtrl",
     [](QPainter &p) { // stop and start
         p.fillRect(QRect(3, 8, 11, 11), OutArrow);
         DrawPlay(p, QRect(18, 7, 10, 13), InArrow);
     }},
    {"Shifter",
     [](QPainter &p) { // a shift register: cells holding bits, moving right
         const bool bits[] = {true, false, true, true};
         for (int i = 0; i < 4; ++i) {
             const QRect cell(2 + 7 * i, 5, 6, 9);
             p.setPen(Ink);
             p.setBrush(bits[i] ? WaveInk : Qt::white);
             p.drawRect(cell);
         }
         DrawArrow(p, 4, 28, 21, Ink);
     }},
    {"Scope",
     [](QPainter &p) { // a screen with a grid and a trace
         const QRect screen(2, 3, 28, 21);
         p.fillRect(screen, Dark);
         p.setPen(QColor(0x80, 0x80, 0x80));
         for (int i = 1; i < 4; ++i) {
             p.drawLine(screen.left() + i * 7, screen.top(), screen.left() + i * 7, screen.bottom());
             p.drawLine(screen.left(), screen.top() + i * 5, screen.right(), screen.top() + i * 5);
         }
         DrawWave(p, screen.adjusted(1, 3, -1, -3), SineWave, 1.5, Qt::white);
         p.setPen(Ink);
         p.setBrush(Qt::NoBrush);
         p.drawRect(screen.adjusted(-1, -1, 0, 0));
     }},
    {"Module", [](QPainter &p) { DrawModuleRows(p, 1); }},
    {"Module2", [](QPainter &p) { DrawModuleRows(p, 2); }},
    {"Module4", [](QPainter &p) { DrawModuleRows(p, 4); }},
    {"Module8", [](QPainter &p) { DrawModuleRows(p, 8); }},
};

// ---- Push-button pictures, 19 x 9 -----------------------------------------------------------

TDraw ButtonWave(const TWave &wave, double periods, bool clocked)
{
    return [=](QPainter &p) {
        if (clocked) { // the wave over a row of clock ticks
            DrawWave(p, QRect(1, 1, 17, 5), wave, periods, Ink);
            for (int x = 2; x < 18; x += 4)
                p.fillRect(QRect(x, 7, 2, 1), ClockInk);
        } else {
            DrawWave(p, QRect(1, 1, 17, 7), wave, periods, Ink);
        }
    };
}

const TPicture ButtonPictures[] = {
    {"Sym",
     [](QPainter &p) { // a wave swinging evenly around the centre line
         p.setPen(AxisInk);
         p.drawLine(1, 4, 17, 4);
         DrawWave(p, QRect(1, 1, 17, 7), TriangleWave, 2, Ink);
     }},
    {"Square", ButtonWave(SquareWave, 2, false)},
    {"Sine", ButtonWave(SineWave, 1.5, false)},
    {"Saw", ButtonWave(SawWave, 2, false)},
    {"Random", ButtonWave(RandomWave(6), 1, false)},
    {"RndPulse", ButtonWave(RandomPulses(17), 1, false)},
    {"ClSquare", ButtonWave(SquareWave, 2, true)},
    {"ClSine", ButtonWave(SineWave, 1.5, true)},
    {"ClSaw", ButtonWave(SawWave, 2, true)},
    {"ClRandom", ButtonWave(RandomWave(6), 1, true)},
    {"ClRndPulse", ButtonWave(RandomPulses(17), 1, true)},
    {"Start", [](QPainter &p) { DrawPlay(p, QRect(6, 1, 7, 7), InArrow); }},
    {"Stop", [](QPainter &p) { p.fillRect(QRect(6, 1, 7, 7), OutArrow); }},
};

template <size_t N>
bool DrawAll(const TPicture (&pictures)[N], QSize size, const QString &folder)
{
    bool ok = true;
    for (const TPicture &picture : pictures) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(Background);
        {
            QPainter p(&image); // crisp by default; round shapes turn smoothing on
            picture.Draw(p);
        }
        const QString path = folder + u'/' + QString::fromLatin1(picture.Name) + QStringLiteral(".bmp");
        if (!image.save(path, "BMP")) {
            std::fprintf(stderr, "make_bitmaps: cannot write %s\n", qPrintable(path));
            ok = false;
        }
    }
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_bitmaps <palette folder> <button folder>\n");
        return 2;
    }
    const bool ok = DrawAll(PalettePictures, QSize(32, 28), QString::fromLocal8Bit(argv[1]))
                    & DrawAll(ButtonPictures, QSize(19, 9), QString::fromLocal8Bit(argv[2]));
    return ok ? 0 : 1;
}
