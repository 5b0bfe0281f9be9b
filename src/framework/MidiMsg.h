// Packing of short MIDI messages into one 32-bit value, and the system-exclusive block type.
// Pure functions; safe on any thread.
#pragma once

#include <cstdint>

// bits 0-3 channel, 4-7 command nibble (8 note off, 9 note on, 11 control change,
// 14 pitch bend), 8-15 first data byte, 16-23 second data byte.
constexpr uint32_t MakeShortMsg(uint8_t Channel, uint8_t Command, uint8_t Data1, uint8_t Data2)
{
    return uint32_t(Channel & 15) + 16u * (Command & 15) + 256u * Data1 + 65536u * Data2;
}

struct TShortMsgParts {
    uint8_t Channel, Command, Data1, Data2;
    friend constexpr bool operator==(const TShortMsgParts &, const TShortMsgParts &) = default;
};

// The data bytes lose their top bit; the command is the whole status byte shifted right by 4.
constexpr TShortMsgParts SplitShortMsg(uint32_t Msg)
{
    return {uint8_t(Msg & 15), uint8_t((Msg & 255) >> 4), uint8_t((Msg >> 8) & 127), uint8_t((Msg >> 16) & 127)};
}

// A system-exclusive message block: Count bytes at Data. The block belongs to whoever made
// it and lives until the call that carries it returns.
struct TLongMidi {
    uint32_t Count = 0;
    const uint8_t *Data = nullptr;
};
