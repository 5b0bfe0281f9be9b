#include "MidiFile.h"

#include "Errors.h"

#include <algorithm>
#include <map>

namespace {

constexpr uint32_t TicksPerQuarter = 1000;
constexpr uint32_t MicrosecondsPerQuarter = 1000000; // 60 beats per minute: a tick is a millisecond

void PutBigEndian(QByteArray &out, uint32_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

// Calls put(data, size) for the variable-length form of v.
template <class TPut>
void PutVarLen(TPut &&put, uint32_t v)
{
    char bytes[5];
    int n = 0;
    bytes[n++] = char(v & 0x7F);
    while (v >>= 7)
        bytes[n++] = char(0x80 | (v & 0x7F));
    char ordered[5];
    for (int i = 0; i < n; ++i)
        ordered[i] = bytes[n - 1 - i];
    put(ordered, size_t(n));
}

// The header chunk, the track chunk's id and length, and the tempo event that opens the track.
QByteArray FileStart(uint32_t trackLength)
{
    QByteArray file("MThd");
    PutBigEndian(file, 6, 4);
    PutBigEndian(file, 0, 2); // format 0
    PutBigEndian(file, 1, 2); // one track
    PutBigEndian(file, TicksPerQuarter, 2);
    file.append("MTrk");
    PutBigEndian(file, trackLength, 4);
    file.append('\0'); // delta time 0
    file.append("\xFF\x51\x03", 3);
    PutBigEndian(file, MicrosecondsPerQuarter, 3);
    return file;
}
constexpr qsizetype TrackLengthOffset = 18, TrackStart = 22;
constexpr char TrackEnd[] = {0, char(0xFF), 0x2F, 0};

// Calls put for one event: its delta time from `last` (which it advances), then the message.
// A system exclusive becomes a sysex event, another system message an escaped one.
template <class TPut>
void PutEvent(TPut &&put, int64_t &last, int64_t ms, const char *bytes, size_t size)
{
    if (size == 0)
        return;
    const int64_t at = std::max(ms, last);
    PutVarLen(put, uint32_t(at - last));
    last = at;
    const auto status = uint8_t(bytes[0]);
    if (status == 0xF0) {
        put(bytes, 1);
        PutVarLen(put, uint32_t(size - 1));
        put(bytes + 1, size - 1);
    } else if (status >= 0xF0) {
        const char escape = char(0xF7);
        put(&escape, 1);
        PutVarLen(put, uint32_t(size));
        put(bytes, size);
    } else {
        put(bytes, size);
    }
}

// Reads one chunk-structured file with a position that never leaves the data.
class TReader {
public:
    TReader(const QByteArray &data, qsizetype begin, qsizetype end) : FData(data), FPos(begin), FEnd(end) {}

    bool AtEnd() const { return FPos >= FEnd; }
    qsizetype Pos() const { return FPos; }
    qsizetype Left() const { return FEnd - FPos; }

    uint8_t Byte()
    {
        if (FPos >= FEnd)
            Fail(QStringLiteral("unexpected end of data"));
        return uint8_t(FData[FPos++]);
    }
    uint8_t Peek() const
    {
        if (FPos >= FEnd)
            Fail(QStringLiteral("unexpected end of data"));
        return uint8_t(FData[FPos]);
    }
    uint32_t BigEndian(int bytes)
    {
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v = (v << 8) | Byte();
        return v;
    }
    // At most four bytes, as the file format allows: 0 .. 0x0FFFFFFF.
    uint32_t VarLen()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const uint8_t b = Byte();
            v = (v << 7) | (b & 0x7F);
            if (!(b & 0x80))
                return v;
        }
        Fail(QStringLiteral("variable-length number longer than four bytes"));
    }
    QByteArray Bytes(uint32_t n)
    {
        if (qsizetype(n) > Left())
            Fail(QStringLiteral("event length %1 runs past the end of its chunk").arg(n));
        const QByteArray out = FData.mid(FPos, qsizetype(n));
        FPos += qsizetype(n);
        return out;
    }
    void Skip(qsizetype n) { FPos = std::min(FEnd, FPos + n); }

    [[noreturn]] void Fail(const QString &what) const
    {
        throw EStreamError(QStringLiteral("Invalid MIDI file: %1 at byte %2").arg(what).arg(FPos));
    }

private:
    const QByteArray &FData;
    qsizetype FPos, FEnd;
};

struct TTrackEvent {
    uint64_t Tick;
    int Track;
    int Index; // order within the track, so ties keep the file's order
    QByteArray Bytes;
};

// Appends one track's messages to `events` and its tempo changes to `tempos`.
void ReadTrack(TReader &r, int track, std::vector<TTrackEvent> &events, std::map<uint64_t, uint32_t> &tempos)
{
    uint64_t tick = 0;
    uint8_t running = 0;
    QByteArray sysex; // a system exclusive sent in packets, until its F7
    int index = 0;
    auto add = [&](QByteArray bytes) { events.push_back({tick, track, index++, std::move(bytes)}); };
    while (!r.AtEnd()) {
        tick += r.VarLen();
        uint8_t status = r.Peek();
        if (status & 0x80)
            r.Byte();
        else if (running)
            status = running;
        else
            r.Fail(QStringLiteral("data byte without a status"));

        if (status == 0xFF) {
            running = 0;
            const uint8_t type = r.Byte();
            const QByteArray data = r.Bytes(r.VarLen());
            if (type == 0x2F)
                return;
            if (type == 0x51 && data.size() == 3)
                tempos[tick] = (uint32_t(uint8_t(data[0])) << 16) | (uint32_t(uint8_t(data[1])) << 8) | uint8_t(data[2]);
        } else if (status == 0xF0 || status == 0xF7) {
            running = 0;
            const QByteArray data = r.Bytes(r.VarLen());
            if (status == 0xF0) {
                sysex = QByteArray(1, char(0xF0)) + data;
            } else if (!sysex.isEmpty()) {
                sysex += data; // a continuation packet
            } else {
                if (!data.isEmpty())
                    add(data); // an escaped message, sent as it stands
                continue;
            }
            if (sysex.endsWith(char(0xF7)))
                add(std::exchange(sysex, {}));
        } else if (status >= 0xF0) {
            r.Fail(QStringLiteral("status byte %1 is not allowed in a track").arg(status, 2, 16, QLatin1Char('0')));
        } else {
            running = status;
            QByteArray msg(1, char(status));
            for (int i = 1; i < ShortMessageLength(status); ++i) {
                const uint8_t d = r.Byte();
                if (d & 0x80)
                    r.Fail(QStringLiteral("status byte where a data byte belongs"));
                msg.append(char(d));
            }
            add(msg);
        }
    }
}

} // namespace

int ShortMessageLength(uint8_t status)
{
    if (status < 0x80 || status == 0xF0 || status == 0xF7)
        return 0;
    if (status < 0xF0)
        return (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : 3;
    switch (status) {
    case 0xF1:
    case 0xF3:
        return 2;
    case 0xF2:
        return 3;
    default:
        return 1;
    }
}

void AppendTrackEvent(QByteArray &out, int64_t &last, int64_t tick, const char *bytes, size_t size)
{
    const auto put = [&out](const char *data, size_t n) { out.append(data, qsizetype(n)); };
    constexpr int64_t MaxDelta = 0x0FFFFFFF; // four bytes of a variable-length number
    while (tick - last > MaxDelta) {
        PutVarLen(put, uint32_t(MaxDelta));
        out.append("\xFF\x01\x00", 3);
        last += MaxDelta;
    }
    PutEvent(put, last, tick, bytes, size);
}

QByteArray WriteStandardMidiFile(const std::vector<TTimedMidi> &events)
{
    QByteArray file = FileStart(0);
    const auto put = [&file](const char *data, size_t size) { file.append(data, qsizetype(size)); };
    int64_t last = 0;
    for (const TTimedMidi &e : events)
        PutEvent(put, last, e.Ms, e.Bytes.constData(), size_t(e.Bytes.size()));
    file.append(TrackEnd, sizeof TrackEnd);
    const QByteArray start = FileStart(uint32_t(file.size() - TrackStart));
    file.replace(0, start.size(), start);
    return file;
}

namespace {

// What a track holds besides its events: the tempo that opens it and the end that closes it.
uint64_t TrackFrame()
{
    return uint64_t(FileStart(0).size() - TrackStart) + sizeof TrackEnd;
}

[[noreturn]] void RaiseTooLong(const QString &fileName, uint64_t length)
{
    throw EFileError(QStringLiteral("Cannot write file \"%1\". The MIDI track would be %2 bytes long; a MIDI file holds at most 4 GiB.")
                         .arg(fileName)
                         .arg(length));
}

} // namespace

TMidiFileStream::TMidiFileStream(TFileWriter &out, std::optional<uint64_t> trackLength)
    : FOut(out), FTrackLength(trackLength)
{
    if (trackLength && *trackLength > UINT32_MAX)
        RaiseTooLong(out.FileName(), *trackLength);
    FStart = out.Size();
    out.Write(FileStart(uint32_t(trackLength.value_or(0))));
}

void TMidiFileStream::Add(int64_t ms, const char *bytes, size_t size)
{
    PutEvent([this](const char *data, size_t n) { FOut.Write(data, n); }, FLast, ms, bytes, size);
}

void TMidiFileStream::Finish()
{
    FOut.Write(TrackEnd, sizeof TrackEnd);
    const uint64_t length = FOut.Size() - FStart - uint64_t(TrackStart);
    if (FTrackLength) {
        if (length != *FTrackLength)
            throw EFileError(QStringLiteral("Cannot write file \"%1\". The MIDI track came out %2 bytes long, not the %3 its header gives.")
                                 .arg(FOut.FileName())
                                 .arg(length)
                                 .arg(*FTrackLength));
        return;
    }
    if (length > UINT32_MAX)
        RaiseTooLong(FOut.FileName(), length);
    QByteArray field;
    PutBigEndian(field, uint32_t(length), 4);
    FOut.Overwrite(FStart + uint64_t(TrackLengthOffset), field.constData(), size_t(field.size()));
}

void TMidiTrackMeter::Add(int64_t ms, const char *bytes, size_t size)
{
    PutEvent([this](const char *, size_t n) { FBytes += n; }, FLast, ms, bytes, size);
}

uint64_t TMidiTrackMeter::TrackLength() const
{
    return FBytes + TrackFrame();
}

std::vector<TTimedMidi> ReadStandardMidiFile(const QByteArray &file)
{
    TReader r(file, 0, file.size());
    if (file.size() < 14 || !file.startsWith("MThd"))
        r.Fail(QStringLiteral("no MThd header"));
    r.Skip(4);
    const uint32_t headerLength = r.BigEndian(4);
    if (headerLength < 6 || headerLength > uint32_t(r.Left()))
        r.Fail(QStringLiteral("header length %1").arg(headerLength));
    const uint32_t format = r.BigEndian(2);
    const uint32_t trackCount = r.BigEndian(2);
    const uint32_t division = r.BigEndian(2);
    r.Skip(qsizetype(headerLength) - 6);
    if (format > 1)
        r.Fail(QStringLiteral("format %1 (sequences of separate songs) is not supported").arg(format));
    if (division == 0)
        r.Fail(QStringLiteral("zero time division"));

    std::vector<TTrackEvent> events;
    std::map<uint64_t, uint32_t> tempos; // tick -> microseconds per quarter note
    for (uint32_t t = 0; t < trackCount && !r.AtEnd(); ++t) {
        const QByteArray id = r.Bytes(4);
        const uint32_t length = r.BigEndian(4);
        if (qsizetype(length) > r.Left())
            r.Fail(QStringLiteral("chunk length %1 runs past the end of the file").arg(length));
        if (id != "MTrk") { // chunks of unknown kinds are skipped, as the format asks
            r.Skip(length);
            --t;
            continue;
        }
        TReader track(file, r.Pos(), r.Pos() + qsizetype(length));
        ReadTrack(track, int(t), events, tempos);
        r.Skip(length);
    }
    std::stable_sort(events.begin(), events.end(), [](const TTrackEvent &a, const TTrackEvent &b) {
        return a.Tick != b.Tick ? a.Tick < b.Tick : a.Track < b.Track;
    });

    // Exact times: microseconds times ticks-per-quarter are summed as integers and divided once.
    std::vector<TTimedMidi> out;
    out.reserve(events.size());
    if (division & 0x8000) {
        const int fps = -int(int8_t(division >> 8));
        const uint64_t ticksPerFrame = division & 0xFF;
        if (fps <= 0 || ticksPerFrame == 0)
            r.Fail(QStringLiteral("SMPTE time division %1").arg(division, 4, 16, QLatin1Char('0')));
        // 29 stands for 29.97 frames per second.
        const uint64_t framesPer100s = fps == 29 ? 2997 : uint64_t(fps) * 100;
        for (TTrackEvent &e : events)
            out.push_back({int64_t(e.Tick * 100000 / (framesPer100s * ticksPerFrame)), std::move(e.Bytes)});
        return out;
    }
    uint64_t tempo = 500000, segmentTick = 0, segmentStart = 0; // start in microseconds x division
    auto tempoAt = tempos.begin();
    for (TTrackEvent &e : events) {
        for (; tempoAt != tempos.end() && tempoAt->first <= e.Tick; ++tempoAt) {
            segmentStart += (tempoAt->first - segmentTick) * tempo;
            segmentTick = tempoAt->first;
            tempo = tempoAt->second;
        }
        const uint64_t scaled = segmentStart + (e.Tick - segmentTick) * tempo;
        out.push_back({int64_t(scaled / (uint64_t(division) * 1000)), std::move(e.Bytes)});
    }
    return out;
}
