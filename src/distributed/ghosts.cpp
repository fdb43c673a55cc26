// Ghosts noted while counting, merged into the table, and looked up while filling. Each
// member notes what it meets in a set of its own (open addressing, at most half full),
// skipping a node it noted last in the same slot of a small filter (a hub's end met again
// and again); the members' sets are sorted, merged through a heap of their heads, and a
// directory by node range makes a fill's lookup a miss and a short search.
#include "ghosts.h"

#include <omp.h>

#include <algorithm>

#include "distributed_run.h"
#include "memory.h"

int32_t num_ghosts = 0;
int32_t ghosts_below = 0;
int32_t *ghost_nodes = nullptr;

namespace {

// Slots of a member's filter of recently noted ghosts (64 KiB each).
constexpr int RECENT_BITS = 14;
// Slots of a member's set when it first notes a ghost.
constexpr size_t FIRST_SLOTS = size_t(1) << 10;
constexpr int32_t EMPTY_SLOT = -1;

struct member_notes {
    int32_t *ghosts;  // a set: capacity slots (a power of two), EMPTY_SLOT where none; sorted once closed
    size_t count;     // distinct ghosts held
    size_t capacity;
    int32_t *recent;  // the ghost last noted per slot
    bool out_of_memory;
};

inline size_t slot_for(int32_t x, size_t capacity) { return size_t((uint32_t(x) * 0x9e3779b1u) >> 7) & (capacity - 1); }

// Puts x in the set, which has room for it.
void put(member_notes &g, int32_t x) {
    size_t at = slot_for(x, g.capacity);
    while (g.ghosts[at] != EMPTY_SLOT && g.ghosts[at] != x) at = (at + 1) & (g.capacity - 1);
    if (g.ghosts[at] == x) return;
    g.ghosts[at] = x;
    ++g.count;
}

// Doubles the set (or makes its first slots); false when the memory is refused.
bool grow_set(member_notes &g) {
    const size_t capacity = g.capacity == 0 ? FIRST_SLOTS : 2 * g.capacity;
    if (!memory_available(capacity * sizeof(int32_t) + (size_t(1) << 20))) return false;
    int32_t *old = g.ghosts;
    const size_t old_capacity = g.capacity;
    g.ghosts = static_cast<int32_t *>(allocate_array(capacity, sizeof(int32_t)));
    std::fill(g.ghosts, g.ghosts + capacity, EMPTY_SLOT);
    g.capacity = capacity;
    g.count = 0;
    for (size_t k = 0; k < old_capacity; ++k)
        if (old[k] != EMPTY_SLOT) put(g, old[k]);
    discard_array(old);
    return true;
}

// The set's ghosts moved to its front and sorted.
void close_set(member_notes &g) {
    size_t kept = 0;
    for (size_t k = 0; k < g.capacity; ++k)
        if (g.ghosts[k] != EMPTY_SLOT) g.ghosts[kept++] = g.ghosts[k];
    std::sort(g.ghosts, g.ghosts + kept);
    g.count = kept;
}

struct ghost_state {
    member_notes *notes = nullptr;
    int members = 0;
    // The ghosts of nodes [b << directory_shift, (b + 1) << directory_shift) start at directory[b].
    int32_t *directory = nullptr;
    int directory_shift = 0;
};
ghost_state table;

// A run's next node and the run, ordered so that a max-heap pops the least node.
struct run_head {
    int32_t node;
    int run;
};
inline bool after(const run_head &a, const run_head &b) { return a.node != b.node ? a.node > b.node : a.run > b.run; }

// Merges the members' sorted notes, dropping repeats, into out (null: only counts),
// through a heap of the runs' heads; returns the distinct nodes.
int64_t merge_notes(int32_t *out) {
    const int members = table.members;
    run_head *heads = static_cast<run_head *>(allocate_array(size_t(members), sizeof(run_head)));
    size_t *at = static_cast<size_t *>(allocate_array(size_t(members), sizeof(size_t)));
    int live = 0;
    for (int m = 0; m < members; ++m) {
        at[m] = 0;
        if (table.notes[m].count > 0) heads[live++] = run_head{table.notes[m].ghosts[0], m};
    }
    std::make_heap(heads, heads + live, after);
    int64_t written = 0;
    for (int32_t last = -1; live > 0;) {
        std::pop_heap(heads, heads + live, after);
        const run_head head = heads[--live];
        if (head.node != last && out != nullptr) out[written] = head.node;
        written += head.node != last;
        last = head.node;
        const member_notes &notes = table.notes[head.run];
        if (++at[head.run] < notes.count) {
            heads[live++] = run_head{notes.ghosts[at[head.run]], head.run};
            std::push_heap(heads, heads + live, after);
        }
    }
    release_array(heads);
    release_array(at);
    return written;
}

// The directory: about a ghost a bucket of nodes.
void open_directory() {
    const int64_t n = num_nodes, ghosts = num_ghosts > 0 ? num_ghosts : 1;
    int shift = 0;
    while ((n >> shift) > ghosts) ++shift;
    const int64_t buckets = (n >> shift) + 1;
    agree_on_memory(size_t(buckets + 1) * sizeof(int32_t));
    int32_t *first = static_cast<int32_t *>(allocate_array(size_t(buckets + 1), sizeof(int32_t)));
    int32_t g = 0;
    for (int64_t b = 0; b <= buckets; ++b) {
        while (g < num_ghosts && ghost_nodes[g] < (b << shift)) ++g;
        first[b] = g;
    }
    table.directory = first;
    table.directory_shift = shift;
}

void release_notes() {
    for (int m = 0; m < table.members && table.notes != nullptr; ++m) {
        discard_array(table.notes[m].ghosts);
        release_array(table.notes[m].recent);
    }
    drop_array(table.notes);
    table.members = 0;
}

}  // namespace

void open_ghost_notes(int members) {
    table.members = members;
    table.notes = static_cast<member_notes *>(allocate_array(size_t(members), sizeof(member_notes)));
    for (int m = 0; m < members; ++m) {
        int32_t *recent = static_cast<int32_t *>(allocate_array(size_t(1) << RECENT_BITS, sizeof(int32_t)));
        std::fill(recent, recent + (size_t(1) << RECENT_BITS), -1);
        table.notes[m] = member_notes{nullptr, 0, 0, recent, false};
    }
}

void note_ghost(int member, int32_t x) {
    member_notes &g = table.notes[member];
    int32_t &last = g.recent[(uint32_t(x) * 0x9e3779b1u) >> (32 - RECENT_BITS)];
    if (last == x) return;
    last = x;
    if (2 * (g.count + 1) > g.capacity && (g.out_of_memory || !grow_set(g))) {
        g.out_of_memory = true;
        return;
    }
    put(g, x);
}

bool ghost_notes_short(int member) { return table.notes != nullptr && table.notes[member].out_of_memory; }

void build_ghost_table() {
    // A team smaller than asked (a thread limit) takes the members' notes in turn.
#pragma omp parallel num_threads(table.members) if (table.members > 1)
    for (int m = omp_get_thread_num(); m < table.members; m += omp_get_num_threads()) {
        close_set(table.notes[m]);
    }
    const int64_t distinct = merge_notes(nullptr);
    agree_on_memory(size_t(distinct) * sizeof(int32_t));
    num_ghosts = int32_t(distinct);
    ghost_nodes = static_cast<int32_t *>(allocate_array(size_t(num_ghosts), sizeof(int32_t)));
    merge_notes(ghost_nodes);
    ghosts_below = int32_t(std::lower_bound(ghost_nodes, ghost_nodes + num_ghosts, first_owned_node) - ghost_nodes);
    release_notes();
    open_directory();
}

int32_t ghost_index_of(int32_t x) {
    if (uint32_t(x) >= uint32_t(num_nodes) || table.directory == nullptr) return NO_INDEX;
    const int32_t b = x >> table.directory_shift;
    const int32_t *end = ghost_nodes + table.directory[b + 1];
    const int32_t *at = std::lower_bound(static_cast<const int32_t *>(ghost_nodes) + table.directory[b], end, x);
    if (at == end || *at != x) return NO_INDEX;
    const int32_t g = int32_t(at - ghost_nodes);
    return g < ghosts_below ? g - ghosts_below : num_owned_nodes + g - ghosts_below;
}

void close_ghost_lookup() { drop_array(table.directory); }

void release_ghosts() {
    release_notes();
    close_ghost_lookup();
    drop_array(ghost_nodes);
    num_ghosts = 0;
    ghosts_below = 0;
}
