// The about box: Korvane's logo beside the version information the build gave the program, and
// the JPEG decoding the logo needs.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QImage>
#include <QStringList>

class QLabel;

// The keys of the version information, in the order the about box lists them.
QStringList VersionKeys();
// The value for each key of VersionKeys(), in the same order; "Unknown" for a key the build did
// not give a value.
QStringList VersionValues();

// The picture in `data` as a 24-bit RGB image; a null image when `data` is no JPEG picture
// libjpeg can read, or one too large for a logo. Never raises. Any thread.
QImage DecodeJpeg(const QByteArray &data);

// Frameless, centred on the screen, closed by a click anywhere on it or by Esc or Enter without
// Shift, Ctrl or Alt. User-interface thread only; made once at start and shown modally any
// number of times. Owns its widgets.
class TFormAbout : public QDialog {
    Q_OBJECT
public:
    // Reads the logo from "Logo.jpg" in the application directory; without a readable one the
    // logo stays empty.
    explicit TFormAbout(QWidget *parent = nullptr);

    QLabel *ImageLogo() const { return FImageLogo; }
    // The yellow field names and the value labels (StaticTextCompanyName ... StaticTextComments),
    // in VersionKeys() order.
    const QList<QLabel *> &Captions() const { return FCaptions; }
    const QList<QLabel *> &StaticTexts() const { return FStaticTexts; }

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QLabel *FImageLogo = nullptr;
    QList<QLabel *> FCaptions, FStaticTexts;
    bool FPressed = false; // a click is a press and a release both on the box
};
