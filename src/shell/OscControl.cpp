#include "OscControl.h"

#include "PageControl.h"
#include "RemoteControl.h"

#include <lo/lo.h>

#include <QSet>
#include <cstring>
#include <string>

namespace {

const char *const ReasonText[TOscTally::ReasonCount] = {
    "unknown address %1",
    "wrong arguments for %1",
    "name too long in %1",
    "not OSC",
    "packet over %1 bytes",
    "arriving faster than they could be taken",
    "no slot for %1",
    "no control for %1",
    "subscribers beyond %1",
};

// A message built and freed around one send.
class TMessage {
public:
    TMessage() : FMessage(lo_message_new()) {}
    ~TMessage() { lo_message_free(FMessage); }
    TMessage(const TMessage &) = delete;
    TMessage &operator=(const TMessage &) = delete;
    TMessage &Int(int32_t v)
    {
        lo_message_add_int32(FMessage, v);
        return *this;
    }
    TMessage &Text(const QByteArray &v)
    {
        lo_message_add_string(FMessage, v.constData());
        return *this;
    }
    lo_message Get() const { return FMessage; }

private:
    lo_message FMessage;
};

bool AllDigits(const QString &s)
{
    if (s.isEmpty())
        return false;
    for (QChar c : s)
        if (!c.isDigit())
            return false;
    return true;
}

} // namespace

std::optional<QString> TOscReporter::Update(const TOscTally::TTotals &totals, TClock::time_point now)
{
    bool rose = false, newReason = false;
    for (int r = 0; r < TOscTally::ReasonCount; ++r) {
        if (totals.Counts[r] == FSeen[r])
            continue;
        rose = true;
        newReason = newReason || !FToldInBurst[r];
    }
    const bool afterQuiet = !FLastRise || now - *FLastRise >= QuietPeriod;
    if (afterQuiet)
        std::fill(std::begin(FToldInBurst), std::end(FToldInBurst), false);
    std::copy(std::begin(totals.Counts), std::end(totals.Counts), std::begin(FSeen));
    if (!rose)
        return std::nullopt;
    FLastRise = now;
    if (!afterQuiet && !newReason)
        return std::nullopt;
    QStringList clauses;
    for (int r = 0; r < TOscTally::ReasonCount; ++r) {
        const uint64_t n = totals.Counts[r] - FReported[r];
        if (n == 0)
            continue;
        FToldInBurst[r] = true;
        FReported[r] = totals.Counts[r];
        QString reason = QString::fromLatin1(ReasonText[r]);
        if (reason.contains(QStringLiteral("%1")))
            reason = reason.arg(r == TOscTally::Oversized ? QString::number(TOscServer::PacketSize)
                                                          : QString::fromStdString(totals.Examples[r]));
        clauses << (clauses.isEmpty() ? QStringLiteral("%1 message%2 ignored (%3)").arg(n).arg(n == 1 ? QString() : QStringLiteral("s"))
                                  : QStringLiteral("%1 (%2)").arg(n))
                     .arg(reason);
    }
    return QStringLiteral("OSC: ") + clauses.join(QStringLiteral("; "));
}

TOscControl::TOscControl(TKorModulePageControl &pages, QObject *parent) : QObject(parent), FPages(pages)
{
    FServer.OnArrival = [this] { QMetaObject::invokeMethod(this, &TOscControl::Drain, Qt::QueuedConnection); };
    FSubscriptionTimer.setInterval(SubscriptionInterval);
    connect(&FSubscriptionTimer, &QTimer::timeout, this, &TOscControl::SendChanges);
    FReportTimer.setInterval(ReportInterval);
    connect(&FReportTimer, &QTimer::timeout, this, &TOscControl::CheckReport);
}

TOscControl::~TOscControl()
{
    FServer.Stop();
}

QString TOscControl::Listen(const QString &host, int port)
{
    FServer.Stop();
    FSubscribers.clear();
    FSent.clear();
    FSubscriptionTimer.stop();
    if (port <= 0 || port > 65535) {
        FReportTimer.stop();
        return {};
    }
    const QString problem = FServer.Start(host, uint16_t(port));
    if (!problem.isEmpty())
        return QStringLiteral("OSC: cannot listen on %1").arg(problem);
    FReportTimer.start();
    return {};
}

namespace {

bool SameControl(const TOscCommand &a, const TOscCommand &b)
{
    return a.Kind == TOscKind::SetControl && b.Kind == TOscKind::SetControl && std::strcmp(a.Slot, b.Slot) == 0 &&
           std::strcmp(a.Module, b.Module) == 0 && std::strcmp(a.Property, b.Property) == 0;
}

} // namespace

void TOscControl::Drain()
{
    FServer.ArrivalTaken();
    // A fader sends value after value: of the values for one control queued one after
    // another, only the last is set.
    TOscRecord records[2];
    int current = 0;
    if (!FServer.Pop(records[current]))
        return;
    for (int i = 0; i < MaxPerDrain; ++i) {
        const bool more = FServer.Pop(records[1 - current]);
        if (!more || !SameControl(records[current].Command, records[1 - current].Command))
            Apply(records[current]);
        if (!more)
            return;
        current = 1 - current;
    }
    Apply(records[current]);
    // More waiting: the rest after whatever else the loop has to do, so that a flood cannot
    // keep the window from painting.
    QMetaObject::invokeMethod(this, &TOscControl::Drain, Qt::QueuedConnection);
}

TKorSlot *TOscControl::FindSlot(const TOscCommand &c) const
{
    if (c.SlotNumber >= 1 && c.SlotNumber <= FPages.SlotCount())
        return FPages.Slots(c.SlotNumber - 1);
    const QString name = QString::fromUtf8(c.Slot);
    for (int i = 0; i < FPages.SlotCount(); ++i)
        if (FPages.Slots(i)->SlotName() == name)
            return FPages.Slots(i);
    return nullptr;
}

void TOscControl::Apply(const TOscRecord &record)
{
    const TOscCommand &c = record.Command;
    switch (c.Kind) {
    case TOscKind::None:
        return;
    case TOscKind::Run:
        if (OnRun)
            OnRun(c.Value != 0);
        return;
    case TOscKind::AllNotesOff:
        if (OnAllNotesOff)
            OnAllNotesOff();
        return;
    case TOscKind::List:
        SendList(record.From);
        return;
    case TOscKind::Subscribe:
        Subscribe(record.From);
        return;
    case TOscKind::Unsubscribe:
        std::erase(FSubscribers, record.From);
        if (FSubscribers.empty()) {
            FSubscriptionTimer.stop();
            FSent.clear();
        }
        return;
    case TOscKind::SlotActive:
    case TOscKind::SetControl:
        break;
    }
    TKorSlot *slot = FindSlot(c);
    if (!slot || !slot->Sheet()) {
        Tally().Count(TOscTally::NoSuchSlot, c.Slot);
        return;
    }
    if (c.Kind == TOscKind::SlotActive) {
        std::lock_guard lock(slot->Guard().Mutex);
        slot->Sheet()->SetActive(c.Value != 0); // a slot made silent ends its notes
        return;
    }
    // The module list changes only on this thread: looking a control up needs no lock.
    TKorCustomModule *module = nullptr;
    TKorDrawSheet *sheet = slot->Sheet();
    const QString moduleName = QString::fromUtf8(c.Module);
    for (int i = 0; i < sheet->ModuleCount() && !module; ++i)
        if (sheet->Modules(i)->Name() == moduleName)
            module = sheet->Modules(i);
    TControlRef ref;
    if (!module || !FindControl(*module, c.Property, ref)) {
        Tally().Count(TOscTally::NoSuchControl, QStringLiteral("%1/%2").arg(moduleName, QString::fromUtf8(c.Property)).toStdString());
        return;
    }
    bool changed;
    {
        std::lock_guard lock(slot->Guard().Mutex);
        changed = SetControlValue(ref, c.Value);
    }
    if (changed)
        FPages.RemoteChanged(slot);
}

std::vector<TOscControl::TControlState>
TOscControl::Controls(const std::function<bool(TKorCustomModule *, int, int32_t)> &wanted) const
{
    // A slot is named by its name where that is unambiguous, else by its tab number.
    QSet<QString> names, shared;
    for (int i = 0; i < FPages.SlotCount(); ++i) {
        const QString name = FPages.Slots(i)->SlotName();
        if (names.contains(name))
            shared << name;
        names << name;
    }
    std::vector<TControlState> all;
    for (int i = 0; i < FPages.SlotCount(); ++i) {
        TKorSlot *slot = FPages.Slots(i);
        TKorDrawSheet *sheet = slot->Sheet();
        if (!sheet)
            continue;
        const QString name = slot->SlotName();
        const QString prefix = QStringLiteral("/korvane/%1/")
                                   .arg(shared.contains(name) || AllDigits(name) || name.isEmpty() || name.contains(u'/')
                                            ? QString::number(i + 1)
                                            : name);
        // The values may move on the tick thread: read under the lock, let go now and then.
        TPatchPieces pieces(slot->Guard(), TKorSlot::PatchPiece);
        for (int m = 0; m < sheet->ModuleCount(); ++m) {
            TKorCustomModule *module = sheet->Modules(m);
            if (module->Name().isEmpty())
                continue;
            for (const TControlRef &ref : ModuleControls(*module)) {
                const int32_t value = ControlValue(ref);
                if (!wanted || wanted(module, ref.PropertyIndex, value))
                    all.push_back({prefix + module->Name() + u'/' + QString::fromLatin1(ref.Control->Property()),
                                   ref.Range.Min, ref.Range.Max, ref.Range.Step, value, module, ref.PropertyIndex});
            }
            pieces.Breathe();
        }
    }
    return all;
}

void TOscControl::SendValue(const TOscPeer &to, const TControlState &c)
{
    TMessage m;
    m.Int(c.Value);
    FServer.Send(to, c.Address.toUtf8().constData(), m.Get());
}

void TOscControl::SendList(const TOscPeer &to)
{
    const std::vector<TControlState> all = Controls();
    for (const TControlState &c : all) {
        TMessage m;
        m.Text(c.Address.toUtf8()).Int(c.Min).Int(c.Max).Int(c.Step).Int(c.Value);
        FServer.Send(to, "/korvane/list", m.Get());
    }
    TMessage end;
    end.Int(int32_t(all.size()));
    FServer.Send(to, "/korvane/list/end", end.Get());
}

void TOscControl::Subscribe(const TOscPeer &peer)
{
    if (std::find(FSubscribers.begin(), FSubscribers.end(), peer) != FSubscribers.end())
        return;
    if (int(FSubscribers.size()) >= MaxSubscribers) {
        Tally().Count(TOscTally::SubscribersFull, std::to_string(MaxSubscribers));
        return;
    }
    // The newcomer hears every value once, then the changes with everybody else.
    for (const TControlState &c : Controls()) {
        SendValue(peer, c);
        if (FSubscribers.empty())
            FSent.insert({quintptr(c.Module), c.PropertyIndex}, {c.Module, c.Value});
    }
    FSubscribers.push_back(peer);
    FSubscriptionTimer.start();
}

void TOscControl::SendChanges()
{
    if (FSubscribers.empty())
        return;
    QHash<QPair<quintptr, int>, TSent> sent;
    sent.reserve(FSent.size());
    // Sent once the lock is let go: only the changes are collected under it.
    const std::vector<TControlState> changed = Controls([&](TKorCustomModule *module, int property, int32_t value) {
        const QPair<quintptr, int> key{quintptr(module), property};
        const auto before = FSent.constFind(key);
        sent.insert(key, {module, value});
        return before == FSent.cend() || !before->Module || before->Value != value;
    });
    FSent.swap(sent);
    for (const TControlState &c : changed)
        for (const TOscPeer &peer : FSubscribers)
            SendValue(peer, c);
}

void TOscControl::CheckReport()
{
    if (const std::optional<QString> line = FReporter.Update(Tally().Totals(), TOscReporter::TClock::now()); line && OnReport)
        OnReport(*line);
}
