// Korvane without a window: rendering patches offline to MIDI files and event logs, checking
// patch files and converting old ones. Nothing here waits for a person: every message goes to
// standard error.
#pragma once

#include <QStringList>
#include <QTextStream>
#include <optional>

// Whether the arguments (without the program name) ask for one of the modes below rather than
// the desktop program, whose only argument is an optional patch file.
bool IsCommandLineRun(const QStringList &args);

// Runs the mode the arguments ask for and returns the exit status: 0 success, 1 a patch that
// failed to load (or, for --check, showed any message), an output that could not be written
// (nothing of it is left in place of the previous file) or a failed allocation, 2 a usage error
// (an output that is also an input among them, or two outputs in one file), 3 a render whose
// patches raised during the run (its outputs are complete). Needs a QApplication and the
// module classes registered. User-interface thread.
int RunCommandLine(const QStringList &args, QTextStream &out, QTextStream &err);

// Makes a failed allocation that nothing catches end the program with a one-line message and
// exit status 1 instead of an abort. For the modes without a window; call once, early.
void ExitOnOutOfMemory();

// Removes "--osc-port N" from the arguments of the desktop program or a headless run: the UDP
// port to listen for OSC on (0: none), nothing when absent or when the value is no port, which
// sets `error`.
std::optional<int32_t> TakeOscPort(QStringList &args, QString &error);

// Removes "--record FILE" from the arguments of the desktop program or a headless run: the
// MIDI file to record to; nothing when absent or when the value cannot be one, which sets
// `error`.
std::optional<QString> TakeRecordFile(QStringList &args, QString &error);

// The usage text that --help prints.
QString CommandLineUsage();
