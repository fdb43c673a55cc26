// The tunables of a run, in one block: sizes and thresholds that decide how the work is cut
// and where a team starts, never what is printed. They are not state and not a record of
// what a run did. Tests move them to reach every path and put the defaults back whole;
// bench/README.md and docs/design.md say how the defaults were measured.
#pragma once

#include <cstddef>
#include <cstdint>

struct run_settings {
    // Input: bytes read at a time into the buffer of runs of lines (it doubles for a
    // longer kept line); a regular gzip file whose content takes at most
    // inflate_whole_max_bytes is inflated whole (libdeflate builds without ISA-L); content
    // bytes inflated between two hand-overs to the reader; zlib for every stream.
    size_t read_block_bytes;
    int64_t inflate_whole_max_bytes;
    size_t inflate_step_bytes;
    bool inflate_with_zlib;
    // Reader: the least share of the edge lines worth a member of its own (bytes of a plain
    // file, kept lines of a stream at 16 bytes each); a plain file whose M announced lines
    // take at most keep_lines_max_bytes is scanned once and its kept lines held for the
    // second pass; bytes of a block of held lines; kept lines between two checkpoints of a
    // file scanned twice, where the second scan must meet the first's checksum.
    size_t read_team_min_bytes;
    int64_t keep_lines_max_bytes;
    size_t line_block_bytes;
    int64_t checked_lines;
    // Builder: nodes plus edge lines from which a team builds; rows of a piece of the slot
    // pass and records of a piece of the pass that drops repeated neighbours (members claim
    // pieces as they come); records packed into 32 bits where they fit.
    int64_t build_team_min_work;
    int64_t build_piece_rows;
    int64_t build_piece_records;
    bool pack_records;
    // Solver rule: records plus nodes from which the bucket solver runs on the team, and the
    // nodes from which one thread moves from the radix heap to buckets.
    int64_t bucket_team_min_work;
    int32_t bucket_alone_min_nodes;
    // Bucket solver: a member settles alone the bins it filled below bucket_fusion_max
    // entries; a claim of shared work covers about bucket_claim_records records; at most
    // bucket_ring_max buckets sit in the ring; the team settles at most
    // bucket_team_rounds_max rounds together, and hands over to one member once its
    // members have kept each other waiting past bucket_late_ns more than
    // bucket_late_budget_ns in all.
    int64_t bucket_fusion_max;
    int64_t bucket_claim_records;
    int32_t bucket_ring_max;
    int64_t bucket_team_rounds_max;
    int64_t bucket_late_ns;
    int64_t bucket_late_budget_ns;
    // Listing: node lines a member formats at a time, and the nodes from which a team formats.
    int64_t listing_chunk_nodes;
    int64_t listing_team_min_nodes;
};

extern const run_settings default_settings;
extern run_settings settings;  // starts as default_settings
