// Standard MIDI Files: writing what a patch sent, stamped in milliseconds, whole or streamed as
// the messages come, and reading a file's events back as millisecond-stamped messages.
#pragma once

#include "FileWriter.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>
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

// Appends one track event to `out`: its delta time from `last` in the file's ticks (which it
// advances; an earlier time counts as `last`), then the message as WriteStandardMidiFile puts
// it. A gap longer than a delta time holds is bridged by empty text events.
void AppendTrackEvent(QByteArray &out, int64_t &last, int64_t tick, const char *bytes, size_t size);

// A format 0 file with one track: 1000 ticks per quarter note at 60 beats per minute, so one
// tick is one millisecond. Events must come in time order. A system exclusive becomes a sysex
// event; any other system message goes out as an escaped (F7) event.
QByteArray WriteStandardMidiFile(const std::vector<TTimedMidi> &events);

// The same file, streamed into a writer as the messages come, so that memory stays flat however
// long the run. The header goes out at once: with the track length when it is known (a target
// that cannot be overwritten, such as a pipe, needs it; see TMidiTrackMeter), else with a
// length that Finish fills in through TFileWriter::Overwrite. Errors of the writer reach the
// caller as EFileError. The writer is not owned. One thread at a time.
class TMidiFileStream {
public:
    // Raises EFileError when a known length is more than a MIDI file can hold.
    explicit TMidiFileStream(TFileWriter &out, std::optional<uint64_t> trackLength = std::nullopt);
    // One message at `ms`; times must not go back (an earlier time counts as the last one).
    void Add(int64_t ms, const char *bytes, size_t size);
    // Ends the track and writes its length, or, when it was given, raises EFileError unless the
    // track came out exactly that long; the caller then commits the writer.
    void Finish();

private:
    TFileWriter &FOut;
    std::optional<uint64_t> FTrackLength;
    uint64_t FStart = 0;
    int64_t FLast = 0;
};

// Counts the track a TMidiFileStream would write for the same messages, writing nothing.
class TMidiTrackMeter {
public:
    void Add(int64_t ms, const char *bytes, size_t size);
    // The track chunk's length once the track is ended.
    uint64_t TrackLength() const;

private:
    uint64_t FBytes = 0;
    int64_t FLast = 0;
};

// The channel messages and system exclusives of a format 0 or 1 file, merged in time order
// (ties keep the order of the tracks), with times converted through the tempo map (or the
// SMPTE frame rate). Meta events are read and dropped. Raises EStreamError on a malformed file
// with a message that says what is wrong and where.
std::vector<TTimedMidi> ReadStandardMidiFile(const QByteArray &file);
