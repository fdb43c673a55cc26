// A gzip file inflated whole (with libdeflate, without ISA-L): its content held in memory
// and read like a plain file's. Invariant: input.content holds input.size content bytes
// and SLACK_BYTES of room, or is null; once dropped, reads at an offset fail.
#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#if defined(NORVANE_LIBDEFLATE) && !defined(NORVANE_ISAL)
#include <libdeflate.h>
#endif

#include "input.h"
#include "input_state.h"
#include "memory.h"
#include "settings.h"

int64_t read_whole(int64_t offset, char *to, size_t room) {
    if (offset >= input.size) return 0;
    const size_t count = size_t(input.size - offset) < room ? size_t(input.size - offset) : room;
    memcpy(to, input.content + offset, count);
    return int64_t(count);
}

#if defined(NORVANE_LIBDEFLATE) && !defined(NORVANE_ISAL)
// Inflates a regular gzip file whole into memory, where the reader then scans it like a
// plain file, a range per member of the team. Without ISA-L, libdeflate inflates about
// twice as fast as the zlib stream, but only a whole member at a time and with no word on
// what came before a damage: false for a file too large for that, or damaged, or not
// whole members (the stream then reads it and hands out the lines before any damage).
// With ISA-L the stream is as fast and never holds the text.
namespace {

// The whole packed file in a buffer of its own; null when it cannot be had or read.
unsigned char *read_packed(int64_t packed_size) {
    unsigned char *packed = static_cast<unsigned char *>(malloc(size_t(packed_size)));
    if (packed == nullptr) return nullptr;
    int64_t have = 0;
    while (have < packed_size) {
        const ssize_t got = pread(input.fd, packed + have, size_t(packed_size - have), off_t(have));
        if (got <= 0 && !(got < 0 && errno == EINTR)) break;
        if (got > 0) have += got;
    }
    if (have == packed_size) return packed;
    free(packed);
    return nullptr;
}

// The content buffer grown to capacity bytes (produced of them kept) within the limit and
// the memory check; null, the old one released, when it cannot be.
char *grown_content(char *content, size_t produced, size_t capacity) {
    char *larger = nullptr;
    if (int64_t(capacity) <= settings.inflate_whole_max_bytes && memory_available(capacity)) {
        larger = static_cast<char *>(allocate_array(capacity + SLACK_BYTES, 1));
        if (produced > 0) memcpy(larger, content, produced);
    }
    release_array(content);
    return larger;
}

// Inflates every member of packed into *content (capacity bytes guessed at first), the
// bytes in *produced; false for a damage or a content past the limit.
bool inflate_members(libdeflate_decompressor *inflater, const unsigned char *packed, int64_t packed_size,
                     size_t capacity, char **content, size_t *produced) {
    int64_t at = 0;
    *content = grown_content(nullptr, 0, capacity);
    while (*content != nullptr) {
        size_t used = 0, got = 0;
        const libdeflate_result result = libdeflate_gzip_decompress_ex(
            inflater, packed + at, size_t(packed_size - at), *content + *produced, capacity - *produced, &used, &got);
        if (result == LIBDEFLATE_INSUFFICIENT_SPACE) {
            // Inflate the member again into a buffer twice as large.
            capacity *= 2;
            *content = grown_content(*content, *produced, capacity);
            continue;
        }
        if (result != LIBDEFLATE_SUCCESS) return false;
        at += int64_t(used);
        *produced += got;
        // What follows the last member is padding unless it begins another one.
        if (packed_size - at < 2 || packed[at] != 0x1f || packed[at + 1] != 0x8b) return true;
    }
    return false;
}

}  // namespace

bool inflate_whole_file() {
    const int64_t packed_size = input.size;
    if (packed_size < 18 || packed_size > settings.inflate_whole_max_bytes / 4) return false;
    unsigned char *packed = read_packed(packed_size);
    if (packed == nullptr) return false;
    // The last member's trailer gives its size (modulo 2^32); four times the packed size
    // is the usual ratio of text. Too small a guess costs a copy, not a failure.
    uint32_t last_size;
    memcpy(&last_size, packed + packed_size - 4, 4);
    const size_t capacity = size_t(packed_size) * 4 > last_size ? size_t(packed_size) * 4 : last_size;
    char *content = nullptr;
    size_t produced = 0;
    libdeflate_decompressor *inflater = libdeflate_alloc_decompressor();
    const bool whole =
        inflater != nullptr && inflate_members(inflater, packed, packed_size, capacity, &content, &produced);
    if (inflater != nullptr) libdeflate_free_decompressor(inflater);
    free(packed);
    if (!whole) {
        release_array(content);
        return false;
    }
    input.content = content;
    input.size = int64_t(produced);
    return true;
}
#else
bool inflate_whole_file() { return false; }
#endif

void drop_inflated_content() {
    if (input.content == nullptr) return;
    release_array(input.content);
    input.content = nullptr;
    input.content_dropped = true;
}
