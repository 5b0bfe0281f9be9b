#include "MidiKeeper.h"

#include "FrmMain.h"

#include <QEvent>
#include <QLabel>
#include <QPointer>

#include <algorithm>

TMidiPortKeeper::TMidiPortKeeper(TFormMain &form, QWidget *statusPanel) : QObject(&form), FForm(form)
{
    FStatus = new QLabel(statusPanel);
    FStatus->setObjectName(QStringLiteral("LabelMidiStatus"));
    FStatus->move(110, 4);
    FStatus->setStyleSheet(QStringLiteral("color: #A00000"));
    statusPanel->installEventFilter(this);
    // A panel being torn down still sends events after its children are freed: the filter
    // goes with the label it serves, so it never looks at a label that is gone.
    connect(FStatus, &QObject::destroyed, this, [this, panel = QPointer<QWidget>(statusPanel)] {
        FStatus = nullptr;
        if (panel)
            panel->removeEventFilter(this);
    });
    FRetry.setSingleShot(true);
    FRetry.setInterval(250);
    connect(&FRetry, &QTimer::timeout, this, &TMidiPortKeeper::Check);
    connect(&FNews, &TMidiPortNews::Changed, this, [this] {
        FRetries = 0;
        Check();
    });
}

void TMidiPortKeeper::Watch(std::shared_ptr<TMidiServices> services)
{
    FNews.Watch(std::move(services));
}

bool TMidiPortKeeper::InputListed(const QString &name) const
{
    TMidiServices &services = FForm.MidiInput()->Services();
    const uint32_t count = services.InGetNumDevs();
    for (uint32_t id = 0; id < count; ++id) {
        TMidiInCaps caps;
        if (services.InGetDevCaps(id, caps) == MidiNoError && caps.Name == name)
            return true;
    }
    return false;
}

bool TMidiPortKeeper::OutputListed(const QString &name) const
{
    TMidiServices &services = FForm.MidiOutput()->Services();
    TMidiOutCaps caps;
    if (services.OutGetDevCaps(MidiMapper, caps) == MidiNoError && caps.Name == name)
        return true;
    const uint32_t count = services.OutGetNumDevs();
    for (uint32_t id = 0; id < count; ++id)
        if (services.OutGetDevCaps(id, caps) == MidiNoError && caps.Name == name)
            return true;
    return false;
}

bool TMidiPortKeeper::KeepInput()
{
    const QString wanted = FForm.Settings().MidiIn;
    if (wanted.isEmpty())
        return false;
    TMidiInput *in = FForm.MidiInput();
    const bool listed = InputListed(wanted);
    if (FForm.MidiInOpen()) {
        if (listed && !in->PortLost() && FForm.MidiInName() == wanted)
            return false;
        try {
            FForm.SetMidiInOpen(false); // the port went: the device follows
        } catch (const std::exception &) {
        }
    }
    if (!listed)
        return true;
    try {
        in->SetProductName(wanted); // checked here first, as the window reports a failure in a box
        FForm.SetMidiInName(wanted);
        FForm.SetMidiInOpen(true);
        return false;
    } catch (const std::exception &) {
        if (++FRetries <= 8)
            FRetry.start();
        return true;
    }
}

bool TMidiPortKeeper::KeepOutput()
{
    const QString wanted = FForm.Settings().MidiOut;
    if (wanted.isEmpty())
        return false;
    TMidiOutput *out = FForm.MidiOutput();
    const bool listed = OutputListed(wanted);
    if (FForm.MidiOutOpen()) {
        if (listed && !out->PortLost() && FForm.MidiOutName() == wanted)
            return false;
        try {
            FForm.SetMidiOutOpen(false); // the notes sounding there are gone with the port
        } catch (const std::exception &) {
        }
    }
    if (!listed)
        return true;
    try {
        out->SetProductName(wanted);
        FForm.SetMidiOutName(wanted);
        FForm.SetMidiOutOpen(true, true);
        return false;
    } catch (const std::exception &) {
        if (++FRetries <= 8)
            FRetry.start();
        return true;
    }
}

void TMidiPortKeeper::Stop()
{
    FStopped = true;
    FNews.Watch(nullptr);
    FRetry.stop();
}

void TMidiPortKeeper::Check()
{
    // The ports closing at the end are news too; they must not open the ports again.
    if (FStopped)
        return;
    FInputAbsent = KeepInput();
    FOutputAbsent = KeepOutput();
    ShowStatus();
}

void TMidiPortKeeper::ShowStatus()
{
    if (!FStatus)
        return;
    // Long port names would run off the panel: shortened there, whole in the tooltip.
    const QString text = StatusText();
    const int room = std::max(40, FStatus->parentWidget()->width() - FStatus->x() - 4);
    FStatus->setText(FStatus->fontMetrics().elidedText(text, Qt::ElideRight, room));
    FStatus->adjustSize();
    FStatus->setToolTip(text.isEmpty() ? QString()
                                       : text + QStringLiteral("\nKorvane connects again as soon as the port is back."));
}

bool TMidiPortKeeper::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize && FStatus && watched == FStatus->parentWidget())
        ShowStatus();
    return QObject::eventFilter(watched, event);
}

QString TMidiPortKeeper::StatusText() const
{
    QStringList parts;
    if (FInputAbsent)
        parts << QStringLiteral("MIDI in: %1 (absent)").arg(FForm.Settings().MidiIn);
    if (FOutputAbsent)
        parts << QStringLiteral("MIDI out: %1 (absent)").arg(FForm.Settings().MidiOut);
    return parts.join(QStringLiteral("  "));
}
