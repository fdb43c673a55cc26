// Report: formats the listing by hand into large buffers, a batch of node ranges at a
// time shared by the team, and writes each batch in order with write(2) while the next
// is formatted, so a listing of millions of lines costs a few system calls and little
// more wall time than its formatting.
#include "listing.h"

#include <omp.h>

#include <cstdint>
#include <cstring>

#include "settings.h"
#include "store.h"
#include "listing_text.h"
#include "memory.h"

bool write_listing() {
    const int64_t n = num_nodes;
    // A listing kept in memory must fit the room the run leaves, or it would be killed.
    if (output_in_memory() && n > 1)
        check_room(LISTING_HEADING_BYTES + size_t(node_lines_bytes(1, min_distance + 1, n - 1)));
    const int64_t per_chunk = settings.listing_chunk_nodes;
    const int64_t chunks = (n - 1 + per_chunk - 1) / per_chunk;
    if (chunks <= 1) {
        char *text = static_cast<char *>(allocate_array(LISTING_HEADING_BYTES + size_t(n) * MAX_LINE_BYTES, 1));
        memcpy(text, LISTING_HEADING, LISTING_HEADING_BYTES);
        char *end = format_node_lines(text + LISTING_HEADING_BYTES, 1, min_distance + 1, n - 1);
        const bool written = write_output(text, size_t(end - text));
        release_array(text);
        return written;
    }
    if (!write_output(LISTING_HEADING, LISTING_HEADING_BYTES)) return false;
    // Two sets of buffers: while one member writes a batch from one set, the others
    // format the next batch into the other. A batch holds two chunks per member, taken
    // as they come, so the member that writes still formats its share.
    const int members = n >= settings.listing_team_min_nodes ? omp_get_max_threads() : 1;
    const int64_t per_batch = chunks < 2 * int64_t(members) ? chunks : 2 * int64_t(members);
    const int64_t batches = (chunks + per_batch - 1) / per_batch;
    const size_t chunk_bytes = size_t(per_chunk) * MAX_LINE_BYTES;
    char *text = static_cast<char *>(allocate_array(size_t(2 * per_batch), chunk_bytes));
    size_t *lengths = static_cast<size_t *>(allocate_array(size_t(2 * per_batch), sizeof(size_t)));
    bool written = true;
#pragma omp parallel num_threads(members) if (members > 1)
    for (int64_t batch = 0; batch < batches; ++batch) {
        const int64_t set = (batch % 2) * per_batch;
        const int64_t first_chunk = batch * per_batch;
        const int64_t last_chunk = first_chunk + per_batch < chunks ? first_chunk + per_batch : chunks;
        // The barrier that ends this loop also waits for the write of the batch before,
        // whose set the next batch reuses.
#pragma omp for schedule(dynamic, 1)
        for (int64_t chunk = first_chunk; chunk < last_chunk; ++chunk) {
            const int64_t slot = set + chunk - first_chunk;
            const int64_t first = 1 + chunk * per_chunk;
            const int64_t last = first + per_chunk < n ? first + per_chunk : n;
            char *start = text + size_t(slot) * chunk_bytes;
            lengths[slot] = size_t(format_node_lines(start, first, min_distance + first, last - first) - start);
        }
#pragma omp single nowait
        for (int64_t chunk = first_chunk; written && chunk < last_chunk; ++chunk) {
            const int64_t slot = set + chunk - first_chunk;
            written = write_output(text + size_t(slot) * chunk_bytes, lengths[slot]);
        }
    }
    release_array(text);
    release_array(lengths);
    return written;
}
