#include "CommandLine.h"

#include "ClockModules.h"
#include "Dialogs.h"
#include "Errors.h"
#include "FileWriter.h"
#include "MidiFile.h"
#include "OfflineRun.h"
#include "PageControl.h"
#include "PatchFile.h"
#include "Random.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A usage error: a one-line message and exit status 2.
struct TUsageError {
    QString Message;
};

// A patch or input file that could not be used: its message and exit status 1.
struct TRunError {
    QString Message;
};

// The line breaks a message box would show become blanks: one message, one line.
QString OneLine(QString text)
{
    return text.replace(QStringLiteral("\r\n"), QStringLiteral(" ")).replace(u'\r', u' ').replace(u'\n', u' ');
}

// Message boxes become lines on standard error, each prefixed with the file being loaded.
class TStandardErrorDialogs : public IDialogs {
public:
    explicit TStandardErrorDialogs(QTextStream &err) : FErr(err) { SetDialogs(this); }
    ~TStandardErrorDialogs() override { SetDialogs(nullptr); }
    TStandardErrorDialogs(const TStandardErrorDialogs &) = delete;
    TStandardErrorDialogs &operator=(const TStandardErrorDialogs &) = delete;

    void ShowMessage(const QString &text) override { Write(text); }
    void ShowError(const QString &text) override { Write(text); }

    QString Prefix; // "FILE: " while a file loads
    int Count = 0;
    bool Quiet = false; // counts without printing: a second load of what was loaded once

private:
    void Write(const QString &text)
    {
        ++Count;
        if (!Quiet)
            FErr << Prefix << OneLine(text) << Qt::endl;
    }
    QTextStream &FErr;
};

QString MessageOf(const std::exception &e)
{
    return QString::fromUtf8(e.what());
}

// The message of an error that loading `file` raised, naming the file once: errors of the
// patch's content already start with "FILE:LINE: ".
QString LoadErrorOf(const QString &file, const std::exception &e)
{
    const QString message = MessageOf(e);
    return message.startsWith(file + u':') ? message : file + QStringLiteral(": ") + message;
}

struct TOptions {
    enum TMode { Render, Check, Convert, Help, Version } Mode = Help;
    QString MidiOut, Events, MidiIn;
    std::optional<int64_t> Ticks;
    std::optional<double> Seconds;
    int32_t PeriodMs = 20;
    std::optional<uint32_t> Seed;
    QStringList Files;
};

// Every option that takes a value, and whether the program knows it.
bool TakesValue(const QString &option)
{
    static const QStringList Options = {"--render", "--events", "--ticks", "--seconds", "--period", "--seed", "--midi-in"};
    return Options.contains(option);
}

int64_t ParseInteger(const QString &option, const QString &text, int64_t lo, int64_t hi)
{
    bool ok = false;
    const qlonglong v = text.toLongLong(&ok);
    if (!ok || v < lo || v > hi)
        throw TUsageError{QStringLiteral("%1 wants a whole number from %2 to %3, not \"%4\"").arg(option).arg(lo).arg(hi).arg(text)};
    return v;
}

// "-" stands for standard output, which the file writer knows as /dev/stdout.
QString OutputName(const QString &file)
{
    return file == QLatin1String("-") ? QStringLiteral("/dev/stdout") : file;
}

// The file a name reaches, links followed; nothing when there is none yet.
std::optional<struct stat> FileIdentity(const QString &file)
{
    struct stat st {};
    const int done = file == QLatin1String("-") ? ::fstat(STDOUT_FILENO, &st) : ::stat(QFile::encodeName(file).constData(), &st);
    return done == 0 ? std::optional(st) : std::nullopt;
}

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether two outputs would write one file: the same file where both exist (a character device
// such as /dev/null excepted, which both may write), the same place where neither does yet.
bool SameOutput(const QString &a, const QString &b)
{
    const std::optional<struct stat> x = FileIdentity(a), y = FileIdentity(b);
    if (x && y)
        return SameFile(*x, *y) && !S_ISCHR(x->st_mode);
    return !x && !y && OutputPath(OutputName(a)) == OutputPath(OutputName(b));
}

// An output that is one of the inputs (through a link, a hard link or another spelling) would
// destroy it; two outputs in one file, existing or not yet, would spoil each other. Both are
// refused before anything runs; writing both to a character device such as /dev/null is
// harmless.
void RefuseOutputsThatAreInputs(const TOptions &o)
{
    QStringList inputs, outputs;
    if (o.Mode == TOptions::Convert) {
        inputs = {o.Files[0]};
        outputs = {o.Files[1]};
    } else {
        inputs = o.Files;
        if (!o.MidiIn.isEmpty())
            inputs << o.MidiIn;
        for (const QString &output : {o.MidiOut, o.Events})
            if (!output.isEmpty())
                outputs << output;
    }
    for (qsizetype i = 0; i < outputs.size(); ++i) {
        const std::optional<struct stat> output = FileIdentity(outputs[i]);
        if (!output)
            continue;
        for (const QString &input : inputs)
            if (const std::optional<struct stat> in = FileIdentity(input); in && SameFile(*in, *output))
                throw TUsageError{QStringLiteral("the output %1 is the input %2; choose another output file").arg(outputs[i], input)};
    }
    for (qsizetype i = 0; i < outputs.size(); ++i)
        for (qsizetype j = 0; j < i; ++j)
            if (SameOutput(outputs[j], outputs[i]))
                throw TUsageError{QStringLiteral("--render and --events both write %1").arg(outputs[i])};
}

TOptions ParseArguments(const QStringList &args)
{
    TOptions o;
    bool render = false, check = false, convert = false;
    for (const QString &a : args) { // asking for help wins wherever it stands (--headless --help)
        if (a == QLatin1String("--"))
            break;
        if (a == QLatin1String("--help") || a == QLatin1String("-h"))
            return o;
    }
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            o.Mode = TOptions::Help;
            return o;
        }
        if (a == QLatin1String("--version")) {
            o.Mode = TOptions::Version;
            return o;
        }
        if (a == QLatin1String("--check")) {
            check = true;
            continue;
        }
        if (a == QLatin1String("--convert")) {
            convert = true;
            continue;
        }
        if (a == QLatin1String("--")) {
            o.Files += args.mid(i + 1);
            break;
        }
        if (a.startsWith(QLatin1String("--")) || (a.startsWith(u'-') && a.size() > 1)) {
            if (!TakesValue(a))
                throw TUsageError{QStringLiteral("unknown option %1").arg(a)};
            if (i + 1 >= args.size())
                throw TUsageError{QStringLiteral("%1 needs a value").arg(a)};
            const QString &v = args[++i];
            if (a == QLatin1String("--render")) {
                o.MidiOut = v;
                render = true;
            } else if (a == QLatin1String("--events")) {
                o.Events = v;
                render = true;
            } else if (a == QLatin1String("--ticks")) {
                o.Ticks = ParseInteger(a, v, 0, std::numeric_limits<int32_t>::max());
            } else if (a == QLatin1String("--seconds")) {
                bool ok = false;
                const double s = v.toDouble(&ok);
                if (!ok || !std::isfinite(s) || s < 0 || s > 1e7)
                    throw TUsageError{QStringLiteral("--seconds wants a number of seconds, not \"%1\"").arg(v)};
                o.Seconds = s;
            } else if (a == QLatin1String("--period")) {
                o.PeriodMs = int32_t(ParseInteger(a, v, 1, 60000));
            } else if (a == QLatin1String("--seed")) {
                o.Seed = uint32_t(ParseInteger(a, v, 0, std::numeric_limits<uint32_t>::max()));
            } else if (a == QLatin1String("--midi-in")) {
                o.MidiIn = v;
            }
            continue;
        }
        o.Files << a;
    }

    if (int(render) + int(check) + int(convert) != 1)
        throw TUsageError{QStringLiteral("choose one of --render, --events, --check and --convert")};
    if (render) {
        o.Mode = TOptions::Render;
        if (o.Ticks.has_value() == o.Seconds.has_value())
            throw TUsageError{QStringLiteral("give either --ticks or --seconds")};
        if (o.Files.isEmpty())
            throw TUsageError{QStringLiteral("no patch file to render")};
    } else if (check) {
        o.Mode = TOptions::Check;
        if (o.Files.isEmpty())
            throw TUsageError{QStringLiteral("no patch file to check")};
    } else {
        o.Mode = TOptions::Convert;
        if (o.Files.size() != 2)
            throw TUsageError{QStringLiteral("--convert takes an input and an output file")};
    }
    if (!render && (o.Ticks || o.Seconds || o.Seed || !o.MidiIn.isEmpty() || o.PeriodMs != 20))
        throw TUsageError{QStringLiteral("--ticks, --seconds, --period, --seed and --midi-in belong to --render")};
    const QStringList inputs = o.Mode == TOptions::Convert ? o.Files.mid(0, 1) : o.Files;
    for (const QString &file : inputs) {
        if (QFileInfo(file).isDir())
            throw TUsageError{QStringLiteral("%1 is a directory, not a patch file").arg(file)};
        if (!QFileInfo(file).isFile())
            throw TUsageError{QStringLiteral("no such file: %1").arg(file)};
    }
    if (!o.MidiIn.isEmpty() && !QFileInfo(o.MidiIn).isFile())
        throw TUsageError{QStringLiteral("no such file: %1").arg(o.MidiIn)};
    RefuseOutputsThatAreInputs(o);
    return o;
}

// A patch file read once: a run that goes twice loads the same text both times, and nothing is
// read or written on the way but the file itself.
struct TPatchText {
    QString File;
    QByteArray Text;
};

std::vector<TPatchText> ReadPatches(const QStringList &files)
{
    std::vector<TPatchText> patches;
    for (const QString &file : files) {
        try {
            patches.push_back({file, ReadPatchText(file)});
        } catch (const std::bad_alloc &) {
            throw;
        } catch (const std::exception &e) {
            throw TRunError{LoadErrorOf(file, e)};
        }
    }
    return patches;
}

// Loads each patch into a new slot of `pages`, in order, never writing the files. A load that
// raises stops with TRunError; messages the load shows go to standard error and are counted.
void LoadAll(TKorModulePageControl &pages, const std::vector<TPatchText> &patches, TStandardErrorDialogs &dialogs)
{
    for (const TPatchText &patch : patches) {
        dialogs.Prefix = patch.File + QStringLiteral(": ");
        try {
            pages.LoadSlotFromText(patch.File, patch.Text);
        } catch (const std::bad_alloc &) {
            throw;
        } catch (const std::exception &e) {
            throw TRunError{LoadErrorOf(patch.File, e)};
        }
    }
    dialogs.Prefix.clear();
}

int Check(const TOptions &o, TStandardErrorDialogs &dialogs)
{
    bool clean = true;
    for (const QString &file : o.Files) {
        TKorModulePageControl pages;
        const int before = dialogs.Count;
        dialogs.Prefix = file + QStringLiteral(": ");
        try {
            pages.LoadSlot(file, TKorModulePageControl::TOldFiles::ConvertCopy);
        } catch (const std::bad_alloc &) {
            throw;
        } catch (const std::exception &e) {
            dialogs.Prefix.clear();
            dialogs.ShowError(LoadErrorOf(file, e));
        }
        clean = clean && dialogs.Count == before;
    }
    return clean ? 0 : 1;
}

int Convert(const TOptions &o, TStandardErrorDialogs &dialogs)
{
    TKorModulePageControl pages;
    LoadAll(pages, ReadPatches(o.Files.mid(0, 1)), dialogs);
    try {
        pages.SaveActiveSlotAs(OutputName(o.Files[1]));
    } catch (const EFileError &e) {
        throw TRunError{QStringLiteral("korvane: ") + e.Message()};
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &e) {
        throw TRunError{o.Files[1] + QStringLiteral(": ") + MessageOf(e)};
    }
    return 0;
}

QByteArray ReadMidiInput(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        throw TRunError{QStringLiteral("%1: cannot open: %2").arg(file, f.errorString())};
    try {
        return f.readAll();
    } catch (const std::exception &e) {
        throw TRunError{file + QStringLiteral(": ") + MessageOf(e)};
    }
}

// One line per message: the tick, then the bytes in hex ("12 90 3c 64").
void AppendEventLine(std::string &line, int64_t tick, const char *bytes, size_t size)
{
    static const char Hex[] = "0123456789abcdef";
    line += std::to_string(tick);
    for (size_t i = 0; i < size; ++i) {
        const auto b = uint8_t(bytes[i]);
        line += ' ';
        line += Hex[b >> 4];
        line += Hex[b & 0xF];
    }
    line += '\n';
}

// Loads the patches into `pages` with the generator seeded by `seed` and the arrival clock at
// its start: run alike, the same patches, seed and input send the same messages every time.
void LoadForRun(TKorModulePageControl &pages, const std::vector<TPatchText> &patches, uint32_t seed,
                TStandardErrorDialogs &dialogs)
{
    RandSeed(seed);
    SetMidiArrivalTime(0);
    LoadAll(pages, patches, dialogs);
}

int Render(const TOptions &o, QTextStream &out, QTextStream &err, TStandardErrorDialogs &dialogs)
{
    std::vector<TTimedMidi> input;
    if (!o.MidiIn.isEmpty()) {
        try {
            input = ReadStandardMidiFile(ReadMidiInput(o.MidiIn));
        } catch (const std::bad_alloc &) {
            throw;
        } catch (const std::exception &e) {
            throw TRunError{o.MidiIn + QStringLiteral(": ") + MessageOf(e)};
        }
    }
    const std::vector<TPatchText> patches = ReadPatches(o.Files);
    const uint32_t seed = o.Seed ? *o.Seed : QRandomGenerator::system()->generate();
    const int64_t ticks = o.Ticks ? *o.Ticks : int64_t(std::floor(*o.Seconds * 1000 / o.PeriodMs));
    // Loaded before any output is opened: a patch that does not load leaves them all alone.
    TKorModulePageControl pages;
    LoadForRun(pages, patches, seed, dialogs);
    out.flush(); // standard output is written below its text stream

    // Both outputs are streamed as the run goes and put in place only once complete.
    try {
        std::optional<TFileWriter> events, midi;
        if (!o.Events.isEmpty())
            events.emplace(OutputName(o.Events));
        if (!o.MidiOut.isEmpty())
            midi.emplace(OutputName(o.MidiOut));
        std::optional<uint64_t> trackLength;
        std::optional<TKorModulePageControl> again;
        if (midi && !midi->CanOverwrite()) {
            // A pipe or device cannot take the track's length once the track has gone through:
            // this run measures it, then a second one, message for message the same, writes
            // the file with the length up front. Memory stays flat; nothing is spooled.
            TMidiTrackMeter meter;
            TOfflineRun(pages, o.PeriodMs, [&](int64_t tick, const char *bytes, size_t size) {
                meter.Add(tick * o.PeriodMs, bytes, size);
            }).Run(ticks, input);
            trackLength = meter.TrackLength();
            dialogs.Quiet = true; // what the loads had to say was said once
            LoadForRun(again.emplace(), patches, seed, dialogs);
        }
        TKorModulePageControl &played = again ? *again : pages;
        std::optional<TMidiFileStream> midiStream;
        if (midi)
            midiStream.emplace(*midi, trackLength);
        std::string line;
        TOfflineRun(played, o.PeriodMs, [&](int64_t tick, const char *bytes, size_t size) {
            if (events) {
                line.clear();
                AppendEventLine(line, tick, bytes, size);
                events->Write(line.data(), line.size());
            }
            if (midiStream)
                midiStream->Add(tick * o.PeriodMs, bytes, size);
        }).Run(ticks, input);
        if (events)
            events->Commit();
        if (midiStream) {
            midiStream->Finish();
            midi->Commit();
        }
        return ReportTickErrors(played, err) ? 3 : 0;
    } catch (const EFileError &e) {
        throw TRunError{QStringLiteral("korvane: ") + e.Message()};
    }
}

} // namespace

namespace {

// Written without allocating: there may be no memory left for a formatted message.
void ReportOutOfMemory()
{
    static const char Message[] = "korvane: out of memory\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, Message, sizeof Message - 1);
}

} // namespace

QString CommandLineUsage()
{
    return QStringLiteral(
        "Usage:\n"
        "  korvane [--osc-port N] [--link] [--record REC.mid] [FILE]\n"
        "      Start the desktop program, opening the patch FILE. --osc-port listens for OSC\n"
        "      on UDP port N of 127.0.0.1 (0: not at all) instead of the settings' port.\n"
        "      --link follows an Ableton Link session (tempo, beats, start and stop) in this\n"
        "      run, as Options > Ableton Link does, without changing the settings.\n"
        "      --record records what is sent to the MIDI output as a Standard MIDI File,\n"
        "      REC.mid, from the start until File > Stop recording or the end.\n"
        "  korvane --render OUT.mid [--events EVENTS] (--ticks N | --seconds S) [--period MS]\n"
        "          [--seed S] [--midi-in IN.mid] FILE...\n"
        "  korvane --events EVENTS (--ticks N | --seconds S) [...] FILE...\n"
        "      Run the patches, each in its own slot, for N ticks of MS milliseconds (20 by\n"
        "      default) as fast as possible. OUT.mid receives every MIDI message they send as a\n"
        "      Standard MIDI File; EVENTS one line per message: the tick, then the bytes in hex.\n"
        "      \"-\" for either is standard output. --midi-in plays a MIDI file into the patches;\n"
        "      --seed fixes the random generator.\n"
        "  korvane --check FILE...\n"
        "      Load each patch and report every message a load shows; exit status 1 if any.\n"
        "  korvane --convert IN OUT\n"
        "      Load IN (old class names converted) and save it as OUT (\"-\": standard output)\n"
        "      in the current format.\n"
        "  korvane --headless [--period MS] [--midi-api alsa|jack|loopback] [--midi-out NAME]\n"
        "          [--midi-in NAME] [--osc-port N] [--link] [--record REC.mid] [--stats] FILE...\n"
        "      Play the patches in real time through the MIDI ports, without a window, until\n"
        "      SIGINT (Ctrl+C) or SIGTERM. --period (1 to 60000 ms), --midi-out and --midi-in\n"
        "      (port names) override the settings file for this run; --midi-api chooses ALSA\n"
        "      (the default) or JACK, or loopback ports inside Korvane that nothing hears;\n"
        "      a MIDI system that cannot be used ends the run with exit status 1. --osc-port\n"
        "      listens for OSC and --link follows Link as the desktop program does. --record\n"
        "      records what is sent to the MIDI output (and with the RecordInput setting what\n"
        "      comes in, as a second track), readable up to its last second even if the run is\n"
        "      killed. --stats prints at the end how many ticks ran and how late the timer woke.\n"
        "  korvane --help | --version\n"
        "A patch's MIDI controller bindings (made with Learn MIDI controller) play in every\n"
        "mode: control changes from the MIDI input or a --midi-in file turn the bound knobs.\n"
        "OSC messages /korvane/SLOT/MODULE/PROPERTY VALUE set knobs and buttons; /korvane/list\n"
        "answers with every address (see the manual).\n"
        "Input files are never modified.\n"
        "Exit status: 0 done; 1 a patch that did not load or an output that could not be\n"
        "written (a full disk, a reader that left a pipe); 2 a usage error; 3 (--render,\n"
        "--events, --headless) a patch raised an error during the run: its ticks were lost,\n"
        "the outputs are complete, and standard error names the patch.\n");
}

std::optional<int32_t> TakeOscPort(QStringList &args, QString &error)
{
    const qsizetype at = args.indexOf(QStringLiteral("--osc-port"));
    if (at < 0)
        return std::nullopt;
    if (at + 1 >= args.size()) {
        error = QStringLiteral("--osc-port needs a value");
        return std::nullopt;
    }
    const QString value = args.at(at + 1);
    args.remove(at, 2);
    bool ok = false;
    const int port = value.toInt(&ok);
    if (!ok || port < 0 || port > 65535) {
        error = QStringLiteral("--osc-port wants a port from 0 to 65535, not \"%1\"").arg(value);
        return std::nullopt;
    }
    return port;
}

std::optional<QString> TakeRecordFile(QStringList &args, QString &error)
{
    const qsizetype at = args.indexOf(QStringLiteral("--record"));
    if (at < 0)
        return std::nullopt;
    if (at + 1 >= args.size()) {
        error = QStringLiteral("--record needs a value");
        return std::nullopt;
    }
    const QString file = args.at(at + 1);
    args.remove(at, 2);
    if (file == QLatin1String("-") || QFileInfo(file).isDir()) {
        error = QStringLiteral("--record wants a MIDI file to write, not \"%1\"").arg(file);
        return std::nullopt;
    }
    return file;
}

bool IsCommandLineRun(const QStringList &args)
{
    for (const QString &a : args)
        if (a.startsWith(u'-') && a.size() > 1)
            return true;
    return false;
}

int RunCommandLine(const QStringList &args, QTextStream &out, QTextStream &err)
{
    TStandardErrorDialogs dialogs(err);
    try {
        const TOptions o = ParseArguments(args);
        switch (o.Mode) {
        case TOptions::Help:
            out << CommandLineUsage();
            return 0;
        case TOptions::Version:
            out << QStringLiteral("korvane %1").arg(QStringLiteral(KORVANE_VERSION)) << Qt::endl;
            return 0;
        case TOptions::Check:
            return Check(o, dialogs);
        case TOptions::Convert:
            return Convert(o, dialogs);
        case TOptions::Render:
            return Render(o, out, err, dialogs);
        }
    } catch (const TUsageError &e) {
        err << QStringLiteral("korvane: %1 (korvane --help shows the usage)").arg(e.Message) << Qt::endl;
        return 2;
    } catch (const TRunError &e) {
        err << OneLine(e.Message) << Qt::endl;
        return 1;
    } catch (const std::bad_alloc &) {
        ReportOutOfMemory();
        return 1;
    } catch (const std::exception &e) {
        err << QStringLiteral("korvane: ") << OneLine(MessageOf(e)) << Qt::endl;
        return 1;
    }
    return 2;
}

void ExitOnOutOfMemory()
{
    std::set_terminate([] {
        if (const std::exception_ptr current = std::current_exception()) {
            try {
                std::rethrow_exception(current);
            } catch (const std::bad_alloc &) {
                ReportOutOfMemory();
                std::_Exit(1);
            } catch (...) {
            }
        }
        std::abort();
    });
}
