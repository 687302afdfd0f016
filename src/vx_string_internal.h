// Number texts shared by the string functions and formatted output.
#ifndef VX_STRING_INTERNAL_H
#define VX_STRING_INTERNAL_H

#include "vexal.h"

// Decimal digits of v into out (room for 20); returns their count.
uint32_t format_u64(uint64_t v, char *out);

// Decimal text of v with "-" for negatives into out (room for 20); returns
// its length. INT64_MIN prints correctly.
uint32_t format_i64(int64_t v, char *out);

// Fixed-point text of x: "-" when x < 0, the integer part of |x| (every
// digit, also beyond 64 bits), then for decimals > 0 "." and that many
// fraction digits made by repeated multiply-by-10 truncation; with
// point_always a "." follows even when decimals is 0. NaN and infinities
// give "nan", "inf", "-inf". Writes at most cap bytes to out (which may be
// null when cap is 0) and returns the full length of the text.
uint64_t format_fixed(double x, uint64_t decimals, int point_always, char *out, uint64_t cap);

// The minimal formatter of vx_strprintf: writes at most size - 1 characters
// and a zero byte into buf; returns the count written (0 for size 0).
uint64_t format_minimal(char *buf, uint64_t size, const char *format, va_list args);

// Length of the complete text format_minimal would produce.
uint64_t format_minimal_length(const char *format, va_list args);

#endif
