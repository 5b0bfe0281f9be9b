#include "FrmRndSet.h"

#include "Dialogs.h"
#include "FrmMidDlg.h"
#include "TextLabel.h"

#include <QCheckBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QStyle>
#include <QToolButton>

TFormRandomSettings::TFormRandomSettings(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FormRandomSettings"));
    setWindowTitle(QStringLiteral("Random settings"));
    setFixedSize(210, 129);
    setFont(PanelFont(DialogPixelSize)); // the pixel layout below is made for it
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto *panel = new QFrame(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setGeometry(0, 0, 210, 27);
    auto makeButton = [&](const QString &name, const QString &text, QStyle::StandardPixmap glyph, int left) {
        auto *b = new QToolButton(panel);
        b->setObjectName(name);
        b->setText(text);
        b->setIcon(style()->standardIcon(glyph));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setAutoRaise(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setGeometry(left, 1, 104, 25);
        return b;
    };
    FSpeedButtonCancel = makeButton(QStringLiteral("SpeedButtonCancel"), QStringLiteral("Cancel"),
                                    QStyle::SP_DialogCancelButton, 1);
    FSpeedButtonOk = makeButton(QStringLiteral("SpeedButtonOk"), QStringLiteral("Ok"), QStyle::SP_DialogOkButton, 105);
    connect(FSpeedButtonCancel, &QToolButton::clicked, this, &TFormRandomSettings::SpeedButtonCancelClick);
    connect(FSpeedButtonOk, &QToolButton::clicked, this, &TFormRandomSettings::SpeedButtonOkClick);

    auto *label = new QLabel(QStringLiteral("Random &seed value"), this);
    label->setGeometry(8, 36, 194, 15);
    FEditSeed = new QLineEdit(this);
    FEditSeed->setObjectName(QStringLiteral("EditSeed"));
    FEditSeed->setGeometry(8, 52, 194, 22);
    FEditSeed->installEventFilter(this);
    label->setBuddy(FEditSeed);
    FCheckBoxRandomized = new QCheckBox(QStringLiteral("&Randomized random seed value"), this);
    FCheckBoxRandomized->setObjectName(QStringLiteral("CheckBoxRandomized"));
    FCheckBoxRandomized->setGeometry(8, 88, 194, 20);
    FCheckBoxRandomized->installEventFilter(this);
    connect(FCheckBoxRandomized, &QCheckBox::toggled, this, &TFormRandomSettings::SetRandomized);

    // Held values that differ from the first ones set, so that both reach the widgets.
    FSeed = -1;
    SetSeed(0);
    FRandomized = false;
    SetRandomized(true);
}

void TFormRandomSettings::SetSeed(int32_t seed)
{
    if (seed == FSeed)
        return;
    FSeed = seed;
    FEditSeed->setText(QString::number(seed));
}

void TFormRandomSettings::SetRandomized(bool randomized)
{
    if (randomized == FRandomized)
        return;
    FRandomized = randomized; // first, so that the box's own toggle comes back as no change
    FCheckBoxRandomized->setChecked(randomized);
    FEditSeed->setEnabled(!randomized);
}

void TFormRandomSettings::SpeedButtonOkClick()
{
    if (!FRandomized) {
        bool ok = false;
        const int32_t seed = FEditSeed->text().trimmed().toInt(&ok, 10);
        if (!ok) {
            FEditSeed->setFocus();
            FEditSeed->selectAll();
            Dialogs().ShowMessage(QStringLiteral("Random seed value must be a (decimal) number."));
            return;
        }
        SetSeed(seed);
    }
    accept();
}

void TFormRandomSettings::SpeedButtonCancelClick()
{
    reject();
}

void TFormRandomSettings::reject()
{
    FEditSeed->setText(QString::number(FSeed));
    QDialog::reject();
}

void TFormRandomSettings::showEvent(QShowEvent *event)
{
    if (const QScreen *s = screen())
        move(s->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
}

bool TFormRandomSettings::HandleKey(QKeyEvent *event)
{
    switch (ClassifyDialogKey(*event)) {
    case TDialogKey::Confirm:
        SpeedButtonOkClick();
        return true;
    case TDialogKey::Cancel:
        SpeedButtonCancelClick();
        return true;
    case TDialogKey::Swallowed:
        return true;
    case TDialogKey::Other:
        break;
    }
    return false;
}

void TFormRandomSettings::keyPressEvent(QKeyEvent *event)
{
    if (!HandleKey(event))
        QDialog::keyPressEvent(event);
}

bool TFormRandomSettings::eventFilter(QObject *watched, QEvent *event)
{
    // The dialog sees Enter and Esc before the edit and the box do.
    if (event->type() == QEvent::KeyPress && (watched == FEditSeed || watched == FCheckBoxRandomized))
        return HandleKey(static_cast<QKeyEvent *>(event));
    return QDialog::eventFilter(watched, event);
}
