// The output port over loopback devices: choosing a device by number and by name, opening and
// closing, what reaches the device for short and long messages, the completion of long messages
// on the user-interface thread, and the texts that failures of the services become.
#include "MidiOut.h"
#include "MidiTestSupport.h"

#include <QThread>
#include <gtest/gtest.h>

#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

struct TOutputFixture {
    std::shared_ptr<TLoopbackMidi> Midi =
        std::make_shared<TLoopbackMidi>(QStringList{}, QStringList{"Synth A", "Synth B"});
    TMidiOutput Out{nullptr, Midi};
};

// Runs `action` and returns the text of the EMidiOutputError it raises ("" when none).
template <class F>
QString OutputError(F &&action)
{
    try {
        action();
    } catch (const EMidiOutputError &e) {
        return e.Message();
    }
    return {};
}

TEST(MidiOutput, ChoosesDevicesByNumberAndByExactName)
{
    TOutputFixture f;
    int changes = 0;
    f.Out.SetOnDeviceChanged([&](QObject *) { ++changes; });
    EXPECT_EQ(f.Out.NumDevs(), 2);
    EXPECT_EQ(f.Out.ProductName(), "") << "a new output port selects nothing";

    f.Out.SetDeviceID(MidiMapper);
    EXPECT_EQ(f.Out.ProductName(), "Korvane") << "the mapper, although not below the device count";
    EXPECT_EQ(f.Out.Technology(), MidiTechMapper);

    f.Out.SetProductName("Synth B");
    EXPECT_EQ(f.Out.DeviceID(), 1u);
    EXPECT_EQ(f.Out.ProductName(), "Synth B");
    EXPECT_EQ(changes, 2);

    struct Row {
        const char *Name;
        std::function<void(TMidiOutput &)> Select;
        const char *Error;
    };
    const std::vector<Row> rows = {
        {"letter case differs", [](TMidiOutput &o) { o.SetProductName("synth a"); },
         "MIDI output Device synth a not installed"},
        {"unknown name", [](TMidiOutput &o) { o.SetProductName("Nowhere"); },
         "MIDI output Device Nowhere not installed"},
        {"number past the list", [](TMidiOutput &o) { o.SetDeviceID(2); }, "Invalid device ID"},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(OutputError([&] { r.Select(f.Out); }), r.Error) << r.Name;
        EXPECT_EQ(f.Out.DeviceID(), 1u) << r.Name << ": the device stays";
        EXPECT_EQ(f.Out.ProductName(), "Synth B") << r.Name;
    }
    EXPECT_EQ(changes, 2) << "failures change nothing";
}

TEST(MidiOutput, EmptyNameOnAFreshPortIsAnInvalidDeviceEvenWithDevices)
{
    // What a first start without a settings file does; it must not pick some device instead.
    TOutputFixture f;
    EXPECT_EQ(OutputError([&] { f.Out.SetProductName(""); }), "Invalid device ID");
}

TEST(MidiOutput, WithoutDevicesOnlyTheMapperCanBeChosen)
{
    auto midi = std::make_shared<TLoopbackMidi>();
    TMidiOutput out(nullptr, midi);
    EXPECT_EQ(OutputError([&] { out.SetProductName("Synth A"); }), "MIDI output Device Synth A not installed");
    out.SetProductName("Korvane");
    EXPECT_EQ(out.DeviceID(), MidiMapper);
    ASSERT_TRUE(out.Open());
    out.PutShort(0x90, 60, 100);
    EXPECT_EQ(midi->Sent(MidiMapper), std::vector<Bytes>({{0x90, 60, 100}}));
}

TEST(MidiOutput, ChangesWhileOpenRaiseAndKeepTheDevice)
{
    TOutputFixture f;
    f.Out.SetDeviceID(1);
    ASSERT_TRUE(f.Out.Open());
    EXPECT_EQ(OutputError([&] { f.Out.SetDeviceID(0); }), "Change to DeviceID while device was open");
    EXPECT_EQ(OutputError([&] { f.Out.SetProductName("Synth A"); }), "Change to ProductName while device was open");
    EXPECT_EQ(f.Out.DeviceID(), 1u);
    EXPECT_EQ(f.Out.ProductName(), "Synth B");
    f.Out.PutShort(0x90, 1, 2);
    EXPECT_EQ(f.Midi->Sent(1).size(), 1u) << "still sending to the old device";

    EXPECT_TRUE(f.Out.ChangeDevice(0, true));
    EXPECT_TRUE(f.Out.IsOpen());
    f.Out.PutShort(0x80, 1, 0);
    EXPECT_EQ(f.Midi->Sent(0), std::vector<Bytes>({{0x80, 1, 0}}));
    EXPECT_FALSE(f.Out.ChangeDevice(1, false));
    EXPECT_FALSE(f.Out.IsOpen());
    EXPECT_EQ(f.Midi->OpenDevices(), 0);
    EXPECT_TRUE(f.Out.Open());
    EXPECT_TRUE(f.Out.Open()) << "opening an open port keeps its one device";
    EXPECT_EQ(f.Midi->OpenDevices(), 1);
    EXPECT_TRUE(f.Out.Close());
    EXPECT_FALSE(f.Out.Close());
    EXPECT_EQ(f.Midi->OpenDevices(), 0);
}

TEST(MidiOutput, ShortMessagesReachTheDeviceAsTheirBytes)
{
    struct Row {
        const char *Name;
        uint8_t Status, Data1, Data2;
        Bytes Sent;
    };
    const std::vector<Row> rows = {
        {"note on, key 60, velocity 100", 144, 60, 100, {144, 60, 100}},
        {"pitch bend", 0xE5, 0, 64, {0xE5, 0, 64}},
        {"program change has one data byte", 0xC3, 5, 77, {0xC3, 5}},
        {"channel pressure has one data byte", 0xD0, 9, 0, {0xD0, 9}},
        {"song position has two", 0xF2, 1, 2, {0xF2, 1, 2}},
        {"timing clock has none", 0xF8, 0, 0, {0xF8}},
    };
    TOutputFixture f;
    f.Out.SetDeviceID(0);
    ASSERT_TRUE(f.Out.Open());
    for (const Row &r : rows) {
        f.Midi->ClearSent();
        f.Out.PutShort(r.Status, r.Data1, r.Data2);
        EXPECT_EQ(f.Midi->Sent(0), std::vector<Bytes>({r.Sent})) << r.Name;
    }
}

TEST(MidiOutput, SendingOnAClosedPortRaises)
{
    TOutputFixture f;
    const uint8_t bytes[] = {0xF0, 1, 0xF7};
    TMyMidiEvent event;
    EXPECT_EQ(OutputError([&] { f.Out.PutShort(0x90, 60, 100); }), "(Short Msg) Device not opened.");
    EXPECT_EQ(OutputError([&] { f.Out.PutLong(bytes, 3); }), "(Long Msg) Device not opened.");
    EXPECT_EQ(OutputError([&] { f.Out.PutMidiEvent(event); }), "MIDI Output device not open");
    EXPECT_TRUE(f.Midi->Sent(0).empty());
}

TEST(MidiOutput, PutMidiEventSendsTheSysexWhenThereIsOne)
{
    TOutputFixture f;
    f.Out.SetDeviceID(0);
    ASSERT_TRUE(f.Out.Open());
    TMyMidiEvent note;
    note.MidiMessage = 0x91;
    note.Data1 = 64;
    note.Data2 = 1;
    f.Out.PutMidiEvent(note);
    TMyMidiEvent sysex;
    sysex.MidiMessage = 240;
    sysex.SysexLength = 4;
    sysex.Sysex = std::make_unique<uint8_t[]>(4);
    const Bytes bytes = {0xF0, 0x7E, 0x01, 0xF7};
    std::copy(bytes.begin(), bytes.end(), sysex.Sysex.get());
    f.Out.PutMidiEvent(sysex);
    EXPECT_EQ(f.Midi->Sent(0), std::vector<Bytes>({{0x91, 64, 1}, bytes}));
}

TEST(MidiOutput, LongMessageFromAnotherThreadCompletesOnTheUserInterfaceThread)
{
    TOutputFixture f;
    f.Out.SetDeviceID(0);
    ASSERT_TRUE(f.Out.Open());
    int done = 0;
    bool onUiThread = false;
    f.Out.SetOnMidiOutput([&](QObject *sender) {
        ++done;
        onUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
        EXPECT_EQ(sender, &f.Out);
    });
    const Bytes message = SysexOf(300);
    std::thread player([&] { f.Out.PutLong(message.data(), uint16_t(message.size())); });
    player.join();
    EXPECT_EQ(done, 0) << "reported through this thread's event queue, not from the player";
    ASSERT_TRUE(WaitFor([&] { return done == 1; }));
    EXPECT_TRUE(onUiThread);
    EXPECT_EQ(f.Midi->Sent(0), std::vector<Bytes>({message}));
    Settle();
    EXPECT_EQ(done, 1);
}

TEST(MidiOutput, PortFreedBeforeItsCompletionIsHandledLosesNothingAndReportsNothing)
{
    auto midi = std::make_shared<TLoopbackMidi>(QStringList{}, QStringList{"Synth A"});
    int done = 0;
    {
        TMidiOutput out(nullptr, midi);
        out.SetDeviceID(0);
        out.Open();
        out.SetOnMidiOutput([&](QObject *) { ++done; });
        const Bytes message = SysexOf(20);
        out.PutLong(message.data(), uint16_t(message.size()));
    }
    Settle();
    EXPECT_EQ(done, 0);
    EXPECT_EQ(midi->OpenDevices(), 0) << "the port closed its device as it went";
}

TEST(MidiOutput, FailuresOfTheServicesBecomeTheirTexts)
{
    const Bytes sysex = SysexOf(8);
    auto sendShort = [](TMidiOutput &o) { o.PutShort(0x90, 60, 100); };
    auto sendLong = [&](TMidiOutput &o) { o.PutLong(sysex.data(), uint16_t(sysex.size())); };
    struct Row {
        const char *Name;
        TLoopbackCall Call;
        uint32_t Code;
        std::function<void(TMidiOutput &)> Action;
        const char *Text;
    };
    const std::vector<Row> rows = {
        {"short, invalid handle", TLoopbackCall::OutShortMsg, 5, sendShort,
         "(Short Msg) The specified device handle is invalid."},
        {"short, busy", TLoopbackCall::OutShortMsg, 67, sendShort, "(Short Msg) The hardware is busy with other data."},
        {"short, no status", TLoopbackCall::OutShortMsg, 70, sendShort,
         "(Short Msg) The application sent a message without a status byte to a stream handle."},
        {"short, code without a context text", TLoopbackCall::OutShortMsg, 4, sendShort,
         "The MIDI device is already in use."},
        {"short, code without any text", TLoopbackCall::OutShortMsg, 999, sendShort,
         "Specified error number is out of range"},
        {"long, invalid handle", TLoopbackCall::OutLongMsg, 5, sendLong,
         "(Long Msg) The specified device handle is invalid."},
        {"long, invalid pointer", TLoopbackCall::OutLongMsg, 11, sendLong,
         "(Long Msg) The specified pointer or structure is invalid."},
        {"long, unprepared", TLoopbackCall::OutLongMsg, 64, sendLong,
         "(Long Msg) The buffer pointed to by lpMidiOutHdr has not been prepared."},
        {"long, busy", TLoopbackCall::OutLongMsg, 67, sendLong, "(Long Msg) The hardware is busy with other data."},
        {"prepare, invalid handle", TLoopbackCall::OutPrepareHeader, 5, sendLong,
         "(Prep Header) The specified device handle is invalid."},
        {"prepare, no memory", TLoopbackCall::OutPrepareHeader, 7, sendLong,
         "(Prep Header) The system is unable to allocate or lock memory."},
        {"prepare, invalid parameter", TLoopbackCall::OutPrepareHeader, 11, sendLong,
         "(Prep Header) The specified address is invalid or the given stream buffer is greater than 64K."},
        {"prepare, general text otherwise", TLoopbackCall::OutPrepareHeader, 67, sendLong,
         "The MIDI device is busy with other data."},
        {"close keeps the port open", TLoopbackCall::OutClose, 5, [](TMidiOutput &o) { o.Close(); },
         "The MIDI device handle is invalid."},
    };
    for (const Row &r : rows) {
        TOutputFixture f;
        f.Out.SetDeviceID(0);
        ASSERT_TRUE(f.Out.Open());
        f.Midi->FailNext(r.Call, r.Code);
        EXPECT_EQ(OutputError([&] { r.Action(f.Out); }), r.Text) << r.Name;
        EXPECT_EQ(f.Out.Error(), r.Code) << r.Name;
        EXPECT_TRUE(f.Out.IsOpen()) << r.Name;
        EXPECT_EQ(f.Out.DeviceID(), 0u) << r.Name;
        EXPECT_TRUE(f.Midi->Sent(0).empty()) << r.Name;
        // The failed call is over: the next one goes through.
        r.Action(f.Out);
    }
}

TEST(MidiOutput, UnreadableCapabilitiesKeepTheDevice)
{
    TOutputFixture f;
    f.Out.SetDeviceID(0);
    f.Midi->FailNext(TLoopbackCall::OutGetDevCaps, MidiErrUnspecified);
    EXPECT_EQ(OutputError([&] { f.Out.SetDeviceID(1); }), "Unspecified MIDI error.");
    EXPECT_EQ(f.Out.DeviceID(), 0u);
    EXPECT_EQ(f.Out.ProductName(), "Synth A");
}

TEST(MidiOutput, AFailedOpenLeavesThePortClosed)
{
    TOutputFixture f;
    f.Midi->FailNext(TLoopbackCall::OutOpen, MidiErrAllocated);
    EXPECT_EQ(OutputError([&] { f.Out.Open(); }), "The MIDI device is already in use.");
    EXPECT_FALSE(f.Out.IsOpen());
    EXPECT_EQ(f.Midi->OpenDevices(), 0);
    EXPECT_TRUE(f.Out.Open());
}

TEST(MidiOutput, AShortMessageWithoutStatusByteIsRefusedByTheDevice)
{
    TOutputFixture f;
    f.Out.SetDeviceID(0);
    f.Out.Open();
    EXPECT_EQ(OutputError([&] { f.Out.PutShort(60, 100, 0); }),
              "(Short Msg) The application sent a message without a status byte to a stream handle.");
    EXPECT_TRUE(f.Midi->Sent(0).empty());
}

} // namespace
