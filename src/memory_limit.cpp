// Memory room under the process's control groups. Every group from the process's own up
// to the mount point is read, since a parent's limit binds its children and what its
// other children hold fills it too; the least room is the one that binds. Room is read
// afresh at every call: what the groups hold changes as the run and its neighbours run.
#include "memory_limit.h"

namespace {

// A byte count written alone in a file; false for garbage or a negative value.
bool byte_count(const std::string &text, uint64_t *bytes) {
    long long value = 0;
    if (!whole_integer(trimmed_text(text), &value) || value < 0) return false;
    *bytes = uint64_t(value);
    return true;
}

// The value of field in a memory.stat text ("name value" lines); false when missing.
bool stat_field(const std::string &stat, const char *field, uint64_t *bytes) {
    for (const std::string &line : split_text(stat, '\n')) {
        const size_t space = line.find(' ');
        if (space == std::string::npos || line.compare(0, space, field) != 0) continue;
        return byte_count(line.substr(space + 1), bytes);
    }
    return false;
}

uint64_t field_or_zero(const std::string &stat, const char *field) {
    uint64_t bytes = 0;
    return stat_field(stat, field, &bytes) ? bytes : 0;
}

// The group's limit; UINT64_MAX when it has none or its file cannot be read.
uint64_t group_limit(const control_group &group, read_text_fn read, void *context) {
    std::string text;
    const std::string limit_file = group.v2 ? "/memory.max" : "/memory.limit_in_bytes";
    if (!read((group.directory + limit_file).c_str(), &text, context)) return UINT64_MAX;
    return group.v2 ? v2_memory_max(text) : v1_memory_limit(text);
}

// "No limit" in v1 reads back as a value near 2^63; no room that large binds.
constexpr uint64_t NO_V1_LIMIT = uint64_t(1) << 62;

uint64_t group_room(const control_group &group, read_text_fn read, void *context) {
    std::string stat;
    const uint64_t limit = group_limit(group, read, context);
    if (limit == UINT64_MAX) return UINT64_MAX;
    // Without its usage the group's limit alone is the most it can leave.
    const uint64_t held = read((group.directory + "/memory.stat").c_str(), &stat, context)
                              ? unreclaimable_bytes(stat, group.v2)
                              : 0;
    return limit > held ? limit - held : 0;
}

}  // namespace

uint64_t v1_memory_limit(const std::string &limit_in_bytes) {
    uint64_t bytes = 0;
    return byte_count(limit_in_bytes, &bytes) ? bytes : UINT64_MAX;
}

uint64_t v2_memory_max(const std::string &memory_max) {
    uint64_t bytes = 0;
    return byte_count(memory_max, &bytes) ? bytes : UINT64_MAX;  // "max" is not a count
}

uint64_t unreclaimable_bytes(const std::string &memory_stat, bool v2) {
    if (v2) return field_or_zero(memory_stat, "anon") + field_or_zero(memory_stat, "shmem");
    uint64_t rss = 0;
    // The totals hold the groups below too, whose memory counts against this one's limit.
    if (stat_field(memory_stat, "total_rss", &rss)) return rss + field_or_zero(memory_stat, "total_shmem");
    return field_or_zero(memory_stat, "rss") + field_or_zero(memory_stat, "shmem");
}

std::vector<control_group> limited_groups(const std::vector<control_group> &groups, read_text_fn read,
                                          void *context) {
    std::vector<control_group> limited;
    for (const control_group &group : groups) {
        if (group_limit(group, read, context) < NO_V1_LIMIT) limited.push_back(group);
    }
    return limited;
}

uint64_t memory_room(const std::vector<control_group> &groups, read_text_fn read, void *context) {
    uint64_t least = UINT64_MAX;
    for (const control_group &group : groups) {
        const uint64_t room = group_room(group, read, context);
        if (room < least) least = room;
    }
    return least;
}
