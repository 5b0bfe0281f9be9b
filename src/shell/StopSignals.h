// SIGINT and SIGTERM as events of the user-interface thread: the handlers only write a byte to
// a pipe that the event loop watches, so the program stops cleanly and reports what it ran.
#pragma once

// Makes the pipe, installs the handlers for SIGINT and SIGTERM and unblocks both (a launcher
// may start the program with them blocked, which would make it unstoppable). Called first in
// main, before anything that can block, so that a signal however early waits in the pipe
// until an event loop reads it instead of ending the process. False when the pipe cannot be
// made; the signals then keep their default action. Main thread, once.
bool InstallStopSignals();

// The pipe's read end, readable once a stop signal came; -1 before InstallStopSignals or
// after it failed. A reader takes one byte per signal.
int StopSignalDescriptor();

// Gives both signals the action they had before InstallStopSignals; the pipe stays open.
void RestoreStopSignals();
