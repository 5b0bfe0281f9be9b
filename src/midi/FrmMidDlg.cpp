#include "FrmMidDlg.h"

#include "MidiType.h"

#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QToolButton>

TFormMidiDialog::TFormMidiDialog(QWidget *parent, std::shared_ptr<TMidiServices> services)
    : QDialog(parent), FServices(services ? std::move(services) : MidiServices())
{
    setObjectName(QStringLiteral("FormMidiDialog"));
    setWindowTitle(QStringLiteral("MIDI settings"));
    setFixedSize(209, 155);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto *panel = new QFrame(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setGeometry(0, 0, 209, 27);
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
    FSpeedButtonOk = makeButton(QStringLiteral("SpeedButtonOk"), QStringLiteral("Ok"), QStyle::SP_DialogOkButton, 104);
    connect(FSpeedButtonCancel, &QToolButton::clicked, this, &TFormMidiDialog::SpeedButtonCancelClick);
    connect(FSpeedButtonOk, &QToolButton::clicked, this, &TFormMidiDialog::SpeedButtonOkClick);

    auto makeList = [&](const QString &name, const QString &caption, int top) {
        auto *list = new QComboBox(this);
        list->setObjectName(name);
        list->setEditable(false); // only listed names can be chosen
        list->setGeometry(4, top + 16, 201, 24);
        list->installEventFilter(this);
        auto *label = new QLabel(caption, this);
        label->setGeometry(4, top, 201, 15);
        label->setBuddy(list);
        return list;
    };
    FComboBoxInputs = makeList(QStringLiteral("ComboBoxInputs"), QStringLiteral("MIDI &Input"), 36);
    FComboBoxOutputs = makeList(QStringLiteral("ComboBoxOutputs"), QStringLiteral("MIDI &Output"), 90);

    Fill();
}

void TFormMidiDialog::Fill()
{
    if (FFilled)
        return;
    TMidiServices &services = *FServices;

    FComboBoxInputs->clear();
    FInputName.clear();
    const uint32_t inputs = services.InGetNumDevs();
    for (uint32_t id = 0; id < inputs; ++id) {
        TMidiInCaps caps;
        if (services.InGetDevCaps(id, caps) == MidiNoError) // a device that cannot be read is left out
            FComboBoxInputs->addItem(caps.Name);
    }
    if (FComboBoxInputs->count() > 0)
        SelectInput(FComboBoxInputs->itemText(0));

    FComboBoxOutputs->clear();
    FOutputName.clear();
    TMidiOutCaps mapper;
    FComboBoxOutputs->addItem(services.OutGetDevCaps(MidiMapper, mapper) == MidiNoError ? mapper.Name : MidiClientName);
    const uint32_t outputs = services.OutGetNumDevs();
    for (uint32_t id = 0; id < outputs; ++id) {
        TMidiOutCaps caps;
        if (services.OutGetDevCaps(id, caps) == MidiNoError)
            FComboBoxOutputs->addItem(caps.Name);
    }
    SelectOutput(FComboBoxOutputs->itemText(0));

    FFilled = true;
}

void TFormMidiDialog::Select(QComboBox *list, const QString &name, QString &chosen)
{
    list->setCurrentIndex(-1);
    const QString wanted = name.toUpper();
    for (int i = 0; i < list->count(); ++i) {
        if (list->itemText(i).toUpper() == wanted) {
            list->setCurrentIndex(i);
            chosen = list->itemText(i);
            return;
        }
    }
}

void TFormMidiDialog::SelectInput(const QString &name)
{
    Select(FComboBoxInputs, name, FInputName);
}

void TFormMidiDialog::SelectOutput(const QString &name)
{
    Select(FComboBoxOutputs, name, FOutputName);
}

void TFormMidiDialog::TakeSelections()
{
    SelectInput(FComboBoxInputs->currentIndex() >= 0 ? FComboBoxInputs->currentText() : QString());
    SelectOutput(FComboBoxOutputs->currentIndex() >= 0 ? FComboBoxOutputs->currentText() : QString());
}

void TFormMidiDialog::SpeedButtonOkClick()
{
    TakeSelections();
    accept();
}

void TFormMidiDialog::SpeedButtonCancelClick()
{
    reject();
}

void TFormMidiDialog::reject()
{
    TakeSelections();
    QDialog::reject();
}

void TFormMidiDialog::showEvent(QShowEvent *event)
{
    Fill();
    if (const QScreen *s = screen())
        move(s->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
    // Empty lists deserve a reason; told once the dialog is up, not from inside its showing.
    if (const QString problem = FServices->Problem(); !problem.isEmpty())
        QMetaObject::invokeMethod(this, [problem] { ShowMidiMessage(problem); }, Qt::QueuedConnection);
}

TDialogKey ClassifyDialogKey(const QKeyEvent &event)
{
    const bool plain = (event.modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) == 0;
    switch (event.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return plain ? TDialogKey::Confirm : TDialogKey::Swallowed;
    case Qt::Key_Escape:
        return plain ? TDialogKey::Cancel : TDialogKey::Swallowed;
    default:
        return TDialogKey::Other;
    }
}

bool TFormMidiDialog::HandleKey(QKeyEvent *event)
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

void TFormMidiDialog::keyPressEvent(QKeyEvent *event)
{
    if (!HandleKey(event))
        QDialog::keyPressEvent(event);
}

bool TFormMidiDialog::eventFilter(QObject *watched, QEvent *event)
{
    // The dialog sees Enter and Esc before the lists do (their drop-downs are other widgets).
    if (event->type() == QEvent::KeyPress && (watched == FComboBoxInputs || watched == FComboBoxOutputs))
        return HandleKey(static_cast<QKeyEvent *>(event));
    return QDialog::eventFilter(watched, event);
}
