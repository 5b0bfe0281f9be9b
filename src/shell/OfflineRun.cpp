#include "OfflineRun.h"

#include <algorithm>

TOfflineRun::TOfflineRun(TKorModulePageControl &pages, int32_t periodMs) : FPages(pages), FPeriodMs(periodMs)
{
    pages.OnMidiOutShort = [this](QObject *, uint32_t msg) {
        const auto status = uint8_t(msg & 0xFF);
        const int length = ShortMessageLength(status);
        if (length == 0)
            return; // not a message: nothing a port could send either
        QByteArray bytes(length, 0);
        for (int i = 0; i < length; ++i)
            bytes[i] = char((msg >> (8 * i)) & 0xFF);
        Record(bytes);
    };
    pages.OnMidiOutLong = [this](QObject *, const TLongMidi &msg) {
        if (msg.Count > 0 && msg.Data)
            Record(QByteArray(reinterpret_cast<const char *>(msg.Data), qsizetype(msg.Count)));
    };
}

TOfflineRun::~TOfflineRun()
{
    FPages.OnMidiOutShort = nullptr;
    FPages.OnMidiOutLong = nullptr;
}

void TOfflineRun::Run(int64_t ticks, const std::vector<TTimedMidi> &input)
{
    auto next = input.begin();
    for (FTick = 0; FTick < ticks; ++FTick) {
        for (; next != input.end() && next->Ms / FPeriodMs <= FTick; ++next)
            Deliver(next->Bytes);
        try {
            FPages.Execute();
        } catch (const std::exception &e) {
            if (FFailedTicks++ == 0)
                FFirstFailure = QString::fromUtf8(e.what());
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
