// Korvane without a window but in real time: the timer, the MIDI ports and the patches of the
// desktop program, run until SIGINT or SIGTERM, with an optional report of how well it kept time.
#pragma once

#include <QStringList>
#include <QTextStream>

// Runs `korvane --headless [--period MS] [--midi-out NAME] [--midi-in NAME] [--osc-port N] [--link]
// [--record FILE.mid] [--stats] FILE...` (the MIDI system is chosen before) and returns the exit
// status: 0 after a signal, 1 when a patch does not load, the recording's file cannot be made or
// the MIDI system cannot be used, 2 for a usage error, 3 after a
// signal when a patch raised during the run (reported on `err`). Needs a QApplication and the classes registered;
// InstallStopSignals should have run first thing (it is run here otherwise).
int RunHeadless(const QStringList &args, QTextStream &err);
