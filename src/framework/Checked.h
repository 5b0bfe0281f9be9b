// Checked 32-bit integer arithmetic and half-to-even rounding for signal values and geometry.
// Overflow raises EIntOverflow instead of wrapping; safe on any thread, allocation-free unless raising.
#pragma once

#include <cstdint>

namespace Checked {

[[noreturn]] void RaiseOverflow();
[[noreturn]] void RaiseZeroDivide();

inline int32_t Add(int32_t a, int32_t b)
{
    int32_t r;
    if (__builtin_add_overflow(a, b, &r))
        RaiseOverflow();
    return r;
}

inline int32_t Sub(int32_t a, int32_t b)
{
    int32_t r;
    if (__builtin_sub_overflow(a, b, &r))
        RaiseOverflow();
    return r;
}

inline int32_t Mul(int32_t a, int32_t b)
{
    int32_t r;
    if (__builtin_mul_overflow(a, b, &r))
        RaiseOverflow();
    return r;
}

// Integer division truncating toward zero; a zero divisor raises EZeroDivide.
inline int32_t Div(int32_t a, int32_t b)
{
    if (b == 0)
        RaiseZeroDivide();
    if (a == INT32_MIN && b == -1)
        RaiseOverflow();
    return a / b;
}

} // namespace Checked

// Nearest integer, ties to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
// Raises EIntOverflow when the result does not fit 32 bits or x is not a number.
// Inline: most modules round once per tick.
inline int32_t Round(double x)
{
    // Adding and taking away 1.5 x 2^52 leaves x rounded to an integer by the hardware's
    // rounding mode, which Korvane never changes from round-to-nearest-even: no library call
    // on the tick path. Exact while |x| < 2^51; anything that large (or not a number) overflows
    // anyway. The range is checked on the rounded value, which keeps 2147483647.4 legal.
    constexpr double Shifter = 6755399441055744.0, Exact = 2251799813685248.0;
    if (!(x > -Exact && x < Exact))
        Checked::RaiseOverflow();
    const double r = (x + Shifter) - Shifter;
    if (!(r >= -2147483648.0 && r <= 2147483647.0))
        Checked::RaiseOverflow();
    return static_cast<int32_t>(r);
}
