// Positional message formatting for the string table's templates ("Transfer Size %1!u! / %2!u!
// Bytes"), in the message-format notation the templates are written in. Writes into a caller's
// buffer and never allocates, so a front end can format on every progress tick.
#pragma once

#include <cstddef>
#include <cstdint>

// Expands `format` with the unsigned 32-bit `args` (argument n is args[n - 1]) into `out`.
//
// Markers:
//   %n!conv!  argument n (1..99, at most two digits) by a printf conversion: flags from "-0+ #",
//             an optional width and ".precision" (each at most two digits), then one of
//             u d i x X o; "s" and a marker without "!conv!" ("%n") insert the value as "u".
//             "%1!2u!" renders 5 as " 5" and 60 as "60". Markers may come in any order, repeated.
//   %%        a single '%'.
// A marker whose number is 0 or above `count`, or whose conversion is malformed, is copied as
// it stands; so is a '%' before anything else. `args` is read only below `count`.
//
// Output stops at size - 1 characters and is always NUL-terminated when size > 0. Returns the
// number of characters written, without the NUL.
size_t FormatMessage(char* out, size_t size, const char* format, const uint32_t* args,
                     size_t count);

// Two-argument form for the rows the progress window fills (160 and 161). A name of its own, so
// a literal 0 argument is never taken for the array form.
inline size_t FormatMessagePair(char* out, size_t size, const char* format, uint32_t arg1,
                                uint32_t arg2) {
    const uint32_t args[] = {arg1, arg2};
    return FormatMessage(out, size, format, args, 2);
}
