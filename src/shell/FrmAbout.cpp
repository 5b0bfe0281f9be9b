#include "FrmAbout.h"

#include "TextLabel.h"

#include "AppPaths.h"
#include "VersionInfo.h"

#include <QFile>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE
#include <jpeglib.h>

namespace {

// libjpeg reports an error by calling error_exit, which must not return: it jumps back to the
// decoder's setjmp.
struct TJpegError {
    jpeg_error_mgr Manager; // first, so that libjpeg's pointer to it points at the whole
    std::jmp_buf Jump;
};

[[noreturn]] void LeaveDecoding(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<TJpegError *>(info->err)->Jump, 1);
}

// Warnings about slightly damaged data are not the user's business; the picture still comes.
void IgnoreMessage(j_common_ptr) {}

const qint64 MaxLogoPixels = 16 * 1024 * 1024;

// Only plain C objects live in this frame, because an error leaves it through longjmp, which
// runs no destructors.
bool Decode(const unsigned char *bytes, unsigned long size, QImage *image)
{
    jpeg_decompress_struct info{};
    TJpegError error{};
    info.err = jpeg_std_error(&error.Manager);
    error.Manager.error_exit = LeaveDecoding;
    error.Manager.output_message = IgnoreMessage;
    if (setjmp(error.Jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes, size);
    jpeg_read_header(&info, TRUE);
    if (qint64(info.image_width) * info.image_height > MaxLogoPixels) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    *image = QImage(int(info.output_width), int(info.output_height), QImage::Format_RGB888);
    if (image->isNull() || info.output_components != 3) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image->scanLine(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

// The field names shown beside the values, in VersionKeys() order.
const char *const FieldNames[] = {"Company",    "Description", "File version", "Internal name", "Copyright",
                                  "Trademarks", "File name",   "Product",      "Version",       "Comments"};

const int ClientWidth = 646, ClientHeight = 292;
const int LogoWidth = 329;
const int CaptionLeft = 352, ValueLeft = 432, FirstTop = 28, RowStep = 24;

} // namespace

QStringList VersionKeys()
{
    return {QStringLiteral("CompanyName"),      QStringLiteral("FileDescription"), QStringLiteral("FileVersion"),
            QStringLiteral("InternalName"),     QStringLiteral("LegalCopyRight"),  QStringLiteral("LegalTradeMarks"),
            QStringLiteral("OriginalFileName"), QStringLiteral("ProductName"),     QStringLiteral("ProductVersion"),
            QStringLiteral("Comments")};
}

QStringList VersionValues()
{
    QStringList values;
    for (const QString &key : VersionKeys()) {
        QString value = QStringLiteral("Unknown");
        for (const TVersionEntry &entry : VersionInformation)
            if (key == QLatin1String(entry.Key))
                value = QString::fromUtf8(entry.Value);
        values << value;
    }
    return values;
}

QImage DecodeJpeg(const QByteArray &data)
{
    QImage image;
    if (data.isEmpty()
        || !Decode(reinterpret_cast<const unsigned char *>(data.constData()), static_cast<unsigned long>(data.size()), &image))
        return {};
    return image;
}

TFormAbout::TFormAbout(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FormAbout"));
    setWindowTitle(QStringLiteral("About Korvane"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setFixedSize(ClientWidth, ClientHeight);
    setFont(PanelFont(DialogPixelSize));
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    black.setColor(QPalette::Light, QColor(0xA0, 0xA0, 0xA0)); // the bevel, lit from the top left
    black.setColor(QPalette::Dark, QColor(0x40, 0x40, 0x40));
    setPalette(black);
    setAutoFillBackground(true);

    auto *panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("PanelAbout"));
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setGeometry(0, 0, ClientWidth, ClientHeight);
    // Every click lands on the box itself, whatever part of it is under the pointer.
    panel->setAttribute(Qt::WA_TransparentForMouseEvents);

    const int bevel = panel->frameWidth();
    FImageLogo = new QLabel(panel);
    FImageLogo->setObjectName(QStringLiteral("ImageLogo"));
    FImageLogo->setScaledContents(true);
    FImageLogo->setGeometry(bevel, bevel, LogoWidth, ClientHeight - 2 * bevel);
    QFile logo(ApplicationDirectory() + QStringLiteral("Logo.jpg"));
    if (logo.open(QIODevice::ReadOnly))
        if (const QImage picture = DecodeJpeg(logo.readAll()); !picture.isNull())
            FImageLogo->setPixmap(QPixmap::fromImage(picture));

    QPalette yellow = palette(), white = palette();
    yellow.setColor(QPalette::WindowText, Qt::yellow);
    white.setColor(QPalette::WindowText, Qt::white);
    const QStringList keys = VersionKeys(), values = VersionValues();
    const int height = fontMetrics().height() + 2;
    for (int i = 0; i < keys.size(); ++i) {
        const int top = FirstTop + i * RowStep;
        auto *caption = new QLabel(QString::fromLatin1(FieldNames[i]), panel);
        caption->setObjectName(QStringLiteral("Label") + keys[i]);
        caption->setPalette(yellow);
        caption->setGeometry(CaptionLeft, top, ValueLeft - CaptionLeft - 4, height);
        FCaptions << caption;
        auto *value = new QLabel(values[i], panel);
        value->setObjectName(QStringLiteral("StaticText") + keys[i]);
        value->setPalette(white);
        value->setGeometry(ValueLeft, top, ClientWidth - ValueLeft - 8, height);
        FStaticTexts << value;
    }
}

void TFormAbout::showEvent(QShowEvent *event)
{
    FPressed = false;
    if (const QScreen *s = screen())
        move(s->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
}

void TFormAbout::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Taken here also with a modifier, which the base would read as a cancel.
        if ((event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) == 0)
            accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void TFormAbout::mousePressEvent(QMouseEvent *event)
{
    FPressed = event->button() == Qt::LeftButton;
}

void TFormAbout::mouseReleaseEvent(QMouseEvent *event)
{
    if (FPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        accept();
    FPressed = false;
}
