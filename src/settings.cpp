// The defaults of the tunables and why each is what it is; the measurements behind them
// are in bench/README.md and docs/design.md.
#include "settings.h"

#include "last_run.h"
#include "test_hooks.h"

const run_settings default_settings = {
    // A mebibyte of a stream at a time; gzip content up to 256 MiB is inflated whole
    // (twice as fast as the stream, at the price of holding the text); a quarter of a
    // mebibyte inflated before the reader may start on it.
    size_t(1) << 20,
    int64_t(256) << 20,
    size_t(256) << 10,
    false,
    // A member of its own for every 4 MiB of edge lines; held lines up to 96 MiB (8 Mi
    // lines at the most a held line takes), where replaying them beats a second scan and
    // the held lines and the store stay within a few tens of bytes a line; blocks of one
    // huge page, which the allocator keeps for reuse; a checkpoint every 1,024 lines.
    size_t(4) << 20,
    int64_t(96) << 20,
    size_t(2) << 20,
    1024,
    // A woken team pays from 65,536 nodes plus lines; pieces of 16,384 rows and 65,536
    // records: a member held off its core delays only the piece in its hands.
    int64_t(1) << 16,
    int64_t(1) << 14,
    int64_t(1) << 16,
    true,
    // From 2^18 records plus nodes the load path has just used the team, whose members are
    // still awake; below about a thousand nodes the radix heap, which needs no set-up, wins.
    int64_t(1) << 18,
    1024,
    // Bins below a thousand entries cost the team more to share than to settle alone; a
    // claim of two thousand records; a ring of 8,192 buckets; no cap on the team's rounds; a
    // member a millisecond late was off its core, and a few such waits cost more than the
    // team gains.
    1024,
    2048,
    1 << 13,
    INT64_MAX,
    1000000,
    2000000,
    // A chunk of 8,192 lines stays in its member's cache and takes a tenth of a millisecond;
    // below 2^16 lines one thread lists faster than a team that has yet to start.
    int64_t(1) << 13,
    int64_t(1) << 16,
};

run_settings settings = default_settings;

// The two other blocks a run has beside its settings: the tests' hooks, none set, and the
// record of what the last computation did.
test_hook_set test_hooks = {};
run_record last_run = {};
