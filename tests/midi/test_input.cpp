// The input port over loopback devices: the filters, SysexOnly, the ring's overflow, system-
// exclusive buffers lent to the device and given back, settings that cannot change while open,
// choosing a device by name, and the hand-over from the back end's thread.
#include "CircBuf.h"
#include "MidiOut.h"
#include "MidiTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

struct TInputFixture {
    std::shared_ptr<TLoopbackMidi> Midi =
        std::make_shared<TLoopbackMidi>(QStringList{"Keys", "Pads"}, QStringList{"Synth"});
    TMidiInput In{nullptr, Midi};
    TInputRecorder Taken{In};

    void OpenAndStart()
    {
        ASSERT_TRUE(In.Open());
        In.Start();
    }
    void Inject(const std::vector<Bytes> &messages)
    {
        for (const Bytes &m : messages)
            ASSERT_TRUE(Midi->Inject(In.DeviceID(), m));
    }
};

template <class F>
QString InputError(F &&action)
{
    try {
        action();
    } catch (const EMidiInputError &e) {
        return e.Message();
    }
    return {};
}

std::vector<Bytes> ShortsOf(const std::vector<TTaken> &events)
{
    std::vector<Bytes> out;
    for (const TTaken &t : events) {
        Bytes b{t.Status, t.Data1, t.Data2};
        // Trim the data bytes a message does not have, so rows read like the wire.
        if (t.Status == 0xF8 || t.Status == 0xFE)
            b.resize(1);
        else if (t.Status == 0xF1)
            b.resize(2);
        out.push_back(b);
    }
    return out;
}

TEST(MidiInput, FiltersDropTimingClockAndActiveSensingButNeverTheQuarterFrameOrSongPosition)
{
    const Bytes clock = {0xF8}, sensing = {0xFE}, quarterFrame = {0xF1, 0x23}, note = {0x90, 60, 100};
    const Bytes songPosition = {0xF2, 0x05, 0x01};
    struct Row {
        const char *Name;
        std::optional<TMidiMsgFilter> Filter; // none: the port's default
        bool SetWhileOpen;
        std::vector<Bytes> Arrive;
    };
    using M = TMidiMsg;
    const std::vector<Row> rows = {
        {"default filter", std::nullopt, false, {quarterFrame, songPosition, note}},
        {"nothing filtered", TMidiMsgFilter{}, false, {clock, sensing, quarterFrame, songPosition, note}},
        {"active sensing only", TMidiMsgFilter{M::msgActiveSensing}, false, {clock, quarterFrame, songPosition, note}},
        {"time code drops the clock", TMidiMsgFilter{M::msgMidiTimeCode}, false,
         {sensing, quarterFrame, songPosition, note}},
        {"changed while open", TMidiMsgFilter{}, true, {clock, sensing, quarterFrame, songPosition, note}},
    };
    for (const Row &r : rows) {
        TInputFixture f;
        if (r.Filter && !r.SetWhileOpen)
            f.In.SetFilteredMessages(*r.Filter);
        f.OpenAndStart();
        if (r.Filter && r.SetWhileOpen)
            f.In.SetFilteredMessages(*r.Filter);
        f.Inject({clock, sensing, quarterFrame, songPosition, note});
        WaitFor([&] { return f.Taken.Events.size() >= r.Arrive.size(); }, 2000);
        Settle();
        EXPECT_EQ(ShortsOf(f.Taken.Events), r.Arrive) << r.Name;
        EXPECT_EQ(f.Taken.Notifications, int(r.Arrive.size())) << r.Name << ": one announcement per kept event";
    }
}

TEST(MidiInput, StampsEventsInMicrosecondsSinceStart)
{
    TInputFixture f;
    std::vector<std::pair<uint32_t, uint64_t>> stamps; // ms and us, as the port hands them over
    f.In.SetOnMidiInput([&](QObject *) {
        if (auto e = f.In.GetMidiEvent())
            stamps.emplace_back(e->Time, e->TimeUs);
    });
    f.OpenAndStart();
    // Closer together than a millisecond: stamps in whole ms would repeat.
    for (int i = 0; i < 10; ++i) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
        while (std::chrono::steady_clock::now() < until) {
        }
        f.Inject({{0x90, 60, uint8_t(i)}});
    }
    ASSERT_TRUE(WaitFor([&] { return stamps.size() == 10; }));
    for (size_t i = 0; i < stamps.size(); ++i) {
        EXPECT_EQ(stamps[i].first, stamps[i].second / 1000) << "event " << i;
        if (i > 0) {
            EXPECT_GE(stamps[i].second - stamps[i - 1].second, 300u) << "event " << i;
        }
    }
}

TEST(MidiInput, SysexOnlyDropsShortMessagesAndCanBeTurnedOffWhileOpen)
{
    TInputFixture f;
    f.In.SetSysexOnly(true);
    f.OpenAndStart();
    const Bytes sysex = SysexOf(6);
    f.Inject({{0x90, 60, 100}, sysex, {0x80, 60, 0}});
    ASSERT_TRUE(WaitFor([&] { return !f.Taken.Events.empty(); }));
    Settle();
    ASSERT_EQ(f.Taken.Events.size(), 1u);
    EXPECT_EQ(f.Taken.Events[0].Status, 240);
    EXPECT_EQ(f.Taken.Events[0].Sysex, sysex);

    f.In.SetSysexOnly(false);
    f.Inject({{0x90, 61, 1}});
    ASSERT_TRUE(WaitFor([&] { return f.Taken.Events.size() == 2; }));
    EXPECT_EQ(f.Taken.Events[1].Data1, 61);
}

TEST(MidiInput, FullRingRaisesOneOverflowAndTheFirstEventsArriveInOrder)
{
    TInputFixture f;
    ASSERT_EQ(f.In.Capacity(), 1024);
    f.OpenAndStart();
    // The back end's thread delivers while this thread, the only consumer, is busy waiting.
    std::thread device([&] {
        for (int i = 0; i < 1025; ++i)
            f.Midi->Inject(0, {0x90, uint8_t(i % 128), uint8_t(i / 128)});
    });
    device.join();
    EXPECT_EQ(f.In.MessageCount(), 1024);
    ASSERT_TRUE(WaitFor([&] { return f.Taken.Events.size() == 1024 && f.Taken.Overflows == 1; }));
    Settle();
    EXPECT_EQ(f.Taken.Overflows, 1);
    ASSERT_EQ(f.Taken.Events.size(), 1024u);
    for (int i = 0; i < 1024; ++i) {
        const TTaken &t = f.Taken.Events[size_t(i)];
        ASSERT_EQ(t.Data1 + 128 * t.Data2, i) << "event " << i;
    }
    // Room again: nothing is stuck.
    f.Inject({{0x80, 1, 2}});
    ASSERT_TRUE(WaitFor([&] { return f.Taken.Events.size() == 1025; }));
}

TEST(MidiInput, SysexArrivesAsOneEventAndItsBufferGoesBackToTheDevice)
{
    TInputFixture f;
    f.OpenAndStart();
    EXPECT_EQ(f.Midi->LentBuffers(0), 16);
    const Bytes sysex = SysexOf(300);
    f.In.SetOnMidiInput({}); // look at the ring before anybody takes the event
    f.Inject({sysex});
    ASSERT_TRUE(WaitFor([&] { return f.In.MessageCount() == 1; }));
    EXPECT_EQ(f.Midi->LentBuffers(0), 15) << "the filled buffer is with the port";
    auto event = f.In.GetMidiEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->MidiMessage, 240);
    EXPECT_EQ(event->SysexLength, 300);
    EXPECT_EQ(Bytes(event->Sysex.get(), event->Sysex.get() + event->SysexLength), sysex);
    EXPECT_EQ(f.Midi->LentBuffers(0), 16);
    EXPECT_EQ(f.In.GetMidiEvent(), nullptr);
}

TEST(MidiInput, SysexLongerThanOneBufferArrivesAsSeveralEvents)
{
    TInputFixture f;
    f.In.SetSysexBufferSize(100);
    f.OpenAndStart();
    const Bytes sysex = SysexOf(250);
    f.Inject({sysex});
    ASSERT_TRUE(WaitFor([&] { return f.Taken.Events.size() == 3; }));
    Bytes joined;
    std::vector<size_t> sizes;
    for (const TTaken &t : f.Taken.Events) {
        EXPECT_EQ(t.Status, 240);
        sizes.push_back(t.Sysex.size());
        joined.insert(joined.end(), t.Sysex.begin(), t.Sysex.end());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{100, 100, 50}));
    EXPECT_EQ(joined, sysex);
    EXPECT_EQ(f.Midi->LentBuffers(0), 16);
}

TEST(MidiInput, SettingsChangedWhileOpenRaiseAndKeepTheirValues)
{
    TInputFixture f;
    f.In.SetSysexBufferSize(512);
    f.In.SetSysexBufferCount(4);
    ASSERT_TRUE(f.In.Open());
    struct Row {
        const char *Name;
        std::function<void(TMidiInput &)> Change;
        const char *Error;
    };
    const std::vector<Row> rows = {
        {"DeviceID", [](TMidiInput &i) { i.SetDeviceID(1); }, "Change to DeviceID while device was open"},
        {"ProductName", [](TMidiInput &i) { i.SetProductName("Pads"); }, "Change to ProductName while device was open"},
        {"SysexBufferSize", [](TMidiInput &i) { i.SetSysexBufferSize(64); },
         "Change to SysexBufferSize while device was open"},
        {"SysexBufferCount", [](TMidiInput &i) { i.SetSysexBufferCount(2); },
         "Change to SysexBufferCount while device was open"},
    };
    for (const Row &r : rows)
        EXPECT_EQ(InputError([&] { r.Change(f.In); }), r.Error) << r.Name;
    EXPECT_EQ(f.In.DeviceID(), 0u);
    EXPECT_EQ(f.In.ProductName(), "Keys");
    EXPECT_EQ(f.In.SysexBufferSize(), 512);
    EXPECT_EQ(f.In.SysexBufferCount(), 4);
    EXPECT_EQ(f.Midi->LentBuffers(0), 4);
}

TEST(MidiInput, ChoosingByNameWithoutAnyDevice)
{
    auto midi = std::make_shared<TLoopbackMidi>();
    TMidiInput in(nullptr, midi);
    EXPECT_EQ(in.ProductName(), "");
    EXPECT_EQ(InputError([&] { in.SetProductName("Keys"); }), "MIDI Input Device Keys not installed ");
    EXPECT_EQ(InputError([&] { in.SetProductName(""); }), "Invalid device ID");
    EXPECT_EQ(InputError([&] { in.SetDeviceID(0); }), "Invalid device ID");
}

TEST(MidiInput, ChoosingByNameWithDevices)
{
    TInputFixture f;
    EXPECT_EQ(f.In.DeviceID(), 0u) << "creation selects the first device";
    EXPECT_EQ(f.In.ProductName(), "Keys");
    int changes = 0;
    f.In.SetOnDeviceChanged([&](QObject *) { ++changes; });
    f.In.SetProductName("Pads");
    EXPECT_EQ(f.In.DeviceID(), 1u);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(InputError([&] { f.In.SetProductName(""); }), "MIDI Input Device  not installed ");
    EXPECT_EQ(InputError([&] { f.In.SetProductName("keys"); }), "MIDI Input Device keys not installed ")
        << "letter case matters";
    EXPECT_EQ(f.In.ProductName(), "Pads");
    EXPECT_EQ(changes, 1);
}

TEST(MidiInput, DeliversOnlyBetweenStartAndStop)
{
    TInputFixture f;
    ASSERT_TRUE(f.In.Open());
    f.Inject({{0x90, 1, 1}});
    f.In.Start();
    f.Inject({{0x90, 2, 2}});
    f.In.Stop();
    f.Inject({{0x90, 3, 3}});
    WaitFor([&] { return f.Taken.Events.size() >= 2; }, 500);
    EXPECT_EQ(ShortsOf(f.Taken.Events), (std::vector<Bytes>{{0x90, 2, 2}}));
}

TEST(MidiInput, CloseTakesTheBuffersBackAndSilencesAnnouncementsOnTheirWay)
{
    TInputFixture f;
    f.OpenAndStart();
    f.Inject({{0x90, 1, 1}, SysexOf(10)});
    f.In.Close(); // before this thread has seen either announcement
    Settle();
    EXPECT_EQ(f.Taken.Notifications, 0);
    EXPECT_EQ(f.In.MessageCount(), 0);
    EXPECT_EQ(f.In.GetMidiEvent(), nullptr);
    EXPECT_EQ(f.Midi->OpenDevices(), 0);

    f.OpenAndStart();
    EXPECT_EQ(f.In.MessageCount(), 0) << "a fresh ring";
    EXPECT_EQ(f.Midi->LentBuffers(0), 16) << "a full pool again";
    f.Inject({{0x90, 5, 5}});
    ASSERT_TRUE(WaitFor([&] { return f.Taken.Events.size() == 1; }));
}

TEST(MidiInput, ABufferThatCannotGoBackKeepsItsEventInTheRing)
{
    TInputFixture f;
    f.In.SetOnMidiInput({});
    f.OpenAndStart();
    const Bytes sysex = SysexOf(40);
    f.Inject({sysex});
    f.Midi->FailNext(TLoopbackCall::InAddBuffer, MidiErrNoMemory);
    EXPECT_EQ(InputError([&] { f.In.GetMidiEvent(); }), "Unable to allocate memory for MIDI.");
    EXPECT_EQ(f.In.Error(), MidiErrNoMemory);
    EXPECT_EQ(f.In.MessageCount(), 1);
    auto again = f.In.GetMidiEvent();
    ASSERT_TRUE(again);
    EXPECT_EQ(Bytes(again->Sysex.get(), again->Sysex.get() + again->SysexLength), sysex) << "nothing lost";
    EXPECT_EQ(f.Midi->LentBuffers(0), 16);
}

TEST(MidiInput, AFailedOpenHoldsNoDevice)
{
    struct Row {
        const char *Name;
        TLoopbackCall Call;
        uint32_t Code;
        const char *Text;
    };
    const std::vector<Row> rows = {
        {"open", TLoopbackCall::InOpen, MidiErrAllocated, "The MIDI device is already in use."},
        {"preparing a buffer", TLoopbackCall::InPrepareHeader, MidiErrNoMemory, "Unable to allocate memory for MIDI."},
        {"lending a buffer", TLoopbackCall::InAddBuffer, MidiErrInvalidParam,
         "An invalid parameter was passed to a MIDI service."},
        {"code without text", TLoopbackCall::InOpen, 500, "Specified error number is out of range"},
    };
    for (const Row &r : rows) {
        TInputFixture f;
        f.Midi->FailNext(r.Call, r.Code);
        EXPECT_EQ(InputError([&] { f.In.Open(); }), r.Text) << r.Name;
        EXPECT_EQ(f.In.Error(), r.Code) << r.Name;
        EXPECT_FALSE(f.In.IsOpen()) << r.Name;
        EXPECT_EQ(f.Midi->OpenDevices(), 0) << r.Name;
        f.OpenAndStart();
        f.Inject({{0x90, 1, 1}});
        EXPECT_TRUE(WaitFor([&] { return f.Taken.Events.size() == 1; })) << r.Name << ": opens on the next try";
    }
}

TEST(MidiInput, AFailedCloseKeepsThePortOpenToTryAgain)
{
    TInputFixture f;
    f.OpenAndStart();
    f.Midi->FailNext(TLoopbackCall::InClose, MidiErrInvalidHandle);
    EXPECT_EQ(InputError([&] { f.In.Close(); }), "The MIDI device handle is invalid.");
    EXPECT_TRUE(f.In.IsOpen());
    f.In.Close();
    EXPECT_FALSE(f.In.IsOpen());
    EXPECT_EQ(f.Midi->OpenDevices(), 0);
}

TEST(MidiInput, WiredLoopbackCarriesOutputToInput)
{
    // How a headless run plays into its own input.
    TInputFixture f;
    f.Midi->Wire(0, 0);
    TMidiOutput out(nullptr, f.Midi);
    out.SetDeviceID(0);
    out.Open();
    f.OpenAndStart();
    out.PutShort(0xB0, 7, 100);
    const Bytes sysex = SysexOf(12);
    out.PutLong(sysex.data(), uint16_t(sysex.size()));
    ASSERT_TRUE(WaitFor([&] { return f.Taken.Events.size() == 2; }));
    EXPECT_EQ(ShortsOf({f.Taken.Events[0]}), (std::vector<Bytes>{{0xB0, 7, 100}}));
    EXPECT_EQ(f.Taken.Events[1].Sysex, sysex);
}

TEST(CircularBuffer, OneProducerAndOneConsumerLoseNothingAcrossManyWraps)
{
    auto ring = TCircularBuffer::Create(7);
    ASSERT_TRUE(ring);
    constexpr uint32_t Count = 50000;
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        for (uint32_t i = 0; i < Count && !stop;) {
            if (ring->PutEvent({i, i * 3, nullptr}))
                ++i;
            else
                std::this_thread::yield();
        }
    });
    uint32_t next = 0;
    QDeadlineTimer deadline(60000);
    while (next < Count && !deadline.hasExpired()) {
        const TMidiBufferItem *item = ring->ReadEvent();
        if (item == nullptr) {
            std::this_thread::yield();
            continue;
        }
        if (item->Timestamp != next || item->Data != next * 3)
            break;
        ring->RemoveEvent();
        ++next;
    }
    stop = true;
    producer.join();
    EXPECT_EQ(next, Count) << "items arrive whole and in order";
    EXPECT_EQ(ring->EventCount(), 0);
}

TEST(CircularBuffer, ARingOfNoItemsRefusesEverything)
{
    auto ring = TCircularBuffer::Create(0);
    ASSERT_TRUE(ring);
    EXPECT_FALSE(ring->PutEvent({1, 2, nullptr}));
    EXPECT_EQ(ring->ReadEvent(), nullptr);
}

} // namespace
