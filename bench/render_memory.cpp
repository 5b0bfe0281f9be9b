// Peak resident memory of an offline render: generates a patch of VOICES voices (a square
// gate and a constant note into a MIDI output each, 1.5 messages per voice every 4 ticks),
// runs `korvane --render OUT.mid --events /dev/null --ticks TICKS` on it as a child process and
// reports the child's ru_maxrss. Measured, never asserted by a test; exits 1 when the peak
// reaches the budget, so that a script can watch it.
//
//     render_memory [TICKS [VOICES [BUDGET_MB]]]      (1000000, 100, 64 by default)
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

namespace {

QByteArray VoicePatch(int voices)
{
    QByteArray connections, modules;
    for (int v = 0; v < voices; ++v) {
        const QByteArray n = QByteArray::number(v);
        connections += "\n    'Gate" + n + ".Out Out" + n + ".InGate'\n    'Note" + n + ".Out Out" + n + ".InNote'";
        const QByteArray left = QByteArray::number(v * 250);
        modules += "  object Gate" + n + ": TKorSquare\n    Left = " + left + "\n    KnobFreqValue = 90\n  end\n";
        modules += "  object Note" + n + ": TKorConstant\n    Left = " + left + "\n    Top = 50\n    KnobAmpValue = " +
                   QByteArray::number(400 + v % 20 * 10) + "\n  end\n";
        modules += "  object Out" + n + ": TKorMidiOut\n    Left = " + left + "\n    Top = 100\n    KnobChValue = " +
                   QByteArray::number(v % 16 + 1) + "\n  end\n";
    }
    connections += ')';
    return "object TKorDrawSheet\n  Connections = (" + connections + "\n" + modules + "end\n";
}

} // namespace

int main(int argc, char **argv)
{
    const long long ticks = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const int voices = argc > 2 ? std::atoi(argv[2]) : 100;
    const double budgetMb = argc > 3 ? std::atof(argv[3]) : 64;

    QTemporaryDir dir;
    const QString patch = dir.filePath("voices.korvane"), midi = dir.filePath("out.mid");
    QFile f(patch);
    if (!dir.isValid() || !f.open(QIODevice::WriteOnly) || f.write(VoicePatch(voices)) < 0) {
        std::fprintf(stderr, "render_memory: cannot write the patch into %s\n", qPrintable(dir.path()));
        return 2;
    }
    f.close();

    const QByteArray program = KORVANE_PROGRAM, ticksText = QByteArray::number(ticks);
    const QByteArray patchPath = QFile::encodeName(patch), midiPath = QFile::encodeName(midi);
    const char *args[] = {program.constData(), "--render", midiPath.constData(), "--events", "/dev/null", "--ticks",
                          ticksText.constData(), "--seed", "1", patchPath.constData(), nullptr};
    QElapsedTimer clock;
    clock.start();
    pid_t child = 0;
    if (posix_spawn(&child, program.constData(), nullptr, nullptr, const_cast<char **>(args), environ) != 0) {
        std::perror("render_memory: cannot start korvane");
        return 2;
    }
    int status = 0;
    rusage usage {};
    if (wait4(child, &status, 0, &usage) != child) {
        std::perror("render_memory: wait4");
        return 2;
    }
    const double seconds = double(clock.elapsed()) / 1000;
    const double peakMb = double(usage.ru_maxrss) / 1024; // kilobytes on Linux
    const qint64 bytes = QFileInfo(midi).size();
    std::printf("ticks %lld, voices %d: exit status %d, %.1f s, MIDI file %.1f MB, peak resident memory %.1f MB "
                "(budget %.0f MB)\n",
                ticks, voices, WIFEXITED(status) ? WEXITSTATUS(status) : -1, seconds, double(bytes) / 1e6, peakMb,
                budgetMb);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && peakMb < budgetMb ? 0 : 1;
}
