// gzip content, inflated by a thread of its own into a ring that read_inflated drains, so
// inflating overlaps with scanning. ISA-L inflates where the build has it and the source
// can be read again; the content of its current member is shown with a lag, so that at a
// damage zlib can inflate the member again from its start and hand out exactly what it
// yields. Elsewhere zlib inflates throughout. The text is never held whole.
#include "gzip_input.h"

#include <pthread.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

#ifdef NORVANE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include "memory.h"
#include "settings.h"


namespace {

constexpr size_t PACKED_BYTES = size_t(256) << 10;
constexpr size_t RING_BYTES = size_t(2) << 20;
// What ISA-L inflates of a member is shown this far behind, so that where it stops at a
// damage later than zlib would, the bytes zlib would not yield are still unseen. In
// trials it ran at most a few kilobytes past zlib, and reported the damage in the call
// that made them (they are then dropped); the lag covers a call that does not.
constexpr size_t HOLD_BYTES = size_t(512) << 10;
constexpr size_t SKIP_BYTES = size_t(64) << 10;

// What one call of the inflater did.
enum step_result { STEP_ON, STEP_MEMBER_END, STEP_DAMAGED };

// head, shown and tail count content bytes ever written, shown to the reader and read;
// the lock guards them and the flags. The inflating thread alone touches the rest.
struct gzip_state {
    packed_source source = {nullptr, nullptr};
    z_stream zlib;
    bool zlib_ready = false;
#ifdef NORVANE_ISAL
    inflate_state *isal = nullptr;
#endif
    bool isal_on = false;  // ISA-L inflates the current member
    unsigned char *packed = nullptr;
    size_t packed_next = 0;
    size_t packed_end = 0;
    bool packed_eof = false;
    int64_t packed_read = 0;   // compressed bytes read, the offset of packed_end
    int64_t member_start = 0;  // compressed offset of the current member
    uint64_t member_head = 0;  // head when the current member started
    bool member_ended = false;
    char *ring = nullptr;
    uint64_t head = 0;
    uint64_t shown = 0;
    uint64_t tail = 0;
    bool done = false;    // every member inflated
    bool failed = false;  // a read failed or the stream is damaged or cut short
    bool stop = false;    // the reader is closing
    bool started = false;
    bool finished = false;  // the inflating thread touches nothing of this any more
    pthread_t thread;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
};

gzip_state gz;

// Refills the packed buffer when it is used up; false when the read failed.
bool refill_packed() {
    if (gz.packed_next < gz.packed_end || gz.packed_eof) return true;
    const int64_t got = gz.source.read(gz.packed, PACKED_BYTES);
    if (got < 0) return false;
    gz.packed_next = 0;
    gz.packed_end = size_t(got);
    gz.packed_eof = got == 0;
    gz.packed_read += got;
    return true;
}

// Whether another member follows the one that ended. gzip reads what follows the last
// member as padding when it does not begin with the magic bytes: zeros that block
// devices leave, or anything else, which it ignores too. -1 when a read failed.
int next_member_follows() {
    if (!refill_packed()) return -1;
    if (gz.packed_next == gz.packed_end) return 0;
    if (gz.packed[gz.packed_next] != 0x1f) return 0;
    if (gz.packed_next + 1 == gz.packed_end) {  // the magic may straddle two reads
        gz.packed[0] = 0x1f;
        gz.packed_next = 0;
        const int64_t got = gz.source.read(gz.packed + 1, PACKED_BYTES - 1);
        if (got < 0) return -1;
        gz.packed_end = 1 + size_t(got);
        gz.packed_eof = got == 0;
        gz.packed_read += got;
        if (got == 0) return 0;
    }
    return gz.packed[gz.packed_next + 1] == 0x8b ? 1 : 0;
}

void start_member() {
    gz.member_start = gz.packed_read - int64_t(gz.packed_end - gz.packed_next);
    gz.member_head = gz.head;
    gz.member_ended = false;
#ifdef NORVANE_ISAL
    if (gz.isal_on) {
        isal_inflate_reset(gz.isal);
        gz.isal->crc_flag = ISAL_GZIP;
        return;
    }
#endif
    if (inflateReset(&gz.zlib) != Z_OK) fail_memory();
}

// One zlib call on the packed bytes. An empty buffer at the end means the stream stops
// short.
step_result zlib_step(char *to, size_t room, size_t *made) {
    *made = 0;
    if (gz.packed_next == gz.packed_end) return STEP_DAMAGED;
    z_stream &z = gz.zlib;
    z.next_in = gz.packed + gz.packed_next;
    z.avail_in = unsigned(gz.packed_end - gz.packed_next);
    z.next_out = reinterpret_cast<Bytef *>(to);
    z.avail_out = unsigned(room);
    const int status = inflate(&z, Z_NO_FLUSH);
    gz.packed_next = gz.packed_end - z.avail_in;
    *made = room - z.avail_out;
    if (status == Z_STREAM_END) return STEP_MEMBER_END;
    return status == Z_OK || status == Z_BUF_ERROR ? STEP_ON : STEP_DAMAGED;
}

#ifdef NORVANE_ISAL
// One ISA-L call. It takes input ahead into bits of its own, so at the end of the bytes
// it is called once more with none: the stream stops short when that yields nothing.
step_result isal_step(char *to, size_t room, size_t *made) {
    inflate_state &s = *gz.isal;
    s.next_in = gz.packed + gz.packed_next;
    s.avail_in = uint32_t(gz.packed_end - gz.packed_next);
    s.next_out = reinterpret_cast<uint8_t *>(to);
    s.avail_out = uint32_t(room);
    const bool at_end = s.avail_in == 0;
    const int status = isal_inflate(&s);
    gz.packed_next = gz.packed_end - s.avail_in;
    *made = room - s.avail_out;
    if (status != ISAL_DECOMP_OK) return STEP_DAMAGED;
    if (s.block_state == ISAL_BLOCK_FINISH) return STEP_MEMBER_END;
    return at_end && *made == 0 ? STEP_DAMAGED : STEP_ON;
}
#endif

step_result inflate_step(char *to, size_t room, size_t *made) {
#ifdef NORVANE_ISAL
    if (gz.isal_on) return isal_step(to, room, made);
#endif
    return zlib_step(to, room, made);
}

// How a call of inflate_some ended.
enum inflate_outcome { INFLATE_MORE, INFLATE_MEMBER_END, INFLATE_DONE, INFLATE_FAILED };

// Up to room bytes of content into to, stopping early where a member ends; *made is the
// count, content to hand out whatever the outcome.
inflate_outcome inflate_some(char *to, size_t room, size_t *made) {
    *made = 0;
    if (gz.member_ended) {
        const int follows = next_member_follows();
        if (follows < 0) return INFLATE_FAILED;
        if (follows == 0) return INFLATE_DONE;
        start_member();
    }
    while (*made < room) {
        if (!refill_packed()) return INFLATE_FAILED;
        size_t got = 0;
        const step_result step = inflate_step(to + *made, room - *made, &got);
        *made += got;
        if (step == STEP_DAMAGED) return INFLATE_FAILED;
        if (step == STEP_MEMBER_END) {
            gz.member_ended = true;
            return INFLATE_MEMBER_END;
        }
    }
    return INFLATE_MORE;
}

// ISA-L stopped at a damage or a cut: zlib inflates the member again from its start and
// takes over for good, skipping what was shown and replacing what was not. False when the
// source cannot be read again or zlib stops before the shown bytes, which it would not
// have yielded.
bool hand_over_to_zlib() {
    pthread_mutex_lock(&gz.lock);
    gz.head = gz.shown;
    pthread_mutex_unlock(&gz.lock);
    if (gz.source.rewind == nullptr || !gz.source.rewind(gz.member_start)) return false;
    gz.isal_on = false;
    gz.packed_next = gz.packed_end = 0;
    gz.packed_eof = false;
    gz.packed_read = gz.member_start;
    if (inflateReset(&gz.zlib) != Z_OK) return false;
    char *scratch = static_cast<char *>(malloc(SKIP_BYTES));
    if (scratch == nullptr) return false;
    uint64_t skip = gz.shown - gz.member_head;
    while (skip > 0) {
        size_t got = 0;
        const step_result step =
            refill_packed() ? zlib_step(scratch, skip < SKIP_BYTES ? size_t(skip) : SKIP_BYTES, &got) : STEP_DAMAGED;
        skip -= got;
        if (step != STEP_ON && skip > 0) break;
        if (step == STEP_MEMBER_END) gz.member_ended = true;
    }
    free(scratch);
    return skip == 0;
}

// The inflating thread's loop. It is detached, so that a run that ends on a failure
// leaves nothing to join; closing waits for finished instead.
void inflate_until_done() {
    for (;;) {
        pthread_mutex_lock(&gz.lock);
        while (gz.head - gz.tail == RING_BYTES && !gz.stop) pthread_cond_wait(&gz.changed, &gz.lock);
        const bool stop = gz.stop;
        const size_t at = size_t(gz.head % RING_BYTES);
        size_t room = RING_BYTES - size_t(gz.head - gz.tail);
        pthread_mutex_unlock(&gz.lock);
        if (stop) return;
        if (room > RING_BYTES - at) room = RING_BYTES - at;
        if (room > settings.inflate_step_bytes) room = settings.inflate_step_bytes;
        size_t got = 0;
        const inflate_outcome outcome = inflate_some(gz.ring + at, room, &got);
        if (outcome == INFLATE_FAILED && gz.isal_on) {
            // What ISA-L made past the shown bytes is dropped; zlib's replaces it.
            if (hand_over_to_zlib()) continue;
            got = 0;
        }
        pthread_mutex_lock(&gz.lock);
        gz.head += got;
        if (outcome != INFLATE_MORE || !gz.isal_on) {
            gz.shown = gz.head;
        } else if (gz.head > gz.shown + HOLD_BYTES) {
            gz.shown = gz.head - HOLD_BYTES;
        }
        if (outcome == INFLATE_DONE) gz.done = true;
        if (outcome == INFLATE_FAILED) gz.failed = true;
        pthread_cond_broadcast(&gz.changed);
        pthread_mutex_unlock(&gz.lock);
        if (outcome == INFLATE_DONE || outcome == INFLATE_FAILED) return;
    }
}

void *inflate_all(void *) {
    inflate_until_done();
    pthread_mutex_lock(&gz.lock);
    gz.finished = true;
    pthread_cond_broadcast(&gz.changed);
    pthread_mutex_unlock(&gz.lock);
    return nullptr;
}

}  // namespace

void start_inflating(packed_source source) {
    gz.source = source;
    memset(&gz.zlib, 0, sizeof gz.zlib);
    if (inflateInit2(&gz.zlib, 15 + 16) != Z_OK) fail_memory();
    gz.zlib_ready = true;
#ifdef NORVANE_ISAL
    gz.isal_on = !settings.inflate_with_zlib && source.rewind != nullptr;
    if (gz.isal_on) {
        gz.isal = static_cast<inflate_state *>(malloc(sizeof(inflate_state)));
        if (gz.isal == nullptr) fail_memory();
        isal_inflate_init(gz.isal);
        gz.isal->crc_flag = ISAL_GZIP;
    }
#endif
    gz.packed = static_cast<unsigned char *>(allocate_array(PACKED_BYTES, 1));
    gz.ring = static_cast<char *>(allocate_array(RING_BYTES, 1));
    pthread_attr_t detached;
    pthread_attr_init(&detached);
    pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    const bool created = pthread_create(&gz.thread, &detached, inflate_all, nullptr) == 0;
    pthread_attr_destroy(&detached);
    if (!created) fail_memory();
    gz.started = true;
}

int64_t read_inflated(char *to, size_t room) {
    pthread_mutex_lock(&gz.lock);
    while (gz.shown == gz.tail && !gz.done && !gz.failed) pthread_cond_wait(&gz.changed, &gz.lock);
    const size_t available = size_t(gz.shown - gz.tail);
    const bool failed = gz.failed;
    const size_t at = size_t(gz.tail % RING_BYTES);
    pthread_mutex_unlock(&gz.lock);
    if (available == 0) return failed ? -1 : 0;
    size_t count = available < room ? available : room;
    if (count > RING_BYTES - at) count = RING_BYTES - at;
    memcpy(to, gz.ring + at, count);
    pthread_mutex_lock(&gz.lock);
    gz.tail += count;
    pthread_cond_broadcast(&gz.changed);
    pthread_mutex_unlock(&gz.lock);
    return int64_t(count);
}

void stop_inflating() {
    if (gz.started) {
        pthread_mutex_lock(&gz.lock);
        gz.stop = true;
        pthread_cond_broadcast(&gz.changed);
        while (!gz.finished) pthread_cond_wait(&gz.changed, &gz.lock);
        pthread_mutex_unlock(&gz.lock);
    }
    if (gz.zlib_ready) inflateEnd(&gz.zlib);
#ifdef NORVANE_ISAL
    free(gz.isal);
    gz.isal = nullptr;
#endif
    // Read once: their pages leave at once instead of adding to the peak.
    discard_array(gz.packed);
    discard_array(gz.ring);
    gz.packed = nullptr;
    gz.ring = nullptr;
    gz.zlib_ready = gz.isal_on = false;
    gz.packed_next = gz.packed_end = 0;
    gz.packed_eof = gz.member_ended = false;
    gz.packed_read = gz.member_start = 0;
    gz.member_head = gz.head = gz.shown = gz.tail = 0;
    gz.done = gz.failed = gz.stop = gz.started = gz.finished = false;
}
