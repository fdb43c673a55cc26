// Line rules of the edge lines: blanks, numbers, and one scan over a run of whole lines
// after the problem line, with the messages that name an offending line. Invariant: a
// scan reads no further than the newline after its run's last line and the SLACK_BYTES
// every run has past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "input.h"
#include "edge_lines.h"

// Lines handed to the caller at a time: small enough to stay in the first-level cache.
constexpr size_t BATCH_LINES = 1024;

// The C library's white space minus the newline, which ends the line here.
struct blank_table {
    bool is_blank[256] = {};
    constexpr blank_table() : is_blank() {
        is_blank[int(' ')] = is_blank[int('\t')] = is_blank[int('\r')] = true;
        is_blank[int('\v')] = is_blank[int('\f')] = true;
    }
};
inline constexpr blank_table blanks;

// Start of the line after the one holding p; a newline is known to stand at or after p.
inline const char *next_line(const char *p) {
    return static_cast<const char *>(rawmemchr(p, '\n')) + 1;
}

// Scans one decimal integer with optional sign after blanks, never past the line's
// newline. A value of more than ten significant digits comes back outside the 32-bit
// range (2^40) rather than wrapped.
inline bool scan_int(const char *&pos, int64_t *out) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(pos);
    // The usual form, one blank then digits without sign or leading zero, goes straight
    // to the digits.
    if (p[0] == ' ' && unsigned(p[1]) - '1' < 9) {
        ++p;
        // Eight bytes at once: find where the digits end, then convert them without a
        // branch per digit. Every buffer has eight readable bytes past its last newline.
        uint64_t chunk;
        memcpy(&chunk, p, 8);
        const uint64_t not_digit = ((chunk & 0xf0f0f0f0f0f0f0f0ULL) ^ 0x3030303030303030ULL) |
                                   (((chunk & 0x0f0f0f0f0f0f0f0fULL) + 0x0606060606060606ULL) & 0x1010101010101010ULL);
        if (not_digit != 0) {
            const int length = __builtin_ctzll(not_digit) >> 3;
            uint64_t x = (chunk - 0x3030303030303030ULL) << (64 - 8 * length);
            x = (x * 10 + (x >> 8)) & 0x00ff00ff00ff00ffULL;
            x = (x * 100 + (x >> 16)) & 0x0000ffff0000ffffULL;
            x = (x * 10000 + (x >> 32)) & 0xffffffffULL;
            pos = reinterpret_cast<const char *>(p + length);
            *out = int64_t(x);
            return true;
        }
        const unsigned char *first = p;
        uint64_t value = unsigned(*p) - '0';
        for (unsigned digit; (digit = unsigned(*++p) - '0') <= 9;) value = value * 10 + digit;
        if (p - first > 10) value = uint64_t(1) << 40;
        pos = reinterpret_cast<const char *>(p);
        *out = int64_t(value);
        return true;
    }
    while (blanks.is_blank[*p]) ++p;
    bool negative = false;
    unsigned digit = unsigned(*p) - '0';
    if (digit > 9) {
        if (*p != '+' && *p != '-') return false;
        negative = *p == '-';
        digit = unsigned(*++p) - '0';
        if (digit > 9) return false;
    }
    while (digit == 0) {  // leading zeros do not count towards the length
        digit = unsigned(*++p) - '0';
        if (digit > 9) break;
    }
    const unsigned char *first = p;
    uint64_t value = 0;
    while (digit <= 9) {  // wraps past 20 digits, but the length below rules those out
        value = value * 10 + digit;
        digit = unsigned(*++p) - '0';
    }
    if (p - first > 10) value = uint64_t(1) << 40;
    pos = reinterpret_cast<const char *>(p);
    *out = negative ? -int64_t(value) : int64_t(value);
    return true;
}

inline bool in_int32(int64_t x) { return x >= INT32_MIN && x <= INT32_MAX; }

// One scan of consecutive lines after the problem line: where accepted lines go, what
// they hold, and where the scan found its first offending line.
struct scan_state {
    int64_t nodes = 0;
    int64_t lines = 0;       // accepted edge lines
    int64_t line_limit = 0;  // accepting one line more than this is an offence
    edge_line *out = nullptr;
    size_t count = 0;  // lines in out
    size_t capacity = 0;
    int32_t previous_u = -1;  // the pair of the last accepted line
    int32_t previous_v = -1;
    int64_t kept = 0;
    int32_t min_weight = INT32_MAX;
    int32_t max_weight = INT32_MIN;
    uint32_t max_offset = 0;
    const char *fault = nullptr;  // first offending line
};

// Scans the whole lines starting in [p, stop); every line ends in a newline at or past
// stop. Stops at an offending line (s.fault) or once out is full; returns the start of
// the first line not handled.
const char *scan_lines(const char *p, const char *stop, scan_state &s);

// Prints the whole line that starts at line, with its newline if it has one, as the
// format-error message; limit is the end of the run, where an unterminated last line
// stops. Ends the run.
[[noreturn]] void fail_line_in_run(const char *line, const char *limit);

// The same for a line of the plain file at offset, read again piece by piece, so that a
// line of any length is printed without being held.
[[noreturn]] void fail_line_in_file(int64_t offset);
