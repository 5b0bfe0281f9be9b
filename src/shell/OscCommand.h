// What an OSC message asks of Korvane: its address and arguments turned into one fixed-size
// command, without looking at any patch. The network thread makes these; the user-interface
// thread carries them out (TOscControl).
//
//   /korvane/<slot>/<module>/<property> <number>   set a control (the property as files write it)
//   /korvane/<slot>/active <number>                 the slot plays (nonzero) or is silent (0)
//   /korvane/run <number>                           start (nonzero) or stop the run
//   /korvane/allnotesoff                            all notes off
//   /korvane/list                                   every control's address, range and value
//   /korvane/subscribe, /korvane/unsubscribe        changed controls sent back, or no more
//
// <slot> is the 1-based tab number or the slot's name (which may hold dots, never a slash).
// The commands without a value also take one number, acting only when it is not 0, so that
// a button that sends 1 when pressed and 0 when released acts once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// One argument as the parser needs it: numbers and Booleans by value, anything else by type.
struct TOscArg {
    char Type = 0; // the OSC type tag: 'i', 'h', 'f', 'd', 'T', 'F', or another one
    int64_t Int = 0;
    double Real = 0;
};

enum class TOscKind : uint8_t { None, SetControl, SlotActive, Run, AllNotesOff, List, Subscribe, Unsubscribe };

// Why a message does nothing; the message is then counted, never answered.
enum class TOscProblem : uint8_t { None, UnknownAddress, WrongArguments, NameTooLong };

struct TOscCommand {
    static constexpr size_t SlotSize = 128, NameSize = 64; // with the terminating 0
    TOscKind Kind = TOscKind::None;
    TOscProblem Problem = TOscProblem::None;
    int32_t SlotNumber = 0; // > 0 when <slot> is all digits
    char Slot[SlotSize] = {};
    char Module[NameSize] = {};
    char Property[NameSize] = {};
    int64_t Value = 0; // floats rounded to the nearest whole number
};

// The command for a message. Unknown addresses, missing, extra or non-numeric arguments, and
// names longer than the command holds give Kind None with the Problem set; a command without
// a value whose number is 0 gives Kind None and no problem.
TOscCommand ParseOscCommand(std::string_view address, std::span<const TOscArg> args);
