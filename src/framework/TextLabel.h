// The one-line text detail of module panels: every module's title and the small captions
// above connectors and knobs. Ignores the mouse unless AcceptsMouse is set (the title).
#pragma once

#include "Details.h"

#include <QFont>

// The face of panel texts and dialogs, by pixel size so that the screen's resolution cannot
// change the pixel layout: the usual sans-serif face or one with the same widths.
QFont PanelFont(int pixelSize);
// The pixel sizes of captions and titles, and of the values in viewers.
constexpr int LabelPixelSize = 11, ViewerPixelSize = 11;
// The pixel size of the texts of the program's small fixed-layout dialogs.
constexpr int DialogPixelSize = 11;

// Owned by its module; user-interface thread only.
class TKorTextLabel : public TKorNoMouse {
    Q_OBJECT
public:
    Q_INVOKABLE TKorTextLabel() = default;
    void Init() override;

    QString Text() const { return FText; }
    void SetText(const QString &s);
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool v);
    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool v);
    bool AcceptsMouse() const { return FAcceptsMouse; }
    void SetAcceptsMouse(bool v) { FAcceptsMouse = v; }
    TColor FontColor() const { return FFontColor; }
    void SetFontColor(TColor c);
    const QFont &Font() const { return FFont; }

    // Fits the bounds to the text: text width + 2, text height + 1, keeping left and top.
    void AdjustSize();
    // From now on the label grows with its text (never below its present width) up to the
    // room on its row: the next detail of its module to the right, or the module's border.
    void FitToRow();
    // The right edge (own module's coordinates) the label may grow to; -1 before FitToRow.
    int32_t RowRight() const { return FRowRight; }

    bool HitTest(QPoint P) const override;
    void Paint(QPainter &Canvas) override;
    void Assign(const TKorCustomDetail &Source) override;
    void RefreshColors() override;

private:
    void RepaintInside();
    void GrowToText();

    QString FText;
    QFont FFont;
    TColor FFontColor = 0;
    bool FAutoSize = false;
    bool FTransparent = true;
    bool FAcceptsMouse = false;
    int32_t FRowRight = -1, FBaseWidth = 0;
};
