// The back ends over MIDI systems: choosing the API by name, a missing ALSA sequencer explained
// instead of a crash, and real MIDI over a JACK server of the test's own (jackd with its dummy
// driver), through Korvane's own JACK clients and through RtMidi's: notes out to
// jack_midi_dump, through a chosen port and through Korvane's own port, and notes in from
// jack_midiseq.
#include "FrmMidDlg.h"
#include "MidiOut.h"
#include "JackTestServer.h"
#include "MidiTestSupport.h"

#include <QComboBox>
#include <QLabel>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <atomic>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

TEST(MidiApi, NamesChooseTheBackEnd)
{
    EXPECT_EQ(MidiApiFromName("alsa"), TMidiApi::Alsa);
    EXPECT_EQ(MidiApiFromName(" JACK "), TMidiApi::Jack);
    EXPECT_EQ(MidiApiFromName("oss"), std::nullopt);
    EXPECT_EQ(MidiApiFromName(""), std::nullopt);
    EXPECT_EQ(MidiApiName(TMidiApi::Jack), "jack");

    auto loopback = std::make_shared<TLoopbackMidi>();
    SetMidiServices(loopback);
    EXPECT_FALSE(UseMidiApi("bogus"));
    EXPECT_EQ(MidiServices(), loopback) << "an unknown name changes nothing";
    TMidiOutput out;
    EXPECT_EQ(&out.Services(), loopback.get()) << "ports take the installed services";
    SetMidiServices(nullptr);
}

TEST(MidiPortNames, AreTheNamesASavedSettingFindsAgainTomorrow)
{
    struct Row {
        const char *Name;
        std::vector<std::string> System;
        QStringList Listed;
    };
    const std::vector<Row> rows = {
        {"ALSA's client:port numbers go",
         {"Midi Through:Midi Through Port-0 14:0", "FLUID Synth (4711):Synth input port (4711:0) 128:0"},
         {"Midi Through:Midi Through Port-0", "FLUID Synth (4711):Synth input port (4711:0)"}},
        {"JACK names stay as they are", {"midi-monitor:input", "a2j:USB Keys [20] (capture): USB Keys MIDI 1"},
         {"midi-monitor:input", "a2j:USB Keys [20] (capture): USB Keys MIDI 1"}},
        {"Korvane's own ports are left out",
         {"Korvane:Korvane 129:0", "Korvane In:in", "Korvane-01:out", "Korvanex:port"},
         {"Korvanex:port"}},
        {"twins are told apart in their order",
         {"Keys:Keys MIDI 1 20:0", "Pads:in", "Keys:Keys MIDI 1 24:0", "Keys:Keys MIDI 1 28:0"},
         {"Keys:Keys MIDI 1", "Pads:in", "Keys:Keys MIDI 1 #2", "Keys:Keys MIDI 1 #3"}},
    };
    for (const Row &r : rows) {
        QStringList listed;
        const std::vector<TMidiPortName> ports = MidiPortNames(r.System);
        for (const TMidiPortName &p : ports)
            listed << p.Name;
        EXPECT_EQ(listed, r.Listed) << r.Name;
    }
    const std::vector<TMidiPortName> ports = MidiPortNames({"Keys:Keys MIDI 1 20:0"});
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].Full, "Keys:Keys MIDI 1 20:0") << "the full name stays for finding the port";
}

const QString MissingSequencer = QStringLiteral("/nonexistent/snd/seq");

TEST(MidiAlsa, AMissingSequencerIsExplainedAndNothingCrashes)
{
    auto services = CreateRtMidiServices(TMidiApi::Alsa, MissingSequencer);
    const QString problem = services->Problem();
    EXPECT_TRUE(problem.contains("ALSA sequencer is not available")) << problem.toStdString();
    EXPECT_TRUE(problem.contains(MissingSequencer)) << problem.toStdString();
    EXPECT_TRUE(problem.contains("MidiApi=jack")) << "says how to choose JACK instead";
    EXPECT_EQ(services->InGetNumDevs(), 0u);
    EXPECT_EQ(services->OutGetNumDevs(), 0u);

    // The output port can name Korvane's own port, and opening it says why it cannot be.
    TMidiOutput out(nullptr, services);
    out.SetProductName("Korvane");
    try {
        out.Open();
        ADD_FAILURE() << "opened without a sequencer";
    } catch (const EMidiOutputError &e) {
        EXPECT_EQ(e.Message(), problem);
    }
    EXPECT_FALSE(out.IsOpen());

    TMidiInput in(nullptr, services);
    EXPECT_EQ(in.ProductName(), "");
    EXPECT_THROW(in.SetProductName("Keys"), EMidiInputError);

    // The MIDI settings dialog says it under its empty lists, in the same words, with no box
    // on top of it.
    QStringList shown;
    SetMidiMessageHook([&](const QString &text) { shown << text; });
    TFormMidiDialog dialog(nullptr, services);
    EXPECT_EQ(dialog.ComboBoxInputs()->count(), 0);
    EXPECT_EQ(dialog.ComboBoxOutputs()->count(), 1);
    dialog.open();
    const auto *line = dialog.findChild<QLabel *>("LabelProblem");
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(WaitFor([&] { return line->isVisible(); }, 2000));
    Settle();
    dialog.reject();
    SetMidiMessageHook({});
    EXPECT_EQ(line->text(), problem);
    EXPECT_EQ(dialog.ProblemText(), problem);
    EXPECT_TRUE(shown.isEmpty()) << shown.join(" | ").toStdString();
}

TEST(MidiAlsa, IsTheDefault)
{
    SetMidiServices(nullptr);
    EXPECT_EQ(MidiServices()->Name(), "alsa");
    if (!QFileInfo::exists("/dev/snd/seq")) {
        EXPECT_TRUE(MidiServices()->Problem().contains("/dev/snd/seq does not exist"));
    }
    EXPECT_TRUE(UseMidiApi("Jack"));
    EXPECT_EQ(MidiServices()->Name(), "jack");
    SetMidiServices(nullptr);
}

QStringList OutputNames(TMidiServices &s)
{
    QStringList names;
    const uint32_t n = s.OutGetNumDevs();
    for (uint32_t i = 0; i < n; ++i) {
        TMidiOutCaps caps;
        s.OutGetDevCaps(i, caps);
        names << caps.Name;
    }
    return names;
}

QStringList InputNames(TMidiServices &s)
{
    QStringList names;
    const uint32_t n = s.InGetNumDevs();
    for (uint32_t i = 0; i < n; ++i) {
        TMidiInCaps caps;
        s.InGetDevCaps(i, caps);
        names << caps.Name;
    }
    return names;
}

// Korvane's own JACK clients, and RtMidi's, which stand in when those cannot start.
struct TJackBackEnd {
    const char *Name;
    std::shared_ptr<TMidiServices> (*Make)();
};

class MidiJack : public testing::TestWithParam<TJackBackEnd> {};

TEST_P(MidiJack, NotesGoOutToOneJackClientAndComeInFromAnother)
{
    TJackServer jack;
    if (!jack.WhyNot().empty())
        GTEST_SKIP() << jack.WhyNot();
    auto services = GetParam().Make();
    ASSERT_EQ(services->Problem(), "");

    // Out, through a chosen port: jack_midi_dump reads "midi-monitor:input".
    const bool lineBuffered = !QStandardPaths::findExecutable("stdbuf").isEmpty();
    QProcess *dump = lineBuffered ? jack.Start("stdbuf", {"-oL", "jack_midi_dump"}) : jack.Start("jack_midi_dump", {});
    ASSERT_TRUE(WaitFor([&] { return OutputNames(*services).contains("midi-monitor:input"); }, 10000))
        << OutputNames(*services).join(", ").toStdString();
    QString seen;
    {
        TMidiOutput out(nullptr, services);
        out.SetProductName("midi-monitor:input");
        ASSERT_TRUE(out.Open());
        out.PutShort(0x90, 60, 100);
        out.PutShort(0x80, 60, 0);
        const std::vector<uint8_t> identity = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
        int done = 0;
        out.SetOnMidiOutput([&](QObject *) { ++done; });
        out.PutLong(identity.data(), uint16_t(identity.size()));
        EXPECT_TRUE(DumpShows(*dump, seen, "90 3c 64")) << seen.toStdString();
        EXPECT_TRUE(DumpShows(*dump, seen, "80 3c 00")) << seen.toStdString();
        EXPECT_TRUE(DumpShows(*dump, seen, "f0 7e 7f 06 01 f7")) << seen.toStdString();
        EXPECT_TRUE(WaitFor([&] { return done == 1; }));
        EXPECT_TRUE(out.Close());
    }

    // Out, through Korvane's own port, which the user connects to a synthesizer.
    {
        TMidiOutput mapper(nullptr, services);
        mapper.SetDeviceID(MidiMapper);
        ASSERT_TRUE(mapper.Open());
        EXPECT_TRUE(jack.Lists("Korvane:Korvane"));
        EXPECT_FALSE(OutputNames(*services).join(',').contains("Korvane")) << "Korvane's own ports are not offered";
        EXPECT_FALSE(InputNames(*services).join(',').contains("Korvane"));
        ASSERT_EQ(jack.Run("jack_connect", {"Korvane:Korvane", "midi-monitor:input"}), 0);
        ASSERT_TRUE(WaitFor([&] { return jack.Lists("   midi-monitor:input", {"-c"}); }, 5000));
        mapper.PutShort(0x91, 64, 127);
        EXPECT_TRUE(DumpShows(*dump, seen, "91 40 7f")) << seen.toStdString();
    }

    // In: jack_midiseq plays key 60 at velocity 64, twice a second.
    jack.Start("jack_midiseq", {"seq", "24000", "0", "60", "2000"});
    ASSERT_TRUE(WaitFor([&] { return InputNames(*services).contains("seq:out"); }, 10000))
        << InputNames(*services).join(", ").toStdString();
    TMidiInput in(nullptr, services);
    TInputRecorder taken(in);
    in.SetProductName("seq:out");
    ASSERT_TRUE(in.Open());
    in.Start();
    const auto noteOn = [&] {
        for (const TTaken &t : taken.Events)
            if (t.Status == 0x90 && t.Data1 == 60 && t.Data2 == 64)
                return true;
        return false;
    };
    EXPECT_TRUE(WaitFor(noteOn, 10000)) << taken.Events.size() << " events";
    EXPECT_TRUE(jack.Lists("Korvane In:in"));
    in.Stop();
    in.Close();
}

TEST_P(MidiJack, PortsThatComeAndGoAreAnnouncedAndAnOpenDeviceKnowsItsPortWent)
{
    TJackServer jack;
    if (!jack.WhyNot().empty())
        GTEST_SKIP() << jack.WhyNot();
    auto services = GetParam().Make();
    ASSERT_EQ(services->Problem(), "");
    std::atomic<int> news{0};
    const int id = services->AddPortsListener([&] { ++news; });

    QProcess *dump = jack.Start("jack_midi_dump", {});
    ASSERT_TRUE(WaitFor([&] { return news > 0 && OutputNames(*services).contains("midi-monitor:input"); }, 10000));
    TMidiOutput out(nullptr, services);
    out.SetProductName("midi-monitor:input");
    ASSERT_TRUE(out.Open());
    EXPECT_FALSE(out.PortLost());

    // Another client's port going leaves the device alone.
    QProcess *seq = jack.Start("jack_midiseq", {"seq", "24000", "0", "60", "2000"});
    ASSERT_TRUE(WaitFor([&] { return InputNames(*services).contains("seq:out"); }, 10000));
    TJackServer::End(*seq, false);
    ASSERT_TRUE(WaitFor([&] { return !InputNames(*services).contains("seq:out"); }, 10000));
    EXPECT_FALSE(out.PortLost());

    const int before = news;
    TJackServer::End(*dump, false);
    EXPECT_TRUE(WaitFor([&] { return out.PortLost(); }, 10000));
    // The news comes from the same callback, just after the device is marked lost.
    EXPECT_TRUE(WaitFor([&] { return news > before; }, 10000)) << "the port's going was announced";
    // A new client with the same port name is another port: the device stays lost.
    jack.Start("jack_midi_dump", {});
    ASSERT_TRUE(WaitFor([&] { return OutputNames(*services).contains("midi-monitor:input"); }, 10000));
    EXPECT_TRUE(out.PortLost());
    EXPECT_TRUE(out.Close());
    services->RemovePortsListener(id);
}

INSTANTIATE_TEST_SUITE_P(BackEnds, MidiJack,
                         testing::Values(TJackBackEnd{"Native", &CreateJackMidiServices},
                                         TJackBackEnd{"RtMidi", [] { return CreateRtMidiServices(TMidiApi::Jack); }}),
                         [](const testing::TestParamInfo<TJackBackEnd> &param) { return std::string(param.param.Name); });

} // namespace
