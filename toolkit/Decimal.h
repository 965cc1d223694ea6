// The decimal form shared by itoa and CString256's integer forms.
#pragma once

#include "platform/MacTypes.h"

#include <algorithm>
#include <cstddef>

// Writes the lowest digits of value (at most digitBudget, at least one) and a
// leading "-" for a negative value into buffer, terminated, never writing
// more than size bytes: room for the sign is kept, and when not even one
// digit fits with it only the terminator is written. Returns buffer.
inline char* WriteDecimal(char* buffer, std::size_t size, SInt64 value, std::size_t digitBudget) {
    if (!buffer || size == 0) return buffer;
    const bool negative = value < 0;
    std::size_t room = size - 1;
    if (negative && room > 0) --room;
    const std::size_t budget = std::min(digitBudget, room);
    if (budget == 0) {
        buffer[0] = 0;
        return buffer;
    }
    // The magnitude in an unsigned type: negating the most negative value
    // in its own type would overflow.
    UInt64 magnitude = negative ? UInt64(0) - UInt64(value) : UInt64(value);
    std::size_t n = 0;
    do {
        buffer[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0 && n < budget);
    if (negative) buffer[n++] = '-';
    buffer[n] = 0;
    std::reverse(buffer, buffer + n);
    return buffer;
}
