// The memory a process's control groups still let it take: each group's limit (v1
// memory.limit_in_bytes, v2 memory.max) less what the group and those below it already
// hold that the kernel cannot reclaim (anonymous and shared memory; file pages in the
// cache are reclaimed, and swap is not counted on). The parsers take the files' texts, so
// that any text can be tried; garbage reads as no limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "control_groups.h"

// Bytes a v1 memory.limit_in_bytes allows; UINT64_MAX for garbage. ("No limit" reads
// back as a value near 2^63, which no request reaches.)
uint64_t v1_memory_limit(const std::string &limit_in_bytes);

// Bytes a v2 memory.max allows; UINT64_MAX for "max" or garbage.
uint64_t v2_memory_max(const std::string &memory_max);

// Bytes a group holds that the kernel cannot reclaim, from its memory.stat: v1 total_rss
// plus total_shmem (rss plus shmem where the totals are missing), v2 anon plus shmem.
// Fields that are missing or garbage count as 0.
uint64_t unreclaimable_bytes(const std::string &memory_stat, bool v2);

// The groups among groups whose limit file reads a limit: the only ones whose room can
// bind, so a process can read them alone at every check.
std::vector<control_group> limited_groups(const std::vector<control_group> &groups, read_text_fn read,
                                          void *context);

// The least room (limit less what is held that cannot be reclaimed, at least 0) over
// groups, reading their files through read; UINT64_MAX when no group limits.
uint64_t memory_room(const std::vector<control_group> &groups, read_text_fn read, void *context);
