// The constants of density_exp (fit/batch_exp/batch_exp.h), worked out once in
// 200-bit arithmetic (mpmath), each then rounded to the nearest double;
// nothing here is taken from another library.
#pragma once

#include <cstdint>

namespace tarnwex::exp_table {

// exp x = 2^(k/8) exp(r): eight table entries per octave, few enough to sit
// in one AVX-512 register (two AVX2 ones), so that no lane reads memory.
inline constexpr int kTableBits = 3;
inline constexpr std::uint64_t kEntries = std::uint64_t{1} << kTableBits;

// 8/ln 2, for k = x 8/ln 2 rounded to the nearest integer.
inline constexpr double kInvLn2N = 0x1.71547652b82fep+3;
// Adding 1.5 * 2^52 rounds any |v| < 2^51 to an integer (the sum's last
// place is 1) and leaves that integer in the low bits of the sum.
inline constexpr double kShift = 0x1.8p52;
// ln2/8 as the nearest double plus the nearest double to the remainder.
// With |k| < 2^14 the fused x - k kLn2NHi is exact (for k other than 0 the
// difference is below 2^-4 and a multiple of 2^-57), and k times what the
// two constants miss of ln2/8 is below 2^-100.
inline constexpr double kLn2NHi = 0x1.62e42fefa39efp-4;
inline constexpr double kLn2NLo = 0x1.abc9e3b39803fp-59;

// exp r - 1 ~ r + r^2 (C2 + C3 r + ... + C8 r^6) for |r| <= 0.04333 (ln2/16
// = 0.0433217 plus room for a k one off from the nearest): the minimax fit
// of the absolute error by the Remez exchange, at most 9.3e-21 (2^-66.5)
// with the coefficients rounded as here, far below the roundings of q.
inline constexpr double kPoly[7] = {
    0x1.0000000000000p-1,  0x1.55555555555fap-3,  0x1.555555555562ap-5,
    0x1.1111110a1725bp-7,  0x1.6c16c1622d1f2p-10, 0x1.a01fb3689cee5p-13,
    0x1.a01fc5937cb0dp-16,
};

// Inputs with |x| <= kMainBound take the main path: 2^(k >> 3) then is a
// normal number and so is the result. The others (past it, infinite, NaN)
// are computed apart; above kOverflowBound the result is +inf, below
// kUnderflowBound it is 0 (e^-746 < 2^-1076, half the smallest subnormal).
inline constexpr double kMainBound = 708.0;
inline constexpr double kOverflowBound = 710.0;
inline constexpr double kUnderflowBound = -746.0;

// The exponent field of a double.
inline constexpr std::uint64_t kExponentField = 0xfff0000000000000;

// T_j = 2^(j/8) rounded to nearest, and the relative error of that rounding,
// tail_j = (2^(j/8) - T_j) / T_j rounded to nearest (below 2^-53 in size).
inline constexpr double kPower[kEntries] = {
    0x1.0000000000000p+0, 0x1.172b83c7d517bp+0, 0x1.306fe0a31b715p+0, 0x1.4bfdad5362a27p+0,
    0x1.6a09e667f3bcdp+0, 0x1.8ace5422aa0dbp+0, 0x1.ae89f995ad3adp+0, 0x1.d5818dcfba487p+0,
};
inline constexpr double kTail[kEntries] = {
    0.0,                   -0x1.01b15eaa59348p-55, 0x1.34d754db0abb6p-55, 0x1.690cebb7aafb0p-56,
    -0x1.3b3efbf5e2228p-54, 0x1.db72fc1f0eab4p-55, 0x1.c1a7792cb3387p-55, 0x1.4a385a63d07a7p-56,
};

}  // namespace tarnwex::exp_table
