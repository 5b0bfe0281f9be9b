#include "FrmMidDlg.h"

#include "MidiPortNews.h"
#include "MidiType.h"

#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <tuple>

TFormMidiDialog::TFormMidiDialog(QWidget *parent, std::shared_ptr<TMidiServices> services)
    : QDialog(parent), FServices(services ? std::move(services) : MidiServices())
{
    setObjectName(QStringLiteral("FormMidiDialog"));
    setWindowTitle(QStringLiteral("MIDI settings"));
    setFixedSize(209, 255);
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
    FComboBoxApis = makeList(QStringLiteral("ComboBoxApis"), QStringLiteral("MIDI &system"), 144);
    for (TMidiApi api : AvailableMidiApis())
        FComboBoxApis->addItem(api == TMidiApi::Jack ? QStringLiteral("JACK") : QStringLiteral("ALSA"), MidiApiName(api));
    connect(FComboBoxApis, &QComboBox::activated, this, [this](int index) {
        if (const std::optional<TMidiApi> api = MidiApiFromName(FComboBoxApis->itemData(index).toString()))
            ChooseApi(*api);
    });
    FProblem = new QLabel(this);
    FProblem->setObjectName(QStringLiteral("LabelProblem"));
    FProblem->setGeometry(4, 190, 201, 62);
    FProblem->setWordWrap(true);
    FProblem->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    FNews = new TMidiPortNews(this);
    connect(FNews, &TMidiPortNews::Changed, this, [this] {
        if (FFilled)
            Refill();
        ShowProblem(); // a JACK server that stopped or returned is news too
    });
    FNews->Watch(FServices);
    Fill();
    ShowProblem();
}

namespace {
// The port an entry stands for: its text, or for an absent port the name without " (absent)".
QString EntryName(const QComboBox *list, int index)
{
    return index < 0 ? QString() : list->itemData(index).toString();
}
} // namespace

void TFormMidiDialog::AddAbsent(QComboBox *list, const QString &name)
{
    if (name.isEmpty() || list->findData(name, Qt::UserRole, Qt::MatchFixedString) >= 0)
        return;
    list->addItem(QStringLiteral("%1 (absent)").arg(name), name);
}

void TFormMidiDialog::KeepListed(const QString &input, const QString &output)
{
    FKeepInput = input;
    FKeepOutput = output;
    AddAbsent(FComboBoxInputs, input);
    AddAbsent(FComboBoxOutputs, output);
}

void TFormMidiDialog::Refill()
{
    // What is shown stays shown: listed again, or listed as absent.
    const QString shownInput = EntryName(FComboBoxInputs, FComboBoxInputs->currentIndex());
    const QString shownOutput = EntryName(FComboBoxOutputs, FComboBoxOutputs->currentIndex());
    ListPorts();
    for (const auto &[list, keep, shown] : {std::tuple{FComboBoxInputs, FKeepInput, shownInput},
                                            std::tuple{FComboBoxOutputs, FKeepOutput, shownOutput}}) {
        AddAbsent(list, keep);
        AddAbsent(list, shown);
        list->setCurrentIndex(shown.isEmpty() ? -1 : list->findData(shown, Qt::UserRole, Qt::MatchFixedString));
    }
}

void TFormMidiDialog::SetServices(std::shared_ptr<TMidiServices> services)
{
    if (!services || services == FServices)
        return;
    FServices = std::move(services);
    FNews->Watch(FServices);
    Refill();
    ShowProblem();
}

void TFormMidiDialog::ChooseApi(TMidiApi api)
{
    // Chosen again after a failure (a JACK server started meanwhile), the system is asked anew.
    if (FServices->Name() == MidiApiName(api) && FServices->Problem().isEmpty())
        return;
    SetServices(CreateMidiServices(api));
}

QString TFormMidiDialog::ProblemText() const
{
    // The same words as the top bar and a headless run's.
    return FServices->Problem();
}

void TFormMidiDialog::ShowProblem()
{
    FProblem->setText(ProblemText());
    FProblem->setToolTip(FServices->Problem());
    FComboBoxApis->setCurrentIndex(FComboBoxApis->findData(FServices->Name()));
}

void TFormMidiDialog::ListPorts()
{
    TMidiServices &services = *FServices;
    FComboBoxInputs->clear();
    const uint32_t inputs = services.InGetNumDevs();
    for (uint32_t id = 0; id < inputs; ++id) {
        TMidiInCaps caps;
        if (services.InGetDevCaps(id, caps) == MidiNoError) // a device that cannot be read is left out
            FComboBoxInputs->addItem(caps.Name, caps.Name);
    }
    FComboBoxOutputs->clear();
    TMidiOutCaps mapper;
    const QString mapperName = services.OutGetDevCaps(MidiMapper, mapper) == MidiNoError ? mapper.Name : MidiClientName;
    FComboBoxOutputs->addItem(mapperName, mapperName);
    const uint32_t outputs = services.OutGetNumDevs();
    for (uint32_t id = 0; id < outputs; ++id) {
        TMidiOutCaps caps;
        if (services.OutGetDevCaps(id, caps) == MidiNoError)
            FComboBoxOutputs->addItem(caps.Name, caps.Name);
    }
}

void TFormMidiDialog::Fill()
{
    if (FFilled)
        return;
    ListPorts();
    FInputName.clear();
    if (FComboBoxInputs->count() > 0)
        SelectInput(FComboBoxInputs->itemText(0));
    FOutputName.clear();
    SelectOutput(FComboBoxOutputs->itemText(0));
    FFilled = true;
}

void TFormMidiDialog::Select(QComboBox *list, const QString &name, QString &chosen)
{
    list->setCurrentIndex(-1);
    const QString wanted = name.toUpper();
    for (int i = 0; i < list->count(); ++i) {
        if (EntryName(list, i).toUpper() == wanted) {
            list->setCurrentIndex(i);
            chosen = EntryName(list, i);
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
    SelectInput(EntryName(FComboBoxInputs, FComboBoxInputs->currentIndex()));
    SelectOutput(EntryName(FComboBoxOutputs, FComboBoxOutputs->currentIndex()));
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
    // Empty lists have their reason under them, in the problem line: no box on top.
    ShowProblem();
    QDialog::showEvent(event);
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
    if (event->type() == QEvent::KeyPress &&
        (watched == FComboBoxInputs || watched == FComboBoxOutputs || watched == FComboBoxApis))
        return HandleKey(static_cast<QKeyEvent *>(event));
    return QDialog::eventFilter(watched, event);
}
