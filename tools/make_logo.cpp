// Draws Korvane's logo for the about box and stores it as a JPEG picture:
//   make_logo <output file>
// A 329 x 292 picture: a few modules in a dark rack, wired with sagging cables, under the name.
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio> // jpeglib.h needs FILE
#include <jpeglib.h>

namespace {

const QSize LogoSize(329, 292);
const QColor Panel(0xC0, 0xC0, 0xC0);
const QColor PanelEdge(0x60, 0x60, 0x60);
const QColor Knob(0x40, 0x00, 0x40);
const QColor Socket(0x20, 0x20, 0x20);

struct TModule {
    QRect Box;
    const char *Title;
    int Knobs;
};

// Where a module's input (left edge) and output (right edge) sockets sit.
QPointF InputOf(const TModule &m) { return QPointF(m.Box.left() + 8, m.Box.center().y() + 8); }
QPointF OutputOf(const TModule &m) { return QPointF(m.Box.right() - 7, m.Box.center().y() + 8); }

void DrawModule(QPainter &p, const TModule &m)
{
    p.setPen(QPen(PanelEdge, 1));
    p.setBrush(Panel);
    p.drawRoundedRect(m.Box, 3, 3);
    p.setPen(Qt::black);
    p.setFont(QFont(QStringLiteral("Arial"), 7, QFont::Bold));
    p.drawText(m.Box.adjusted(6, 2, -6, 0), Qt::AlignRight | Qt::AlignTop, QString::fromLatin1(m.Title));
    for (int i = 0; i < m.Knobs; ++i) {
        const QPointF c(m.Box.left() + 34 + i * 22, m.Box.center().y() + 6);
        p.setPen(QPen(Qt::white, 1));
        p.setBrush(Knob);
        p.drawEllipse(c, 7, 7);
        p.drawLine(c, c + QPointF(4 - 3 * i, -5)); // each knob turned its own way
    }
    p.setPen(Qt::NoPen);
    p.setBrush(Socket);
    p.drawEllipse(InputOf(m), 4, 4);
    p.drawEllipse(OutputOf(m), 4, 4);
}

// A cable hanging between two sockets, heavier the longer it is.
void DrawCable(QPainter &p, QPointF from, QPointF to, const QColor &color)
{
    const double sag = 20 + QLineF(from, to).length() / 4;
    QPainterPath path(from);
    path.cubicTo(from + QPointF(0, sag), to + QPointF(0, sag), to);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(color.darker(170), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(path);
    p.setPen(QPen(color, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(path);
}

void DrawLogo(QImage &picture)
{
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, LogoSize.height());
    sky.setColorAt(0, QColor(0x10, 0x18, 0x40));
    sky.setColorAt(1, Qt::black);
    p.fillRect(picture.rect(), sky);
    p.setPen(QColor(0x28, 0x30, 0x58)); // the rack's rows
    for (int y = 100; y < LogoSize.height(); y += 50)
        p.drawLine(0, y, LogoSize.width(), y);

    const TModule modules[] = {{QRect(14, 108, 120, 44), "OSCILLATOR", 3},
                               {QRect(190, 130, 120, 44), "AMPLIFIER", 2},
                               {QRect(60, 210, 120, 44), "MIDI NOTE", 3}};
    for (const TModule &m : modules)
        DrawModule(p, m);
    DrawCable(p, OutputOf(modules[0]), InputOf(modules[1]), QColor(0xE0, 0x30, 0x30));
    DrawCable(p, OutputOf(modules[1]), InputOf(modules[2]), QColor(0x30, 0xC0, 0x40));
    DrawCable(p, OutputOf(modules[0]), InputOf(modules[2]), QColor(0xF0, 0xD0, 0x20));

    p.setPen(Qt::white);
    p.setFont(QFont(QStringLiteral("Arial"), 34, QFont::Bold));
    p.drawText(QRect(0, 18, LogoSize.width(), 50), Qt::AlignCenter, QStringLiteral("Korvane"));
    p.setPen(QColor(0xFF, 0xFF, 0x00));
    p.setFont(QFont(QStringLiteral("Arial"), 10));
    p.drawText(QRect(0, 66, LogoSize.width(), 20), Qt::AlignCenter, QStringLiteral("modular MIDI sequencer"));
}

// Compresses `picture` with libjpeg into `fileName`. A libjpeg error ends the tool (its default
// handling), which fails the build step.
bool WriteJpeg(const QImage &picture, const char *fileName)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    FILE *file = std::fopen(fileName, "wb");
    if (!file)
        return false;
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = JDIMENSION(rgb.width());
    info.image_height = JDIMENSION(rgb.height());
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 92, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPLE *>(rgb.constScanLine(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return std::fclose(file) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_logo <output file>\n");
        return 2;
    }
    QGuiApplication app(argc, argv); // text needs the font database
    QImage picture(LogoSize, QImage::Format_RGB32);
    DrawLogo(picture);
    if (!WriteJpeg(picture, argv[1])) {
        std::fprintf(stderr, "make_logo: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
