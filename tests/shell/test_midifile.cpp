// Standard MIDI Files: what the writer puts down reads back to the same messages at the same
// milliseconds; files of other writers (running status, tempo maps, two tracks, SMPTE time,
// sysex packets) read to the right times; damaged files raise instead of crashing.
#include "Errors.h"
#include "MidiFile.h"

#include <gtest/gtest.h>

namespace {

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QByteArray Chunk(const char *id, const QByteArray &body)
{
    const auto n = uint32_t(body.size());
    return QByteArray(id, 4) + Bytes({int(n >> 24), int((n >> 16) & 255), int((n >> 8) & 255), int(n & 255)}) + body;
}

QByteArray Header(int format, int tracks, int division)
{
    return Chunk("MThd", Bytes({0, format, 0, tracks, (division >> 8) & 255, division & 255}));
}

TEST(MidiFile, MessageLengthsFollowTheStatusByte)
{
    const std::vector<std::pair<int, int>> cases = {{0x90, 3}, {0x80, 3}, {0xB5, 3}, {0xE0, 3}, {0xC3, 2},
                                                    {0xD0, 2}, {0xF1, 2}, {0xF2, 3}, {0xF3, 2}, {0xF8, 1},
                                                    {0xFE, 1}, {0xF0, 0}, {0xF7, 0}, {0x3C, 0}};
    for (const auto &[status, length] : cases)
        EXPECT_EQ(ShortMessageLength(uint8_t(status)), length) << std::hex << status;
}

TEST(MidiFile, WrittenMessagesReadBackAtTheSameMilliseconds)
{
    const std::vector<TTimedMidi> events = {
        {0, Bytes({0x90, 60, 100})},
        {0, Bytes({0xB0, 7, 127})},
        {20, Bytes({0x80, 60, 127})},
        {20, Bytes({0xC1, 5})},
        {40, Bytes({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7})},
        {300000, Bytes({0xE0, 0x00, 0x40})}, // five minutes: a delta of more than two bytes
        {300000, Bytes({0xF8})},             // a system message goes escaped
    };
    const QByteArray file = WriteStandardMidiFile(events);
    EXPECT_TRUE(file.startsWith(Header(0, 1, 1000)));
    EXPECT_EQ(ReadStandardMidiFile(file), events);
    EXPECT_TRUE(ReadStandardMidiFile(WriteStandardMidiFile({})).empty());
}

TEST(MidiFile, ForeignFilesReadToTheirTimes)
{
    struct TCase {
        const char *Name;
        QByteArray File;
        std::vector<TTimedMidi> Expected;
    };
    const std::vector<TCase> cases = {
        {"RunningStatusAtTheDefaultTempo", // 480 per quarter at 120 bpm: 480 ticks are 500 ms
         Header(0, 1, 480) + Chunk("MTrk", Bytes({0, 0x90, 60, 100, 0x83, 0x60, 62, 90, 0x83, 0x60, 60, 0, 0,
                                                  0xFF, 0x2F, 0})),
         {{0, Bytes({0x90, 60, 100})}, {500, Bytes({0x90, 62, 90})}, {1000, Bytes({0x90, 60, 0})}}},
        {"TempoChangeInTheFirstTrackOfTwo", // 96 per quarter; tempo 1 s per quarter from tick 96
         Header(1, 2, 96) +
             Chunk("MTrk", Bytes({0x60, 0xFF, 0x51, 3, 0x0F, 0x42, 0x40, 0, 0xFF, 0x2F, 0})) +
             Chunk("MTrk", Bytes({0x60, 0x91, 64, 80, 0x60, 0x81, 64, 0, 0, 0xFF, 0x2F, 0})),
         {{500, Bytes({0x91, 64, 80})}, {1500, Bytes({0x81, 64, 0})}}},
        {"TiesKeepTrackOrderAndUnknownChunksAreSkipped",
         Header(1, 2, 96) + Chunk("XYZW", Bytes({1, 2, 3})) +
             Chunk("MTrk", Bytes({0, 0xB0, 1, 2, 0, 0xFF, 0x2F, 0})) +
             Chunk("MTrk", Bytes({0, 0xB1, 3, 4, 0, 0xFF, 0x2F, 0})),
         {{0, Bytes({0xB0, 1, 2})}, {0, Bytes({0xB1, 3, 4})}}},
        {"SmpteTwentyFiveFramesOfForty", // 1000 ticks per second
         Header(0, 1, 0xE728) + Chunk("MTrk", Bytes({0x87, 0x68, 0x90, 1, 2, 0, 0xFF, 0x2F, 0})),
         {{1000, Bytes({0x90, 1, 2})}}},
        {"SysexInPacketsAndAnEscapedMessage",
         Header(0, 1, 96) + Chunk("MTrk", Bytes({0, 0xF0, 2, 0x43, 0x10, 0, 0xF7, 2, 0x4C, 0xF7, 0, 0xF7, 1, 0xFA,
                                                 0, 0xFF, 0x2F, 0})),
         {{0, Bytes({0xF0, 0x43, 0x10, 0x4C, 0xF7})}, {0, Bytes({0xFA})}}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(ReadStandardMidiFile(c.File), c.Expected);
    }
}

TEST(MidiFile, DamagedFilesRaiseWithAReason)
{
    const QByteArray track = Chunk("MTrk", Bytes({0, 0x90, 60, 100, 0x60, 0x80, 60, 0, 0, 0xFF, 0x2F, 0}));
    const QByteArray good = Header(0, 1, 96) + track;
    ASSERT_EQ(ReadStandardMidiFile(good).size(), 2u);
    struct TCase {
        const char *Name;
        QByteArray File;
    };
    const std::vector<TCase> cases = {
        {"NotAMidiFile", "RIFF....WAVEfmt "},
        {"Format2", Header(2, 1, 96) + track},
        {"ZeroDivision", Header(0, 1, 0) + track},
        {"DataWithoutStatus", Header(0, 1, 96) + Chunk("MTrk", Bytes({0, 60, 100}))},
        {"TrackLongerThanTheFile", good.left(good.size() - 3)},
        {"EventLongerThanItsTrack", Header(0, 1, 96) + Chunk("MTrk", Bytes({0, 0xF0, 0x7F, 1}))},
        {"FiveByteDelta", Header(0, 1, 96) + Chunk("MTrk", Bytes({0x81, 0x81, 0x81, 0x81, 0x01, 0x90, 1, 1}))},
        {"StatusInsteadOfData", Header(0, 1, 96) + Chunk("MTrk", Bytes({0, 0x90, 0x80, 1}))},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            ReadStandardMidiFile(c.File);
            ADD_FAILURE() << "no error";
        } catch (const EStreamError &e) {
            EXPECT_TRUE(e.Message().startsWith("Invalid MIDI file: ")) << e.Message().toStdString();
        }
    }
    // Every cut of a good file either reads or raises that error; nothing reads outside it.
    for (qsizetype n = 0; n < good.size(); ++n)
        try {
            ReadStandardMidiFile(good.left(n));
        } catch (const EStreamError &) {
        }
}

} // namespace
