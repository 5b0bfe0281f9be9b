#include "OfflineRun.h"

#include "ClockModules.h"

#include <QTextStream>
#include <algorithm>

TOfflineRun::TOfflineRun(TKorModulePageControl &pages, int32_t periodMs, TSink sink)
    : FPages(pages), FPeriodMs(periodMs), FSink(std::move(sink))
{
    pages.OnMidiOutShort = [this](QObject *, uint32_t msg) {
        const auto status = uint8_t(msg & 0xFF);
        const int length = ShortMessageLength(status);
        if (length == 0)
            return; // not a message: nothing a port could send either
        char bytes[3];
        for (int i = 0; i < length; ++i)
            bytes[i] = char((msg >> (8 * i)) & 0xFF);
        Record(bytes, size_t(length));
    };
    pages.OnMidiOutLong = [this](QObject *, const TLongMidi &msg) {
        if (msg.Count > 0 && msg.Data)
            Record(reinterpret_cast<const char *>(msg.Data), size_t(msg.Count));
    };
}

TOfflineRun::~TOfflineRun()
{
    FPages.OnMidiOutShort = nullptr;
    FPages.OnMidiOutLong = nullptr;
}

void TOfflineRun::Record(const char *bytes, size_t size)
{
    FTickBytes.insert(FTickBytes.end(), bytes, bytes + size);
    FTickSizes.push_back(size);
}

void TOfflineRun::Run(int64_t ticks, const std::vector<TTimedMidi> &input)
{
    auto next = input.begin();
    for (FTick = 0; FTick < ticks; ++FTick) {
        FTickBytes.clear();
        FTickSizes.clear();
        for (; next != input.end() && next->Ms / FPeriodMs <= FTick; ++next) {
            SetMidiArrivalTime(next->Ms); // the clock modules time what arrives by the file's clock
            Deliver(next->Bytes);
        }
        FPages.Execute();
        // Outside Execute, so that the sink's errors end the run instead of counting as ticks.
        const char *at = FTickBytes.data();
        for (const size_t size : FTickSizes) {
            FSink(FTick, at, size);
            at += size;
        }
    }
}

void TOfflineRun::Deliver(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (uint8_t(bytes[0]) == 0xF0) {
        FPages.MidiInLong({uint32_t(bytes.size()), reinterpret_cast<const uint8_t *>(bytes.constData())});
        return;
    }
    uint32_t msg = 0;
    for (qsizetype i = 0; i < std::min<qsizetype>(bytes.size(), 3); ++i)
        msg |= uint32_t(uint8_t(bytes[i])) << (8 * i);
    FPages.MidiInShort(msg);
}

bool ReportTickErrors(const TKorModulePageControl &pages, QTextStream &err)
{
    bool any = false;
    for (int i = 0; i < pages.SlotCount(); ++i) {
        const TKorSlot *slot = pages.Slots(i);
        const TKorSlot::TTickErrors errors = slot->TickErrors();
        if (errors.TicksFailed == 0)
            continue;
        any = true;
        // One multi-argument call, so that a "%1" in a name or message stays as it is.
        err << QStringLiteral("%1 (%2): %3 of %4 ticks raised \"%5\"; the first at tick %6")
                   .arg(slot->SlotName(), slot->SlotFileName(), QString::number(errors.TicksFailed),
                        QString::number(errors.TicksRun), errors.FirstError, QString::number(errors.FirstTick))
            << Qt::endl;
    }
    return any;
}
