// OSC control: addresses and arguments turned into commands.
#include "OscCommand.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

TOscArg Int(int64_t v) { return {'i', v, 0}; }
TOscArg Float(double v) { return {'f', 0, v}; }
TOscArg Text() { return {'s', 0, 0}; }

struct TParseCase {
    const char *Name;
    std::string Address;
    std::vector<TOscArg> Args;
    TOscKind Kind;
    TOscProblem Problem;
    int32_t SlotNumber = 0;
    const char *Slot = "", *Module = "", *Property = "";
    int64_t Value = 0;
};

TEST(OscCommand, AddressesAndArgumentsBecomeCommands)
{
    using K = TOscKind;
    using P = TOscProblem;
    const std::string longName(TOscCommand::NameSize, 'm');
    const std::vector<TParseCase> cases = {
        {"a control by tab number", "/korvane/1/Amp/KnobAmpValue", {Int(250)}, K::SetControl, P::None, 1, "1", "Amp", "KnobAmpValue", 250},
        {"a slot name with dots", "/korvane/arpeggio.korvane/Swell/KnobAmpValue", {Int(-3)}, K::SetControl, P::None, 0,
         "arpeggio.korvane", "Swell", "KnobAmpValue", -3},
        {"a float is rounded", "/korvane/2/Amp/KnobClipValue", {Float(99.5)}, K::SetControl, P::None, 2, "2", "Amp", "KnobClipValue", 100},
        {"a negative float is rounded", "/korvane/2/Amp/KnobClipValue", {Float(-0.6)}, K::SetControl, P::None, 2, "2", "Amp", "KnobClipValue", -1},
        {"a huge float is cut, not overflowed", "/korvane/S/Amp/K", {Float(1e300)}, K::SetControl, P::None, 0, "S", "Amp", "K",
         int64_t(1) << 53},
        {"a 64-bit integer", "/korvane/S/Amp/K", {{'h', int64_t(1) << 40, 0}}, K::SetControl, P::None, 0, "S", "Amp", "K", int64_t(1) << 40},
        {"true presses a button", "/korvane/S/Gate/ButOn", {{'T', 0, 0}}, K::SetControl, P::None, 0, "S", "Gate", "ButOn", 1},
        {"a slot name that only starts with digits", "/korvane/12a/M/P", {Int(1)}, K::SetControl, P::None, 0, "12a", "M", "P", 1},
        {"slot active", "/korvane/3/active", {Int(0)}, K::SlotActive, P::None, 3, "3", "", "", 0},
        {"run", "/korvane/run", {Int(1)}, K::Run, P::None, 0, "", "", "", 1},
        {"run stopped by a float", "/korvane/run", {Float(0.2)}, K::Run, P::None, 0, "", "", "", 0},
        {"all notes off", "/korvane/allnotesoff", {}, K::AllNotesOff, P::None},
        {"all notes off by a pressed button", "/korvane/allnotesoff", {Float(1)}, K::AllNotesOff, P::None},
        {"a released button does nothing", "/korvane/allnotesoff", {Float(0)}, K::None, P::None},
        {"list", "/korvane/list", {}, K::List, P::None},
        {"subscribe", "/korvane/subscribe", {}, K::Subscribe, P::None},
        {"unsubscribe", "/korvane/unsubscribe", {Int(1)}, K::Unsubscribe, P::None},
        {"outside the root", "/x/y", {Int(1)}, K::None, P::UnknownAddress},
        {"the root's name alone", "/korvane", {}, K::None, P::UnknownAddress},
        {"an unknown verb", "/korvane/stop", {Int(1)}, K::None, P::UnknownAddress},
        {"an unknown slot verb", "/korvane/1/mute", {Int(1)}, K::None, P::UnknownAddress},
        {"too deep", "/korvane/1/Amp/KnobAmpValue/x", {Int(1)}, K::None, P::UnknownAddress},
        {"an empty part", "/korvane//Amp/KnobAmpValue", {Int(1)}, K::None, P::UnknownAddress},
        {"a trailing slash", "/korvane/run/", {Int(1)}, K::None, P::UnknownAddress},
        {"the empty address", "", {}, K::None, P::UnknownAddress},
        {"a value missing", "/korvane/1/Amp/KnobAmpValue", {}, K::None, P::WrongArguments},
        {"two values", "/korvane/1/Amp/KnobAmpValue", {Int(1), Int(2)}, K::None, P::WrongArguments},
        {"a string value", "/korvane/1/Amp/KnobAmpValue", {Text()}, K::None, P::WrongArguments},
        {"not a number", "/korvane/1/Amp/KnobAmpValue", {Float(std::nan(""))}, K::None, P::WrongArguments},
        {"run without a value", "/korvane/run", {}, K::None, P::WrongArguments},
        {"list with a string", "/korvane/list", {Text()}, K::None, P::WrongArguments},
        {"a module name too long", "/korvane/1/" + longName + "/KnobAmpValue", {Int(1)}, K::None, P::NameTooLong},
        {"a slot name too long", "/korvane/" + std::string(TOscCommand::SlotSize, 's') + "/active", {Int(1)}, K::None,
         P::NameTooLong},
    };
    for (const TParseCase &c : cases) {
        const TOscCommand got = ParseOscCommand(c.Address, c.Args);
        EXPECT_EQ(got.Kind, c.Kind) << c.Name;
        EXPECT_EQ(got.Problem, c.Problem) << c.Name;
        if (c.Kind != K::SetControl && c.Kind != K::SlotActive && c.Kind != K::Run)
            continue;
        EXPECT_EQ(got.Value, c.Value) << c.Name;
        EXPECT_EQ(got.SlotNumber, c.SlotNumber) << c.Name;
        EXPECT_STREQ(got.Slot, c.Slot) << c.Name;
        EXPECT_STREQ(got.Module, c.Module) << c.Name;
        EXPECT_STREQ(got.Property, c.Property) << c.Name;
    }
}

} // namespace
