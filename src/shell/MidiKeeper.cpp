#include "MidiKeeper.h"

#include <QEvent>
#include <QLabel>
#include <QPointer>

#include <algorithm>

using namespace std::chrono;

namespace {
QString SideName(TMidiSide side)
{
    return side == TMidiSide::In ? QStringLiteral("MIDI in") : QStringLiteral("MIDI out");
}
} // namespace

TMidiPortKeeper::TMidiPortKeeper(IMidiPortHost &host, QWidget *statusPanel, QObject *parent, TClock clock)
    : QObject(parent), FHost(host), FClock(std::move(clock))
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
    connect(&FRetry, &QTimer::timeout, this, &TMidiPortKeeper::Check);
    connect(&FNews, &TMidiPortNews::Changed, this, &TMidiPortKeeper::News);
}

milliseconds TMidiPortKeeper::Backoff(int failures)
{
    constexpr milliseconds first{250}, most{30000};
    if (failures <= 0)
        return milliseconds(0);
    // Doubling past the ceiling only once it is reached: no shift runs out of bits.
    milliseconds delay = first;
    for (int i = 1; i < failures && delay < most; ++i)
        delay *= 2;
    return std::min(delay, most);
}

void TMidiPortKeeper::Watch(std::shared_ptr<TMidiServices> services)
{
    FNews.Watch(std::move(services));
    FIn = {};
    FOut = {};
    FListing = Listing();
    FProblem.clear(); // the new system's problem, if it has one, is told at the next check
}

void TMidiPortKeeper::News()
{
    // Korvane's own clients make news too (each try of a port that does not open makes and
    // drops one); only a change among the other programs' ports counts as news here.
    const QStringList listing = Listing();
    if (listing != FListing) {
        FListing = listing;
        for (TSide *s : {&FIn, &FOut}) {
            s->Failures = 0;
            s->NotBefore = {};
        }
    }
    Check();
}

void TMidiPortKeeper::Retry()
{
    for (TSide *s : {&FIn, &FOut}) {
        s->Failures = 0;
        s->NotBefore = {};
    }
    Check();
}

QStringList TMidiPortKeeper::Listing() const
{
    TMidiServices &services = FHost.PortServices();
    QStringList names;
    const uint32_t inputs = services.InGetNumDevs();
    for (uint32_t id = 0; id < inputs; ++id) {
        TMidiInCaps caps;
        if (services.InGetDevCaps(id, caps) == MidiNoError)
            names << QStringLiteral("in:") + caps.Name;
    }
    const uint32_t outputs = services.OutGetNumDevs();
    for (uint32_t id = 0; id < outputs; ++id) {
        TMidiOutCaps caps;
        if (services.OutGetDevCaps(id, caps) == MidiNoError)
            names << QStringLiteral("out:") + caps.Name;
    }
    return names;
}

bool TMidiPortKeeper::Listed(TMidiSide side, const QString &name) const
{
    TMidiServices &services = FHost.PortServices();
    if (side == TMidiSide::In) {
        const uint32_t count = services.InGetNumDevs();
        for (uint32_t id = 0; id < count; ++id) {
            TMidiInCaps caps;
            if (services.InGetDevCaps(id, caps) == MidiNoError && caps.Name == name)
                return true;
        }
        return false;
    }
    TMidiOutCaps caps;
    if (services.OutGetDevCaps(MidiMapper, caps) == MidiNoError && caps.Name == name)
        return true;
    const uint32_t count = services.OutGetNumDevs();
    for (uint32_t id = 0; id < count; ++id)
        if (services.OutGetDevCaps(id, caps) == MidiNoError && caps.Name == name)
            return true;
    return false;
}

bool TMidiPortKeeper::Keep(TMidiSide side)
{
    TSide &s = Side(side);
    const QString wanted = FHost.ConfiguredPort(side);
    if (wanted.isEmpty()) {
        s = {};
        return false;
    }
    // While its system cannot be used nothing is listed, Korvane's own port neither.
    const bool listed = FHost.PortServices().Problem().isEmpty() && Listed(side, wanted);
    if (FHost.PortOpen(side)) {
        if (listed && !FHost.PortLost(side) && FHost.OpenPortName(side) == wanted)
            return false;
        try {
            FHost.ClosePort(side); // the port went: the device follows, its notes gone with it
        } catch (const std::exception &) {
        }
    }
    if (!listed)
        return true;
    if (s.Failures > 0 && FClock() < s.NotBefore)
        return true; // its next try is due later
    try {
        FHost.OpenPort(side, wanted);
        s = {};
        return false;
    } catch (const std::exception &e) {
        ++s.Failures;
        s.NotBefore = FClock() + Backoff(s.Failures);
        if (!s.Reported) {
            s.Reported = true;
            Report(QStringLiteral("%1: %2 is there but does not open (%3); Korvane tries again, less and less often")
                       .arg(SideName(side), wanted, QString::fromUtf8(e.what())));
        }
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
    TMidiServices &services = FHost.PortServices();
    const QString problem = services.Problem();
    if (problem != FProblem) {
        if (!problem.isEmpty())
            Report(problem);
        else
            Report(services.Name() == MidiApiName(TMidiApi::Jack)
                       ? QStringLiteral("JACK server running again: connecting the MIDI ports")
                       : QStringLiteral("The MIDI system (%1) can be used again").arg(services.Name()));
        FProblem = problem;
    }
    FIn.Absent = Keep(TMidiSide::In);
    FOut.Absent = Keep(TMidiSide::Out);
    ScheduleRetry();
    ShowStatus();
}

void TMidiPortKeeper::ScheduleRetry()
{
    const milliseconds delay = RetryDelay();
    if (delay == milliseconds(0)) {
        FRetry.stop();
        return;
    }
    FRetry.start(int(delay.count()));
}

milliseconds TMidiPortKeeper::RetryDelay() const
{
    const auto now = FClock();
    milliseconds soonest{0};
    for (const TSide *s : {&FIn, &FOut}) {
        if (!s->Absent || s->Failures == 0)
            continue;
        // At least a millisecond: a try that is due is still a try that waits.
        const milliseconds left = std::max(milliseconds(1), ceil<milliseconds>(s->NotBefore - now));
        if (soonest == milliseconds(0) || left < soonest)
            soonest = left;
    }
    return soonest;
}

void TMidiPortKeeper::Report(const QString &text)
{
    if (FOnReport)
        FOnReport(text);
}

void TMidiPortKeeper::ShowStatus()
{
    if (!FStatus)
        return;
    // Long texts would run off the panel: shortened there, whole in the tooltip.
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
    if (!FProblem.isEmpty())
        return FProblem;
    QStringList parts;
    if (FIn.Absent)
        parts << QStringLiteral("MIDI in: %1 (absent)").arg(FHost.ConfiguredPort(TMidiSide::In));
    if (FOut.Absent)
        parts << QStringLiteral("MIDI out: %1 (absent)").arg(FHost.ConfiguredPort(TMidiSide::Out));
    return parts.join(QStringLiteral("  "));
}
