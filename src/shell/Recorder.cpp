#include "Recorder.h"

#include "Errors.h"
#include "MidiFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

constexpr uint32_t TicksPerQuarter = 10000;
constexpr uint32_t MicrosecondsPerQuarter = 1000000; // 60 beats per minute: a tick is 100 us
constexpr uint64_t FormatOffset = 8, TrackLengthOffset = 18, TrackStart = 22;
constexpr char TrackEnd[] = {0, char(0xFF), 0x2F, 0};
// What an end of track becomes once the track goes on: an empty text event of the same size.
constexpr char EmptyText[] = {0, char(0xFF), 0x01, 0};
static_assert(sizeof TrackEnd == sizeof EmptyText);
constexpr uint32_t TempoEventSize = 7;

void PutBigEndian(QByteArray &out, uint32_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

QByteArray BigEndian(uint32_t v, int bytes)
{
    QByteArray out;
    PutBigEndian(out, v, bytes);
    return out;
}

// The header of a format 0 file, the track chunk's id and a length for its empty track, and
// the tempo event that opens it (so that the chunk after TrackStart + TempoEventSize can go
// into another file as it is).
QByteArray FileStart(const QByteArray &trackName)
{
    QByteArray file("MThd");
    PutBigEndian(file, 6, 4);
    PutBigEndian(file, 0, 2); // format 0 until a second track comes
    PutBigEndian(file, 1, 2);
    PutBigEndian(file, TicksPerQuarter, 2);
    QByteArray track;
    track.append("\0\xFF\x51\x03", 4);
    PutBigEndian(track, MicrosecondsPerQuarter, 3);
    track.append("\0\xFF\x03", 3);
    track.append(char(trackName.size())); // short names only: one byte of length
    track.append(trackName);
    track.append(TrackEnd, sizeof TrackEnd);
    file.append("MTrk");
    PutBigEndian(file, uint32_t(track.size()), 4);
    return file + track;
}

[[noreturn]] void RaiseTooLong(const QString &fileName)
{
    throw EFileError(QStringLiteral("Cannot write file \"%1\". A MIDI track holds at most 4 GiB.").arg(fileName));
}

} // namespace

TLiveMidiTrack::TLiveMidiTrack(const QString &fileName, const QByteArray &trackName)
    : FOut(fileName, TFileWriter::TMode::InPlace)
{
    if (!FOut.CanOverwrite())
        throw EFileError(QStringLiteral("Cannot record to \"%1\". A recording goes to a file, not to a device or pipe.")
                             .arg(QDir::toNativeSeparators(fileName)));
    FOut.Write(FileStart(trackName.left(127)));
    FEndAt = FOut.Size() - sizeof TrackEnd;
    FOut.Sync();
}

void TLiveMidiTrack::Add(int64_t tick, const uint8_t *bytes, size_t size)
{
    AppendTrackEvent(FPending, FLast, tick, reinterpret_cast<const char *>(bytes), size);
}

void TLiveMidiTrack::Checkpoint()
{
    if (FPending.isEmpty())
        return;
    const uint64_t length = FOut.Size() + uint64_t(FPending.size()) + sizeof TrackEnd - TrackStart;
    if (length > UINT32_MAX)
        RaiseTooLong(FOut.FileName());
    FOut.Write(FPending);
    FOut.Write(TrackEnd, sizeof TrackEnd);
    FOut.Sync();
    const QByteArray field = BigEndian(uint32_t(length), 4);
    FOut.Overwrite(TrackLengthOffset, field.constData(), size_t(field.size()));
    FOut.Overwrite(FEndAt, EmptyText, sizeof EmptyText);
    FEndAt = FOut.Size() - sizeof TrackEnd;
    FPending.clear();
}

void TLiveMidiTrack::Finish(const QString &secondTrackFile)
{
    Checkpoint();
    if (!secondTrackFile.isEmpty()) {
        QFile second(secondTrackFile);
        if (!second.open(QIODevice::ReadOnly))
            throw EFileError(QStringLiteral("Cannot read file \"%1\". %2").arg(secondTrackFile, second.errorString()),
                             secondTrackFile, second.errorString());
        second.seek(qint64(TrackLengthOffset));
        const QByteArray lengthField = second.read(4);
        uint32_t length = 0;
        for (const char c : lengthField)
            length = (length << 8) | uint8_t(c);
        if (lengthField.size() != 4 || length < TempoEventSize + sizeof TrackEnd ||
            uint64_t(second.size()) < TrackStart + length)
            throw EFileError(QStringLiteral("Cannot read file \"%1\". It is not a finished track.").arg(secondTrackFile),
                             secondTrackFile, QStringLiteral("not a finished track"));
        // The tempo belongs to the first track of a format 1 file; the rest goes over as it is.
        FOut.Write("MTrk", 4);
        FOut.Write(BigEndian(length - TempoEventSize, 4));
        second.seek(qint64(TrackStart + TempoEventSize));
        for (qint64 left = qint64(length - TempoEventSize); left > 0;) {
            const QByteArray piece = second.read(std::min<qint64>(left, 64 * 1024));
            if (piece.isEmpty())
                throw EFileError(QStringLiteral("Cannot read file \"%1\". %2").arg(secondTrackFile, second.errorString()),
                                 secondTrackFile, second.errorString());
            FOut.Write(piece);
            left -= piece.size();
        }
        FOut.Sync();
        const char formatOneTwoTracks[] = {0, 1, 0, 2};
        FOut.Overwrite(FormatOffset, formatOneTwoTracks, sizeof formatOneTwoTracks);
    }
    FOut.Commit();
}

TMidiRecorder::TMidiRecorder(const QString &fileName, TOptions options)
    : FFileName(fileName), FOptions(options), FScratch(65536)
{
    FOutput = std::make_unique<TLiveMidiTrack>(fileName, QByteArrayLiteral("Korvane out"));
    if (options.Input)
        FInput = std::make_unique<TLiveMidiTrack>(InputTrackFile(fileName), QByteArrayLiteral("MIDI in"));
    FLanes[OutputTrack] = std::make_unique<TLane>(options.RingBytes);
    if (options.Input)
        FLanes[InputTrack] = std::make_unique<TLane>(options.RingBytes / 4);
    FStart = TClock::now();
    FWriter = std::thread([this] { Run(); });
}

TMidiRecorder::~TMidiRecorder()
{
    if (!FFinished)
        Finish();
}

QString TMidiRecorder::InputTrackFile(const QString &fileName)
{
    const QFileInfo info(fileName);
    return info.dir().filePath(u'.' + info.fileName() + QStringLiteral(".input.mid"));
}

void TMidiRecorder::Short(TTrack track, uint8_t status, uint8_t data1, uint8_t data2, TClock::time_point at) noexcept
{
    const uint8_t bytes[3] = {status, data1, data2};
    const int size = ShortMessageLength(status);
    if (size > 0)
        Put(track, bytes, size_t(size), at);
}

void TMidiRecorder::Long(TTrack track, const uint8_t *bytes, size_t size, TClock::time_point at) noexcept
{
    if (bytes && size > 0 && size <= FScratch.size())
        Put(track, bytes, size, at);
}

void TMidiRecorder::Put(TTrack track, const uint8_t *bytes, size_t size, TClock::time_point at) noexcept
{
    TLane *lane = FLanes[track].get();
    if (!lane)
        return;
    const THead head{uint32_t(size), 0, std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count()};
    // Two senders at once are rare (the tick, and a stop's notes-off under the patch lock on
    // another thread): the second waits the few nanoseconds of a copy.
    while (lane->Putting.test_and_set(std::memory_order_acquire)) {
    }
    const bool put = lane->Ring.Put(head, bytes);
    lane->Putting.clear(std::memory_order_release);
    if (!put)
        FDropped.fetch_add(1, std::memory_order_relaxed);
}

void TMidiRecorder::Run()
{
    auto checkpointAt = TClock::now() + FOptions.CheckpointEvery;
    std::unique_lock lock(FLock);
    while (!FStop) {
        FWake.wait_for(lock, std::chrono::milliseconds(20), [this] { return FStop; });
        if (FStop)
            break;
        lock.unlock();
        if (Drain() && TClock::now() >= checkpointAt) {
            try {
                FOutput->Checkpoint();
                if (FInput)
                    FInput->Checkpoint();
            } catch (const std::exception &e) {
                Fail(QString::fromUtf8(e.what()));
            }
            checkpointAt = TClock::now() + FOptions.CheckpointEvery;
        }
        lock.lock();
    }
}

bool TMidiRecorder::Drain()
{
    if (FFailed.load())
        return false;
    const int64_t start = std::chrono::duration_cast<std::chrono::nanoseconds>(FStart.time_since_epoch()).count();
    constexpr int64_t NsPerTick = 1000000000 / TLiveMidiTrack::TicksPerSecond;
    try {
        for (const TTrack track : {OutputTrack, InputTrack}) {
            TLane *lane = FLanes[track].get();
            TLiveMidiTrack *file = track == OutputTrack ? FOutput.get() : FInput.get();
            THead head{};
            while (lane && lane->Ring.Peek(head)) {
                lane->Ring.Take(head, FScratch.data());
                // A tick's deadline may lie a little before the recording began.
                const int64_t ns = std::max<int64_t>(head.Ns - start, 0);
                file->Add((ns + NsPerTick / 2) / NsPerTick, FScratch.data(), head.Size);
                FRecorded.fetch_add(1, std::memory_order_relaxed);
            }
        }
    } catch (const std::exception &e) {
        Fail(QString::fromUtf8(e.what()));
        return false;
    }
    return true;
}

void TMidiRecorder::Fail(const QString &why)
{
    std::lock_guard lock(FLock);
    if (FProblem.isEmpty())
        FProblem = why;
    FFailed = true;
}

QString TMidiRecorder::Problem() const
{
    std::lock_guard lock(FLock);
    return FProblem;
}

QString TMidiRecorder::Finish()
{
    if (FFinished)
        return {};
    FFinished = true;
    {
        std::lock_guard lock(FLock);
        FStop = true;
    }
    FWake.notify_all();
    FWriter.join();
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(TClock::now() - FStart).count();
    if (Drain()) {
        try {
            if (FInput) {
                FInput->Finish();
                FOutput->Finish(FInput->FileName());
                QFile::remove(FInput->FileName());
            } else {
                FOutput->Finish();
            }
        } catch (const std::exception &e) {
            Fail(QString::fromUtf8(e.what()));
        }
    }
    QString line = QStringLiteral("recorded %1 messages in %2:%3 to %4")
                       .arg(Recorded())
                       .arg(elapsed / 60)
                       .arg(elapsed % 60, 2, 10, QLatin1Char('0'))
                       .arg(QDir::toNativeSeparators(FFileName));
    if (const uint64_t dropped = Dropped())
        line += QStringLiteral("; %1 messages dropped: the recording fell behind").arg(dropped);
    if (const QString problem = Problem(); !problem.isEmpty())
        line += QStringLiteral("; writing stopped, the file holds what was written until then: %1").arg(problem);
    return line;
}
