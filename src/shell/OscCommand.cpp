#include "OscCommand.h"

#include <cmath>
#include <cstring>

namespace {

constexpr std::string_view Root = "/korvane/";

// A number argument as a whole number; false for any other type and for NaN. Values beyond
// what any control holds are cut at a bound they cannot reach, so that rounding cannot overflow.
bool NumberOf(const TOscArg &arg, int64_t &value)
{
    constexpr double Bound = double(int64_t(1) << 53);
    switch (arg.Type) {
    case 'i':
    case 'h':
        value = arg.Int;
        return true;
    case 'T':
        value = 1;
        return true;
    case 'F':
        value = 0;
        return true;
    case 'f':
    case 'd':
        if (std::isnan(arg.Real))
            return false;
        value = std::llround(std::fmax(-Bound, std::fmin(Bound, arg.Real)));
        return true;
    default:
        return false;
    }
}

bool CopyName(std::string_view name, char *to, size_t size)
{
    if (name.size() >= size)
        return false;
    std::memcpy(to, name.data(), name.size());
    to[name.size()] = 0;
    return true;
}

TOscCommand Problem(TOscProblem problem)
{
    TOscCommand c;
    c.Problem = problem;
    return c;
}

// The commands that act without a value: none, or one number that must not be 0.
TOscCommand Trigger(TOscKind kind, std::span<const TOscArg> args)
{
    TOscCommand c;
    if (args.size() > 1)
        return Problem(TOscProblem::WrongArguments);
    int64_t v = 1;
    if (args.size() == 1 && !NumberOf(args[0], v))
        return Problem(TOscProblem::WrongArguments);
    if (v != 0)
        c.Kind = kind;
    return c;
}

TOscCommand Valued(TOscKind kind, std::span<const TOscArg> args)
{
    TOscCommand c;
    if (args.size() != 1 || !NumberOf(args[0], c.Value))
        return Problem(TOscProblem::WrongArguments);
    c.Kind = kind;
    return c;
}

int32_t SlotNumberOf(std::string_view slot)
{
    if (slot.empty() || slot.size() > 9)
        return 0;
    int32_t n = 0;
    for (char ch : slot) {
        if (ch < '0' || ch > '9')
            return 0;
        n = n * 10 + (ch - '0');
    }
    return n;
}

} // namespace

TOscCommand ParseOscCommand(std::string_view address, std::span<const TOscArg> args)
{
    if (!address.starts_with(Root))
        return Problem(TOscProblem::UnknownAddress);
    std::string_view rest = address.substr(Root.size());
    std::string_view segments[3];
    size_t count = 0;
    while (true) {
        const size_t slash = rest.find('/');
        if (count == 3)
            return Problem(TOscProblem::UnknownAddress);
        segments[count++] = rest.substr(0, slash);
        if (segments[count - 1].empty())
            return Problem(TOscProblem::UnknownAddress);
        if (slash == std::string_view::npos)
            break;
        rest = rest.substr(slash + 1);
    }

    if (count == 1) {
        const std::string_view verb = segments[0];
        if (verb == "run")
            return Valued(TOscKind::Run, args);
        if (verb == "allnotesoff")
            return Trigger(TOscKind::AllNotesOff, args);
        if (verb == "list")
            return Trigger(TOscKind::List, args);
        if (verb == "subscribe")
            return Trigger(TOscKind::Subscribe, args);
        if (verb == "unsubscribe")
            return Trigger(TOscKind::Unsubscribe, args);
        return Problem(TOscProblem::UnknownAddress);
    }
    if (count == 2 && segments[1] != "active")
        return Problem(TOscProblem::UnknownAddress);

    TOscCommand c = Valued(count == 2 ? TOscKind::SlotActive : TOscKind::SetControl, args);
    if (c.Problem != TOscProblem::None)
        return c;
    if (!CopyName(segments[0], c.Slot, sizeof c.Slot) ||
        (count == 3 && (!CopyName(segments[1], c.Module, sizeof c.Module) || !CopyName(segments[2], c.Property, sizeof c.Property))))
        return Problem(TOscProblem::NameTooLong);
    c.SlotNumber = SlotNumberOf(segments[0]);
    return c;
}
