// Standard MIDI Files: writing what a patch sent, stamped in milliseconds, whole or streamed as
// the messages come, and reading a file's events back as millisecond-stamped messages.
#pragma once

#include "FileWriter.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

// One complete MIDI message (status byte first; a system exclusive from F0 to F7) at a time in
// milliseconds from the start.
struct TTimedMidi {
    int64_t Ms = 0;
    QByteArray Bytes;
    friend bool operator==(const TTimedMidi &, const TTimedMidi &) = default;
};

// The number of bytes of a short message with this status byte (1 .. 3); 0 for F0 and F7,
// which start and end system exclusives, and for data bytes.
int ShortMessageLength(uint8_t status);

// A format 0 file with one track: 1000 ticks per quarter note at 60 beats per minute, so one
// tick is one millisecond. Events must come in time order. A system exclusive becomes a sysex
// event; any other system message goes out as an escaped (F7) event.
QByteArray WriteStandardMidiFile(const std::vector<TTimedMidi> &events);

// The same file, streamed into a writer as the messages come, so that memory stays flat however
// long the run: the header at once with a track length that Finish fills in. The writer (not
// owned) must be opened with TFileWriter::TAccess::Overwrites; errors of the writer reach the
// caller as EFileError. One thread at a time.
class TMidiFileStream {
public:
    explicit TMidiFileStream(TFileWriter &out);
    // One message at `ms`; times must not go back (an earlier time counts as the last one).
    void Add(int64_t ms, const char *bytes, size_t size);
    // Ends the track and writes its length; the caller then commits the writer.
    void Finish();

private:
    TFileWriter &FOut;
    uint64_t FStart = 0;
    int64_t FLast = 0;
};

// The channel messages and system exclusives of a format 0 or 1 file, merged in time order
// (ties keep the order of the tracks), with times converted through the tempo map (or the
// SMPTE frame rate). Meta events are read and dropped. Raises EStreamError on a malformed file
// with a message that says what is wrong and where.
std::vector<TTimedMidi> ReadStandardMidiFile(const QByteArray &file);
