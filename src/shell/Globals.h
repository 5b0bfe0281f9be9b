// The program's settings file: where it lives, reading it with a default for every key, and
// writing it back in its fixed order. Also chooses writable places for an installed copy.
#pragma once

#include "AppPaths.h"
#include "Colors.h"

#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <cstdint>

// Everything the settings file holds besides the colours, which live in the colour atomics.
// A plain value; the main window keeps one and reads and changes it on the user-interface thread.
struct TAppSettings {
    QRect Window;                 // left, top, width, height
    QString MidiIn, MidiOut;      // configured port names
    bool Randomized = true;       // seed the random generator from the clock
    int32_t RandomSeed = 0;       // the seed when not Randomized
    QString LastLoadPath, LastSavePath;
    int32_t Resolution = 20, Accuracy = 2; // the run's period and the timer's accuracy, ms
    QString MidiApi;              // "alsa", "jack" or empty (the default back end)
    bool MidiPickUp = false;      // bound controllers take a control over only once they meet it
    // OSC control: the UDP port listened on (0: none) and the address it is bound to (empty:
    // 127.0.0.1, this computer only).
    int32_t OscPort = 0;
    QString OscHost;
    // Whether controls set by OSC or MIDI mark their slot modified (they never make undo steps).
    bool RemoteChangesAreEdits = false;
    bool RecordInput = false;     // a recording keeps incoming messages on a second track
    // The following modules read the time of an Ableton Link session.
    bool Link = false;
    // ... or the JACK transport's rolling state, bars, beats and tempo (at most one of the two).
    bool JackTransport = false;
    QStringList RecentFiles;      // patches opened or saved last, newest first, at most MaxRecentFiles
    static constexpr int MaxRecentFiles = 10;

    bool operator==(const TAppSettings &) const = default;
};

// The settings file: the application directory + the executable's file name up to its first
// "." + ".INI" ("korvane" -> "korvane.INI"). When nothing can be created in the application
// directory (an installed copy), the same file name in the user's configuration folder, which
// WriteSettings creates when needed. User-interface thread.
QString SettingsFilePath();

// When nothing can be created in the application directory, makes the user's data folder
// (created here) the place for new slots' files; otherwise the application directory.
// User-interface thread, at start.
void ChooseWritablePlaces();

// Reads every key with its default, colours into the colour atomics; `current` gives the
// window's defaults. Then moves a window that would be off `screen` back: a left or top below
// -8 or above the screen's width or height - 50 becomes 0; a width or height below 640 x 480
// or above the screen's + 16 becomes 640 or 480. A missing or unreadable file gives the
// defaults, a value that is not a number reads as its key's default, and a Resolution or
// Accuracy of 0 or less (no period at all) reads as the default; it never raises.
// User-interface thread.
TAppSettings ReadSettings(const QString &file, const QRect &current, const QSize &screen);

// Writes every key in the order ReadSettings reads them (integers and colours in decimal,
// Booleans as 1 and 0); "MidiApi", "MidiPickUp", "OscPort", "OscHost", "RemoteChangesAreEdits"
// and "Link" only when they differ from their defaults, the recent files section only when
// there are any. The previous file stays whole until the
// new one is complete. Raises EFileError when the file cannot be written. User-interface thread.
void WriteSettings(const QString &file, const TAppSettings &settings);

// Puts `file` (made absolute) at the head of the recent files, once, keeping at most
// TAppSettings::MaxRecentFiles.
void AddRecentFile(TAppSettings &settings, const QString &file);
