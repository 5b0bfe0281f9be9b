// Live recordings: what a run sent to the MIDI output, at its ticks' deadlines, read back by
// Korvane's reader and by python3-mido; the incoming messages on a second track; a file that
// stays readable while it grows and after the program is killed; signals that finish it; and
// messages dropped when the writer falls behind, counted.
#include "FrmMain.h"
#include "LoopbackMidi.h"
#include "MidiFile.h"
#include "Recorder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <csignal>
#include <deque>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

QString Fixture(const QString &name)
{
    return QStringLiteral(KORVANE_FIXTURES "/cli/") + name;
}

// Read to the end, however far the file grows meanwhile: a read of the size found first could
// take the header after a checkpoint's new length and stop short of its events.
QByteArray Contents(const QString &file)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
    QByteArray all;
    char piece[65536];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, piece, sizeof piece)) > 0;)
        all.append(piece, n);
    if (fd >= 0)
        ::close(fd);
    return all;
}

QByteArray Hex(const QByteArray &bytes)
{
    return bytes.toHex(' ');
}

// python3-mido's view of a file: "TRACK MS HEX" per message of each track, in track order, the
// time from the file's own tempo; the first line gives the format and the number of tracks.
QStringList Mido(const QString &file)
{
    const char *script = "import sys, mido\n"
                         "f = mido.MidiFile(sys.argv[1])\n"
                         "print('format', f.type, 'tracks', len(f.tracks))\n"
                         "tempo = next((m.tempo for m in f.tracks[0] if m.type == 'set_tempo'), 500000)\n"
                         "for i, track in enumerate(f.tracks):\n"
                         "    ticks = 0\n"
                         "    for m in track:\n"
                         "        ticks += m.time\n"
                         "        if not m.is_meta:\n"
                         "            ms = mido.tick2second(ticks, f.ticks_per_beat, tempo) * 1000\n"
                         "            print(i, int(ms + 1e-9), m.hex().lower())\n";
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {"-c", script, file});
    if (!python.waitForFinished(60000) || python.exitCode() != 0) {
        ADD_FAILURE() << "mido could not read " << file.toStdString() << ": " << python.readAllStandardError().toStdString();
        return {};
    }
    return QString::fromLatin1(python.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

// The same lines from Korvane's reader, for a file of one track (or the merge of all).
QStringList Lines(const std::vector<TTimedMidi> &events, int track = 0)
{
    QStringList lines;
    for (const TTimedMidi &e : events)
        lines << QStringLiteral("%1 %2 %3").arg(track).arg(e.Ms).arg(QString::fromLatin1(Hex(e.Bytes)));
    return lines;
}

// ---- The file itself ----

// A reader that opens the file at any moment while it grows, checkpoint after checkpoint,
// finds a valid file holding the messages of some checkpoint, in order: the writes of a
// checkpoint come in an order that a kill between any two of them leaves readable.
TEST(Recording, ATrackGrowingByCheckpointsReadsWholeAtEveryMoment)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("live.mid");
    constexpr int Messages = 3000;
    auto message = [](int i) { return QByteArray::fromRawData(i % 2 ? "\x80\x3c\x00" : "\x90\x3c\x64", 3); };
    // A few checkpoints write more than the file writer buffers: it writes part of them early.
    auto copies = [](size_t i) { return i % 500 == 250 ? 20000 : 1; }; // not first: the reader sees stages from the start
    std::unique_ptr<TLiveMidiTrack> track = std::make_unique<TLiveMidiTrack>(file, "out");
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < Messages; ++i) {
            for (int k = 0; k < copies(size_t(i)); ++k)
                track->Add(int64_t(i) * 10, reinterpret_cast<const uint8_t *>(message(i).constData()), 3);
            track->Checkpoint();
        }
        done = true;
    });
    int reads = 0;
    size_t lastCount = 0, grew = 0;
    while (!done) {
        std::vector<TTimedMidi> events;
        try {
            events = ReadStandardMidiFile(Contents(file));
        } catch (const std::exception &e) {
            ADD_FAILURE() << "read " << reads << ": " << e.what();
            break;
        }
        ++reads;
        grew += events.size() > lastCount;
        EXPECT_GE(events.size(), lastCount) << "a later read holds less";
        lastCount = events.size();
        // Message i (with its copies) at i ms, as added.
        for (size_t n = 0, i = 0; n < events.size(); ++i)
            for (int k = 0; k < copies(i) && n < events.size(); ++k, ++n)
                if (events[n].Ms != int64_t(i) || events[n].Bytes != message(int(i))) {
                    ADD_FAILURE() << "read " << reads << ", message " << n << ": " << events[n].Ms << " "
                                  << Hex(events[n].Bytes).toStdString();
                    n = events.size();
                    i = Messages;
                    break;
                }
    }
    writer.join();
    track->Finish();
    track.reset();
    EXPECT_GT(grew, 10u) << "the reader saw too few stages to judge (" << reads << " reads)";
    const std::vector<TTimedMidi> all = ReadStandardMidiFile(Contents(file));
    EXPECT_EQ(all.size(), size_t(Messages + (Messages / 500) * 19999));
    const QStringList mido = Mido(file);
    ASSERT_FALSE(mido.isEmpty());
    EXPECT_EQ(mido.first(), "format 0 tracks 1");
    EXPECT_EQ(mido.mid(1), Lines(all));
}

// The ring is fixed: what does not fit while the writer sleeps is dropped and counted, never
// waited for, and what was kept is written in order.
TEST(Recording, MessagesThatFindTheRingFullAreDroppedAndCounted)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("small.mid");
    TMidiRecorder::TOptions options;
    options.RingBytes = 64; // three short messages
    TMidiRecorder recorder(file, options);
    constexpr int Sent = 20000;
    for (int i = 0; i < Sent; ++i)
        recorder.Short(TMidiRecorder::OutputTrack, 0xB0, 7, uint8_t(i & 127), TMidiRecorder::TClock::now());
    const QString report = recorder.Finish();
    EXPECT_GT(recorder.Dropped(), 0u);
    EXPECT_EQ(recorder.Recorded() + recorder.Dropped(), uint64_t(Sent));
    EXPECT_TRUE(report.contains(QStringLiteral("; %1 messages dropped: the recording fell behind").arg(recorder.Dropped())))
        << report.toStdString();
    const std::vector<TTimedMidi> kept = ReadStandardMidiFile(Contents(file));
    ASSERT_EQ(kept.size(), size_t(recorder.Recorded()));
    for (size_t i = 1; i < kept.size(); ++i)
        EXPECT_LE(kept[i - 1].Ms, kept[i].Ms);
}

// ---- Headless runs ----

struct THeadless {
    QProcess Process;
    QString Err;
    QElapsedTimer SincePlaying; // started when the run said it plays: after its recording began

    bool Start(const QStringList &args)
    {
        Process.start(QStringLiteral(KORVANE_PROGRAM), QStringList{"--headless", "--midi-api", "loopback"} + args);
        if (!Process.waitForStarted(10000))
            return false;
        QElapsedTimer t;
        t.start();
        while (!Err.contains("playing") && t.elapsed() < 30000 && Process.state() == QProcess::Running) {
            Process.waitForReadyRead(50);
            Err += QString::fromUtf8(Process.readAllStandardError());
        }
        SincePlaying.start();
        return Err.contains("playing");
    }
    bool Stop(int signal)
    {
        ::kill(pid_t(Process.processId()), signal);
        const bool ended = Process.waitForFinished(30000);
        Err += QString::fromUtf8(Process.readAllStandardError());
        return ended;
    }
};

// What the patch sends at which tick, from an offline render of it: "TICK HEX" per message.
std::vector<std::pair<int64_t, QByteArray>> Rendered(const QString &patch, int ticks)
{
    QProcess p;
    p.start(QStringLiteral(KORVANE_PROGRAM), {"--events", "-", "--ticks", QString::number(ticks), patch});
    EXPECT_TRUE(p.waitForFinished(60000));
    std::vector<std::pair<int64_t, QByteArray>> out;
    for (const QString &line : QString::fromLatin1(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts)) {
        QStringList fields = line.split(u' ');
        const int64_t tick = fields.takeFirst().toLongLong();
        out.push_back({tick, QByteArray::fromHex(fields.join(QString()).toLatin1())});
    }
    return out;
}

// A run stopped by either signal finishes its recording: every message the patch played, in
// the order of an offline render, each at its tick's deadline (one constant offset from the
// render's tick times, give or take the millisecond a reading rounds), then the notes-off of
// the stop; the last line says how many messages it holds, and mido reads the same.
TEST(Recording, AHeadlessRunStoppedBySignalHoldsWhatItPlayedAtItsTicks)
{
    constexpr int Period = 10;
    const auto render = Rendered(Fixture("gate_notes.korvane"), 1000);
    ASSERT_GT(render.size(), 200u);
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        QTemporaryDir dir;
        const QString file = dir.filePath("take.mid");
        THeadless run;
        ASSERT_TRUE(run.Start({"--period", QString::number(Period), "--stats", "--record", file, Fixture("gate_notes.korvane")}))
            << run.Err.toStdString();
        EXPECT_TRUE(run.Err.contains(QStringLiteral("; recording to %1;").arg(file))) << run.Err.toStdString();
        std::this_thread::sleep_for(1500ms);
        const int64_t signalAt = run.SincePlaying.elapsed();
        ASSERT_TRUE(run.Stop(signal));
        EXPECT_EQ(run.Process.exitCode(), 0) << run.Err.toStdString();

        const std::vector<TTimedMidi> recorded = ReadStandardMidiFile(Contents(file));
        const QRegularExpressionMatch said =
            QRegularExpression(QStringLiteral("^korvane: recorded (\\d+) messages in 0:0[1-9] to %1$")
                                   .arg(QRegularExpression::escape(file)),
                               QRegularExpression::MultilineOption)
                .match(run.Err);
        ASSERT_TRUE(said.hasMatch()) << run.Err.toStdString();
        EXPECT_EQ(said.captured(1).toULongLong(), recorded.size());
        ASSERT_GT(recorded.size(), 16u + 20u) << run.Err.toStdString();

        // The end: all notes off on the sixteen channels, as the run stopped (its recording
        // began before it said it plays).
        std::vector<TTimedMidi> played(recorded.begin(), recorded.end() - 16);
        for (int channel = 0; channel < 16; ++channel) {
            const char allNotesOff[] = {char(0xB0 + channel), 0x7B, 0};
            EXPECT_EQ(Hex(recorded[played.size() + size_t(channel)].Bytes), Hex(QByteArray(allNotesOff, 3)));
        }
        EXPECT_GE(recorded.back().Ms, signalAt - 20) << "the last messages are those of the stop";
        // The stop ends a sounding note with its note-off at the moment of the stop, off the
        // grid; a note-off last is left out, whether the stop's or the grid's.
        if ((uint8_t(played.back().Bytes[0]) & 0xF0) == 0x80)
            played.pop_back();

        const QRegularExpressionMatch skipped = QRegularExpression("skipped=(\\d+)").match(run.Err);
        ASSERT_TRUE(skipped.hasMatch()) << run.Err.toStdString();
        ASSERT_LE(played.size(), render.size());
        const int64_t offset = played.front().Ms - render.front().first * Period;
        for (size_t i = 0; i < played.size(); ++i) {
            const int64_t at = played[i].Ms - offset;
            if (skipped.captured(1) == "0") { // the run kept up: the render's messages, in its order
                ASSERT_EQ(Hex(played[i].Bytes), Hex(render[i].second)) << "message " << i;
                ASSERT_NEAR(double(at), double(render[i].first * Period), 1.0) << "message " << i;
            } else { // ticks were lost: the grid stays
                const int64_t fromGrid = ((at % Period) + Period) % Period;
                ASSERT_TRUE(fromGrid <= 1 || fromGrid >= Period - 1) << "message " << i << " at " << at;
            }
        }

        const QStringList mido = Mido(file);
        ASSERT_EQ(mido.size(), qsizetype(recorded.size()) + 1);
        EXPECT_EQ(mido.first(), "format 0 tracks 1");
        for (size_t i = 0; i < recorded.size(); ++i) {
            const QStringList fields = mido[qsizetype(i) + 1].split(u' ');
            EXPECT_NEAR(fields[1].toDouble(), double(recorded[i].Ms), 1.0) << i;
            EXPECT_EQ(fields.mid(2).join(u' '), QString::fromLatin1(Hex(recorded[i].Bytes))) << i;
        }
        EXPECT_FALSE(QFileInfo::exists(TMidiRecorder::InputTrackFile(file)));
    }
}

// A run killed outright (kill -9) leaves a recording that both readers take, holding the
// messages up to within about a second of the kill.
TEST(Recording, AKilledHeadlessRunLeavesAReadableRecording)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("killed.mid");
    THeadless run;
    ASSERT_TRUE(run.Start({"--period", "10", "--record", file, Fixture("gate_notes.korvane")})) << run.Err.toStdString();
    std::this_thread::sleep_for(2500ms);
    const int64_t killedAt = run.SincePlaying.elapsed();
    ASSERT_TRUE(run.Stop(SIGKILL));
    EXPECT_EQ(run.Process.exitStatus(), QProcess::CrashExit);
    EXPECT_FALSE(run.Err.contains("recorded")) << "nothing finished the file";

    std::vector<TTimedMidi> recorded;
    ASSERT_NO_THROW(recorded = ReadStandardMidiFile(Contents(file)));
    ASSERT_FALSE(recorded.empty());
    // A checkpoint a second, and a message at least every 40 ms: a little more than a second
    // lost at most, with room for a busy machine.
    EXPECT_GE(recorded.back().Ms, killedAt - 1500) << "killed at " << killedAt << " ms";
    const QStringList mido = Mido(file);
    ASSERT_EQ(mido.size(), qsizetype(recorded.size()) + 1);
    EXPECT_EQ(mido.first(), "format 0 tracks 1");
}

// ---- The window ----

struct TRecordDialogs : IDialogs {
    QStringList Errors;
    std::deque<QString> SaveAnswers;
    std::vector<TFileDialogRequest> SaveRequests;
    void ShowMessage(const QString &text) override { Errors << text; }
    void ShowError(const QString &text) override { Errors << text; }
    QString SaveFileName(const TFileDialogRequest &request) override
    {
        SaveRequests.push_back(request);
        if (SaveAnswers.empty())
            return {};
        QString answer = SaveAnswers.front();
        SaveAnswers.pop_front();
        return answer;
    }
};

void ProcessFor(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool ProcessUntil(const std::function<bool()> &done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// File > Record... (Ctrl+R) asks for the file and becomes Stop recording while the top bar
// says REC; with Options > Record MIDI input (kept in the settings) the incoming messages go to
// a second track. The output track holds exactly what reached the output port.
TEST(Recording, TheWindowRecordsWhatItSendsAndWhatItHearsOnTwoTracks)
{
    QTemporaryDir dir;
    TRecordDialogs boxes;
    SetDialogs(&boxes);
    const QString settings = dir.filePath("korvane.INI"), file = dir.filePath("both.mid");
    {
        QFile f(settings);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Settings]\nMidiIn=Keys\nMidiOut=Synth\nResolution=10\n");
    }
    auto midi = std::make_shared<TLoopbackMidi>(QStringList{"Keys"}, QStringList{"Synth"});
    {
        TMainWindowOptions options;
        options.SettingsFile = settings;
        options.Midi = midi;
        TFormMain w(std::move(options));
        ASSERT_TRUE(w.MidiInOpen() && w.MidiOutOpen());
        QAction *record = w.Action("Record...");
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
        int ctrlR = 0;
        for (QAction *a : w.findChildren<QAction *>())
            ctrlR += a->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_R));
        EXPECT_EQ(ctrlR, 1) << "Ctrl+R belongs to Record... alone";
        ASSERT_NE(w.Action("Record MIDI input"), nullptr);
        w.Action("Record MIDI input")->trigger();
        EXPECT_TRUE(Contents(settings).contains("RecordInput=1")) << Contents(settings).toStdString();

        w.PageControl()->LoadSlot(Fixture("gate_notes.korvane"));
        w.SetRunning(false);
        midi->ClearSent();
        boxes.SaveAnswers.push_back(file);
        record->trigger();
        ASSERT_EQ(boxes.SaveRequests.size(), 1u);
        EXPECT_EQ(boxes.SaveRequests[0].DefaultExtension, "mid");
        ASSERT_NE(w.Recorder(), nullptr) << boxes.Errors.join('\n').toStdString();
        EXPECT_EQ(w.Action("Record..."), nullptr);
        ASSERT_NE(w.Action("Stop recording"), nullptr);
        auto *label = w.findChild<QLabel *>("LabelRecording");
        ASSERT_NE(label, nullptr);
        EXPECT_FALSE(label->isHidden());
        EXPECT_EQ(label->text(), "REC 0:00");
        EXPECT_TRUE(QFileInfo::exists(TMidiRecorder::InputTrackFile(file)));

        w.SetRunning(true);
        const std::vector<std::vector<uint8_t>> heard = {
            {0x90, 60, 100}, {0xB3, 1, 64}, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {0x80, 60, 0}};
        for (const std::vector<uint8_t> &m : heard) {
            ASSERT_TRUE(midi->Inject(0, m));
            ProcessFor(100); // it arrives, and the ticks play
        }
        ASSERT_TRUE(ProcessUntil([&] { return midi->Sent(0).size() > 10; }));
        w.SetRunning(false);
        w.Action("Stop recording")->trigger();
        EXPECT_EQ(w.Recorder(), nullptr);
        EXPECT_TRUE(label->isHidden());
        EXPECT_NE(w.Action("Record..."), nullptr);
        EXPECT_EQ(boxes.Errors, QStringList());

        QStringList expected = {"format 1 tracks 2"};
        const QStringList mido = Mido(file);
        const std::vector<std::vector<uint8_t>> sent = midi->Sent(0);
        ASSERT_EQ(mido.size(), qsizetype(1 + sent.size() + heard.size())) << mido.join('\n').toStdString();
        EXPECT_EQ(mido.first(), expected.first());
        for (size_t i = 0; i < sent.size(); ++i) {
            const QStringList fields = mido[qsizetype(i) + 1].split(u' ');
            EXPECT_EQ(fields[0], "0");
            EXPECT_EQ(fields.mid(2).join(u' ').toLatin1(), Hex(QByteArray(reinterpret_cast<const char *>(sent[i].data()), qsizetype(sent[i].size()))));
        }
        for (size_t i = 0; i < heard.size(); ++i) {
            const QStringList fields = mido[qsizetype(1 + sent.size() + i)].split(u' ');
            EXPECT_EQ(fields[0], "1");
            EXPECT_EQ(fields.mid(2).join(u' ').toLatin1(), Hex(QByteArray(reinterpret_cast<const char *>(heard[i].data()), qsizetype(heard[i].size()))));
        }
        EXPECT_EQ(ReadStandardMidiFile(Contents(file)).size(), sent.size() + heard.size());
        EXPECT_FALSE(QFileInfo::exists(TMidiRecorder::InputTrackFile(file))) << "the input's own file goes once it is in";
        w.close();
    }
    SetDialogs(nullptr);
}

} // namespace
