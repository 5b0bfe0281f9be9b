// Live recording of what Korvane plays (and, if asked, what it hears) into a Standard MIDI File
// that stays readable while it grows, so that a recording survives the program being killed.
#pragma once

#include "ByteRing.h"
#include "FileWriter.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// One track of a Standard MIDI File written in place (TFileWriter::TMode::InPlace) and made
// readable again at every Checkpoint: a reader that opens it at any moment, even after the
// writing process was killed between two writes, finds a valid file holding every message up
// to the last checkpoint.
//
// How: the file is a header, one track chunk and nothing else the header counts. The chunk's
// last event is always an end of track, at `FEndAt`. A checkpoint
//   1. appends the new events and a new end of track after the old one, past the chunk's end
//      (bytes past the last chunk the header counts are not read), and syncs them to the disk;
//   2. writes the chunk's new length: the chunk now holds the old end, the new events and the
//      new end (a reader that stops at the first end of track sees the file as it was, one
//      that reads the whole chunk sees everything);
//   3. turns the old end of track into an empty text event, four bytes for four, in one write.
// After a kill between any two steps the file reads as after the last checkpoint or the one
// before it. Each later step's write lands in the page cache after the earlier one; against a
// power cut, step 1's sync comes before step 2 is written, and step 3 may reach the disk before
// or after step 2: either order reads. Messages since the last checkpoint are lost, and a
// checkpoint with nothing new writes nothing.
//
// Times are ticks of 100 microseconds: 10 000 ticks to the quarter note at 60 beats per minute.
// Not thread-safe; errors raise EFileError, and the file then keeps what its last checkpoint
// held.
class TLiveMidiTrack {
public:
    static constexpr int64_t TicksPerSecond = 10000;

    // Empties or creates the file and writes a readable file with an empty track named
    // `trackName`.
    TLiveMidiTrack(const QString &fileName, const QByteArray &trackName);
    // A message at `tick` (an earlier one than the last counts as the last).
    void Add(int64_t tick, const uint8_t *bytes, size_t size);
    void Checkpoint();
    // The last checkpoint; then, given `secondTrackFile` (another finished TLiveMidiTrack's
    // file), its track appended as a second track of a format 1 file: the chunk first, past
    // the counted ones, then the header's format and track count in one four-byte write. The
    // file is then durable and closed.
    void Finish(const QString &secondTrackFile = {});

    const QString &FileName() const { return FOut.FileName(); }

private:
    TFileWriter FOut;
    QByteArray FPending; // events since the last checkpoint
    int64_t FLast = 0;   // the tick of the last event added
    uint64_t FEndAt = 0; // where the chunk's end of track starts
};

// A recording in progress: the threads that send and receive MIDI put each message with its
// time into a fixed ring (no allocation, no lock, no file), and a writer thread of its own
// drains the rings every few milliseconds into the file, with a checkpoint (see
// TLiveMidiTrack) about once a second. Messages that find their ring full are dropped and
// counted.
//
// With `input`, incoming messages go to a second track: while the recording runs they are kept
// in a file of their own beside the target (InputTrackFile), itself a readable MIDI file after
// a kill, and Finish appends them to the target as its second track and removes that file.
class TMidiRecorder {
public:
    using TClock = std::chrono::steady_clock;
    struct TOptions {
        bool Input = false;
        std::chrono::milliseconds CheckpointEvery{1000};
        size_t RingBytes = 1 << 20; // per ring; a message takes 16 bytes and its own
    };

    // Makes the file (and the input track's) and starts the writer; times count from now.
    // Raises EFileError when a file cannot be made.
    TMidiRecorder(const QString &fileName, TOptions options);
    // Finishes, if Finish did not run, without a word.
    ~TMidiRecorder();
    TMidiRecorder(const TMidiRecorder &) = delete;
    TMidiRecorder &operator=(const TMidiRecorder &) = delete;

    enum TTrack { OutputTrack, InputTrack };
    // One message (a short one by its status byte, or a whole system exclusive) at the time it
    // plays. Any thread; callers of one track may overlap (a flag keeps them apart while they
    // copy the message). Allocates nothing and never waits.
    void Short(TTrack track, uint8_t status, uint8_t data1, uint8_t data2, TClock::time_point at) noexcept;
    void Long(TTrack track, const uint8_t *bytes, size_t size, TClock::time_point at) noexcept;

    // Stops the writer, writes what the rings still hold and finishes the file. Returns one
    // line saying what was recorded, what was dropped and, when writing failed, why (the file
    // then holds what its last checkpoint held). Once; the thread that made the recorder.
    QString Finish();

    const QString &FileName() const { return FFileName; }
    TClock::time_point Start() const { return FStart; }
    // Messages written so far, and dropped for a full ring.
    uint64_t Recorded() const { return FRecorded.load(std::memory_order_relaxed); }
    uint64_t Dropped() const { return FDropped.load(std::memory_order_relaxed); }
    // Why the writer stopped writing; empty while it writes. Any thread.
    QString Problem() const;

    // Where the incoming messages are kept while `fileName` is recorded.
    static QString InputTrackFile(const QString &fileName);

private:
    struct THead {
        uint32_t Size;
        uint32_t Spare;
        int64_t Ns; // steady-clock time since its epoch
    };
    struct TLane {
        explicit TLane(size_t bytes) : Ring(bytes) {}
        TByteRing<THead> Ring;
        std::atomic_flag Putting; // clear
    };
    void Put(TTrack track, const uint8_t *bytes, size_t size, TClock::time_point at) noexcept;
    void Run();
    // Moves what the rings hold into the tracks; false once writing failed.
    bool Drain();
    void Fail(const QString &why);

    QString FFileName;
    TOptions FOptions;
    TClock::time_point FStart;
    std::unique_ptr<TLiveMidiTrack> FOutput, FInput;
    std::unique_ptr<TLane> FLanes[2];
    std::vector<uint8_t> FScratch; // one message on its way from a ring to a track
    std::atomic<uint64_t> FRecorded{0}, FDropped{0};
    mutable std::mutex FLock; // FProblem, FStop
    std::condition_variable FWake;
    bool FStop = false;
    QString FProblem;
    std::atomic<bool> FFailed{false};
    bool FFinished = false;
    std::thread FWriter;
};
