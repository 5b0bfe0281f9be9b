// Ports that come and go: the services announce every change to their listeners, an open
// device knows when the port it reached went (even when one of the same name came back), and
// the news reaches the user-interface thread as one signal per burst.
#include "MidiOut.h"
#include "MidiPortNews.h"
#include "MidiTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(MidiHotplug, AnOpenDeviceIsLostWhenItsPortGoesAndStaysLost)
{
    struct TCase {
        const char *Name;
        std::vector<QStringList> Outputs; // the device lists one after the other
        bool Lost;
    };
    const std::vector<TCase> cases = {
        {"another port goes", {{"Synth"}}, false},
        {"another port comes", {{"Synth", "Drums", "Pads"}}, false},
        {"its port goes", {{"Drums"}}, true},
        {"its port goes and comes back", {{"Drums"}, {"Drums", "Synth"}}, true},
        {"renamed by a restart", {{"Synth 2"}}, true},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        auto midi = std::make_shared<TLoopbackMidi>(QStringList{"Keys"}, QStringList{"Synth", "Drums"});
        int news = 0;
        const int id = midi->AddPortsListener([&] { ++news; });
        TMidiOutput out(nullptr, midi);
        out.SetProductName("Synth");
        ASSERT_TRUE(out.Open());
        TMidiOutput mapper(nullptr, midi);
        mapper.SetDeviceID(MidiMapper);
        ASSERT_TRUE(mapper.Open());
        for (const QStringList &outputs : c.Outputs)
            midi->SetOutputs(outputs);
        EXPECT_EQ(news, int(c.Outputs.size()));
        EXPECT_EQ(out.PortLost(), c.Lost);
        EXPECT_FALSE(mapper.PortLost()) << "Korvane's own port never goes";
        midi->RemovePortsListener(id);
        midi->SetOutputs({});
        EXPECT_EQ(news, int(c.Outputs.size())) << "a removed listener hears no more";
        EXPECT_TRUE(out.Close());
        EXPECT_FALSE(out.PortLost()) << "a closed port is not lost";
    }
}

TEST(MidiHotplug, AnOpenInputIsLostWhenItsPortGoes)
{
    auto midi = std::make_shared<TLoopbackMidi>(QStringList{"Keys", "Pads"}, QStringList{});
    TMidiInput in(nullptr, midi);
    in.SetProductName("Pads");
    ASSERT_TRUE(in.Open());
    midi->SetInputs({"Keys", "Pads"});
    EXPECT_FALSE(in.PortLost());
    midi->SetInputs({"Keys"});
    EXPECT_TRUE(in.PortLost());
    in.Close();
}

TEST(MidiHotplug, NewsArrivesOnTheUserInterfaceThreadOncePerBurst)
{
    auto midi = std::make_shared<TLoopbackMidi>();
    TMidiPortNews news;
    int changed = 0;
    QObject::connect(&news, &TMidiPortNews::Changed, [&] { ++changed; });
    news.Watch(midi);
    for (int i = 0; i < 5; ++i)
        midi->SetInputs({QStringLiteral("Port %1").arg(i)});
    EXPECT_EQ(changed, 0) << "queued, not called from the back end's thread";
    Settle();
    EXPECT_EQ(changed, 1);
    midi->SetOutputs({"Synth"});
    Settle();
    EXPECT_EQ(changed, 2);

    // Watching other services: the old ones are heard no more.
    auto other = std::make_shared<TLoopbackMidi>();
    news.Watch(other);
    midi->SetOutputs({});
    Settle();
    EXPECT_EQ(changed, 2);
    other->SetOutputs({"Synth"});
    Settle();
    EXPECT_EQ(changed, 3);

    // From another thread, as JACK and ALSA tell it.
    std::thread([&] { other->SetInputs({"Keys"}); }).join();
    EXPECT_TRUE(WaitFor([&] { return changed == 4; }));
}

} // namespace
