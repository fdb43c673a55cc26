// Differential tests of norvane-mpi's steps on the processes mpirun starts: random and
// faulty files (at every cut, past M, damaged gzip) against the faithful model, and the
// listing against the one-process program's, with ranges, rounds, waves and buckets shrunk.
// Every process runs the same cases in the same order; rank 0 judges, all stop at the first
// failure. Usage: mpirun -np K norvane_distributed_tests [GROUP...]
#include <fcntl.h>
#include <mpi.h>
#include <omp.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <queue>
#include <set>
#include <string>
#include <vector>

#include "balance.h"
#include "builder.h"
#include "distributed_builder.h"
#include "distributed_listing.h"
#include "distributed_reader.h"
#include "distributed_run.h"
#include "distributed_solver.h"
#include "distributed_settings.h"
#include "entry_list.h"
#include "faithful_model.h"
#include "ghosts.h"
#include "listing.h"
#include "ownership.h"
#include "settings.h"
#include "test_hooks.h"
#include "test_support.h"

namespace {

jmp_buf back;

// Everything a distributed run held, also one taken back half way.
void release_distributed_run() {
    release_distributed_reading();
    release_distributed_building();
    release_ghosts();
    release_blocks();
    reset_store();
}
std::string path;
FILE *real_stderr = nullptr;
int failures = 0;

[[noreturn]] void take_run_back() { longjmp(back, 1); }

void write_file(const std::string &bytes) {
    if (process_rank == 0) {
        FILE *file = fopen(path.c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), file);
        fclose(file);
    }
    MPI_Barrier(MPI_COMM_WORLD);
}

struct outcome {
    bool completed = false;
    bool gathered = false;     // the rows went to rank 0 (a negative weight)
    bool packed = false;       // the rows were packed, as the one-process store packs them
    int64_t rounds = 0;        // exchange rounds of the build
    int64_t phases = 0;        // phases of the solve
    std::vector<int32_t> tables;  // rank 0: every process's table of cuts, then its block's first node and size
    std::string messages;            // rank 0's standard error
    std::vector<int32_t> distances;  // rank 0: every node's
};

// The distributed run up to the solve, on the file at path; an agreed failure comes back
// here on every process.
outcome run_everywhere() {
    outcome out;
    char *captured = nullptr;
    size_t length = 0;
    FILE *volatile capture = nullptr;
    if (process_rank == 0) {
        capture = open_memstream(&captured, &length);
        stderr = capture;
    }
    agreed_end_handler = take_run_back;
    volatile bool completed = false;
    if (setjmp(back) == 0) {
        read_head_everywhere(path.c_str());
        build_distributed_store();
        compute_distances_everywhere();
        completed = true;
    }
    agreed_end_handler = nullptr;
    if (process_rank == 0) {
        fclose(capture);
        stderr = real_stderr;
        out.messages.assign(captured, length);
        free(captured);
    }
    out.completed = completed;
    if (out.completed) {
        const int k = num_processes;
        std::vector<int> counts(static_cast<size_t>(k)), at(static_cast<size_t>(k));
        for (int p = 0; p < k; ++p) {
            at[size_t(p)] = first_node_of(p);
            counts[size_t(p)] = first_node_of(p + 1) - at[size_t(p)];
        }
        if (process_rank == 0) out.distances.resize(size_t(num_nodes));
        MPI_Gatherv(min_distance, num_owned_nodes, MPI_INT32_T, out.distances.data(), counts.data(), at.data(),
                    MPI_INT32_T, 0, MPI_COMM_WORLD);
        out.gathered = negative_weights;
        out.packed = packed_edges != nullptr;
        out.rounds = max_over_processes(distributed_report.build_rounds);
        out.phases = distributed_report.solve_phases;
        std::vector<int32_t> mine;
        for (int p = 0; p <= k; ++p) mine.push_back(first_node_of(p));
        mine.push_back(first_owned_node);
        mine.push_back(num_owned_nodes);
        if (process_rank == 0) out.tables.resize(mine.size() * size_t(k));
        MPI_Gather(mine.data(), int(mine.size()), MPI_INT32_T, out.tables.data(), int(mine.size()), MPI_INT32_T, 0,
                   MPI_COMM_WORLD);
    }
    release_distributed_run();
    return out;
}

// Rank 0's verdict, known to every process; a failure is reported once, with the file.
bool judged(bool good, const std::string &what, const std::string &text) {
    int verdict = good ? 1 : 0;
    MPI_Bcast(&verdict, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (verdict == 0 && process_rank == 0) {
        fprintf(real_stderr, "FAIL on %d processes: %s\n", num_processes, what.c_str());
        if (text.size() < 4000) fprintf(real_stderr, "file:\n%s\n", text.c_str());
    }
    if (verdict == 0) ++failures;
    return verdict != 0;
}

std::string joined(const std::vector<int32_t> &values) {
    std::string text;
    for (int32_t v : values) text += std::to_string(v) + " ";
    return text;
}

outcome last_outcome;

// Runs the file (gzip-compressed when asked) and holds the outcome against the model.
bool matches_model(const std::string &text, bool compressed, const std::string &label) {
    write_file(compressed ? gzipped(text) : text);
    const outcome got = run_everywhere();
    last_outcome = got;
    if (process_rank != 0) return judged(true, "", "");
    const model_run want = run_model(text);
    const std::string messages = want.size_line + (want.ok ? warning_if(want.warned) : want.error_message);
    std::string why;
    if (got.messages != messages) why = "standard error\n" + got.messages + "\nexpected\n" + messages;
    else if (got.completed != want.ok) why = got.completed ? "completed, the model failed" : "failed, the model did not";
    else if (want.ok && got.distances != want.min_distance)
        why = "distances " + joined(got.distances) + "\nexpected  " + joined(want.min_distance);
    return judged(why.empty(), label + (compressed ? " (gzip)" : "") + ": " + why, text);
}

// ------------------------------------------------------------------ tunables

struct tunables {
    run_settings run = settings;
    distributed_tunables distributed = distributed_settings;
    int threads = omp_get_max_threads();
};

void restore(const tunables &t) {
    settings = t.run;
    distributed_settings = t.distributed;
    omp_set_num_threads(t.threads);
}
tunables defaults;

// Small ranges for the members of each process, a few lines per exchange round, short
// stream runs (many waves), narrow buckets (many phases), the team on a handful of
// entries or from a few on. Every process draws the same values from the same seed.
void shrink_everything(std::mt19937 &rng) {
    settings.read_block_bytes = size_t(pick(rng, 16, 200));
    settings.read_team_min_bytes = size_t(pick(rng, 1, 64));
    settings.build_team_min_work = pick(rng, 0, 1) ? 1 : defaults.run.build_team_min_work;
    distributed_settings.exchange_round_bytes = int64_t(sizeof(edge_line)) * num_processes * pick(rng, 1, 6);
    settings.checked_lines = pick(rng, 0, 1) ? pick(rng, 1, 5) : defaults.run.checked_lines;
    // A threshold of a few entries puts some phases of one solve on the team and others on
    // one thread.
    const int team_from = pick(rng, 0, 2);
    distributed_settings.team_min_entries = team_from == 0 ? 1 : team_from == 1 ? pick(rng, 2, 6) : defaults.distributed.team_min_entries;
    distributed_settings.bucket_width = pick(rng, 0, 3) == 0 ? 0 : 1 << (pick(rng, 0, 3) == 0 ? pick(rng, 0, 30) : pick(rng, 0, 3));
    // One bucket a phase (requests in every phase), a few (nodes settled here and again
    // after a request), or the solver's own choice.
    const int span_from = pick(rng, 0, 2);
    distributed_settings.phase_span = span_from == 0 ? 1 : span_from == 1 ? int64_t(1) << pick(rng, 1, 6) : 0;
    omp_set_num_threads(pick(rng, 1, 3));
}

// ------------------------------------------------------------------ where lines fall

// Start offsets of the lines of text.
std::vector<size_t> line_starts(const std::string &text) {
    std::vector<size_t> starts;
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) == std::string::npos ? text.size() : text.find('\n', at) + 1)
        starts.push_back(at);
    return starts;
}

// Offset just past the problem line (the first line starting with 'p').
size_t edges_start(const std::string &text) {
    for (size_t at : line_starts(text))
        if (text[at] == 'p') return text.find('\n', at) == std::string::npos ? text.size() : text.find('\n', at) + 1;
    return text.size();
}

// The cut where process p's byte range of a plain file begins.
size_t cut_of(const std::string &text, int p) {
    const size_t start = edges_start(text);
    return start + (text.size() - start) * size_t(p) / size_t(num_processes);
}

// The process whose range holds the line starting at offset.
int process_of(const std::string &text, size_t offset) {
    int p = 0;
    while (p + 1 < num_processes && cut_of(text, p + 1) <= offset) ++p;
    return p;
}

// ------------------------------------------------------------------ groups

int32_t heavy_or_tied_weight(std::mt19937 &rng) {
    switch (pick(rng, 0, 9)) {
    case 0: return (1 << 29) + pick(rng, -2, 2);  // two hops straddle 2^30
    case 1: return pick(rng, (1 << 30) - 2, (1 << 30) + 2);
    case 2: return 0;
    default: return tie_weight(rng);
    }
}

// Random files, valid ones, through every path: ranges cut among members, rounds, waves,
// buckets, the team, negative weights gathered to rank 0, rows packed (light weights) or
// wide. The duplicates that matter here are those whose earlier line stands in an earlier
// process's range than the later one.
void random_files() {
    int crossing_duplicates = 0, gathered = 0, several_rounds = 0, many_phases = 0, packed = 0;
    for (uint32_t seed = 1; seed <= 2000; ++seed) {
        std::mt19937 rng(seed);
        const bool signed_weights = seed % 5 == 0, light_weights = seed % 4 == 1;
        const random_graph g = make_random_graph(rng, seed % 10 == 0 ? 200 : 40, [&] {
            return signed_weights ? signed_weight(rng) : light_weights ? pick(rng, 0, 9) : heavy_or_tied_weight(rng);
        });
        const std::string text = seed % 2 ? decorated_text(rng, g) : plain_text(g);
        shrink_everything(rng);
        const bool compressed = seed % 3 == 0;
        if (!matches_model(text, compressed, "random file, seed " + std::to_string(seed))) return;
        gathered += last_outcome.gathered;
        packed += last_outcome.packed;
        several_rounds += last_outcome.rounds > 1;
        many_phases += last_outcome.phases > 4;
        if (!compressed && seed % 2 == 0) {
            // Plain text: line k + 1 is edge k. Count the pairs met again in a later range.
            const std::vector<size_t> starts = line_starts(text);
            for (size_t a = 0; a < g.edges.size(); ++a)
                for (size_t b = a + 1; b < g.edges.size(); ++b) {
                    const file_edge &x = g.edges[a], &y = g.edges[b];
                    if (x.u == x.v || !((x.u == y.u && x.v == y.v) || (x.u == y.v && x.v == y.u))) continue;
                    if (x.w != y.w && process_of(text, starts[a + 1]) < process_of(text, starts[b + 1])) {
                        ++crossing_duplicates;
                        a = b = g.edges.size();
                    }
                }
        }
    }
    restore(defaults);
    // Each path named above must really have been taken.
    judged(crossing_duplicates > 200, "duplicates across ranges: " + std::to_string(crossing_duplicates), "");
    judged(gathered > 300, "runs gathered to rank 0: " + std::to_string(gathered), "");
    judged(several_rounds > 1000, "builds of several rounds: " + std::to_string(several_rounds), "");
    judged(many_phases > 400, "solves of many phases: " + std::to_string(many_phases), "");
    judged(packed > 300, "runs on packed rows: " + std::to_string(packed), "");
}

// Makes the line that starts at offset offend without moving any byte: its last digit
// becomes an 'x', or (no digit) it is a bare "a".
std::string spoiled(std::string text, size_t offset) {
    size_t end = text.find('\n', offset);
    if (end == std::string::npos) end = text.size();
    for (size_t at = offset + 2; at < end; ++at) {
        if (text[at] >= '0' && text[at] <= '9' && (at + 1 == end || text[at + 1] < '0' || text[at + 1] > '9')) {
            // The first integer's end: "a 12 34 5" becomes "a 1x 34 5".
            text[at] = 'x';
            return text;
        }
    }
    return text;
}

// A plain file of edge lines with M written in ten digits, so M can change in place.
std::string padded_file(std::mt19937 &rng, int32_t n, int lines, int64_t m) {
    char head[64];
    snprintf(head, sizeof head, "p sp %d %010lld\n", n, static_cast<long long>(m));
    std::string text = head;
    for (int k = 0; k < lines; ++k)
        text += "a " + std::to_string(pick(rng, 1, n)) + " " + std::to_string(pick(rng, 1, n)) + " " +
                std::to_string(pick(rng, 0, 99)) + "\n";
    return text;
}

std::string with_m(std::string text, int64_t m) {
    char digits[16];
    snprintf(digits, sizeof digits, "%010lld", static_cast<long long>(m));
    const size_t at = text.find('\n') - 10;
    text.replace(at, 10, digits);
    return text;
}

// Offending lines at and around every process's cut: the line that straddles the cut, the
// first of the later range, its neighbours; two at once in neighbouring ranges (the earlier
// one is reported); the line past M as the last of one range and the first of the next,
// with an offending line after it and one before it. Plain and gzip.
void faults_at_cuts() {
    int cases = 0;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(1000 + seed);
        const int lines = pick(rng, 8 * num_processes, 30 * num_processes);
        const std::string base = padded_file(rng, pick(rng, 2, 30), lines, lines);
        const std::vector<size_t> starts = line_starts(base);
        // Edge line k (0-based) starts at starts[k + 1].
        for (int p = 1; p < num_processes; ++p) {
            const size_t cut = cut_of(base, p);
            size_t first = 1;  // the first edge line that starts at or past the cut
            while (first < starts.size() && starts[first] < cut) ++first;
            std::vector<std::string> variants;
            for (size_t line = first >= 3 ? first - 2 : 1; line <= first + 2 && line < starts.size(); ++line)
                variants.push_back(spoiled(base, starts[line]));
            if (first >= 2 && first + 1 < starts.size())
                variants.push_back(spoiled(spoiled(base, starts[first + 1]), starts[first - 1]));
            // The line past M: edge line index first - 1 (the first of range p) or the last of range p - 1.
            for (size_t past : {first - 1, first - 2}) {
                if (past < 1 || past + 1 >= starts.size()) continue;
                const std::string cut_short = with_m(base, int64_t(past));
                variants.push_back(cut_short);
                if (past + 3 < starts.size()) variants.push_back(spoiled(cut_short, starts[past + 3]));
                variants.push_back(spoiled(cut_short, starts[past]));
            }
            for (size_t v = 0; v < variants.size(); ++v) {
                const std::string label = "cut " + std::to_string(p) + ", variant " + std::to_string(v) + ", seed " +
                                          std::to_string(seed);
                settings.read_block_bytes = size_t(pick(rng, 16, 120));
                settings.read_team_min_bytes = size_t(pick(rng, 1, 40));
                omp_set_num_threads(pick(rng, 1, 2));
                if (!matches_model(variants[v], false, label)) return;
                if (!matches_model(variants[v], true, label)) return;
                cases += 2;
            }
        }
    }
    restore(defaults);
    judged(cases >= 12 * 2 * 6 * (num_processes - 1), "fault placements run: " + std::to_string(cases), "");
}

// The problem line far from its edges: comments fill the first ranges, or the run that
// holds the problem line ends with it; a second problem line in a later range; a file of
// edges only after a comment longer than a range.
void problem_line_apart() {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(2000 + seed);
        const random_graph g = make_random_graph(rng, 20, [&] { return heavy_or_tied_weight(rng); });
        std::string edges = plain_text(g);
        const std::string problem = edges.substr(0, edges.find('\n') + 1);
        edges = edges.substr(problem.size());
        const std::string filler = "c " + std::string(size_t(pick(rng, 10, 400)), 'x') + "\n";
        std::string text = "c head\n" + problem;
        while (text.size() < size_t(num_processes) * edges.size()) text += filler;
        text += edges;
        // The stream's first run ends with the problem line when a read block holds just it.
        settings.read_block_bytes = seed % 2 ? size_t(7 + problem.size()) : size_t(pick(rng, 16, 64));
        if (!matches_model(text, seed % 2 == 1, "problem line apart, seed " + std::to_string(seed))) return;
        std::string twice = text + problem + edges;
        if (!matches_model(twice, seed % 2 == 0, "second problem line, seed " + std::to_string(seed))) return;
    }
    restore(defaults);
}

// The listing of a star of 3 * 2^14 nodes per process (some left unreached), against the
// one-process program's: with chunks and windows shrunk so that every process has several
// chunks on their way at once and the slots are posted again, into a plain file after
// text already there (each block written at its place, the file's offset past the listing
// after), into a file opened for appending (blocks in order), and failing: a full device,
// and a plain file whose size limit stops the placed writes.
void listing_across_chunks() {
    const int32_t n = 3 * (1 << 14) * num_processes + 17;
    std::mt19937 rng(7);
    std::string text = "p sp " + std::to_string(n) + " " + std::to_string(n - 1) + "\n";
    for (int32_t k = 2; k <= n; ++k)
        if (k % 97 != 0) text += "a 1 " + std::to_string(k) + " " + std::to_string(pick(rng, 0, 1 << 20)) + "\n";
    write_file(text);
    const std::string listing_path = path + ".out";
    auto read_listing = [&listing_path] {
        std::string bytes;
        FILE *file = fopen(listing_path.c_str(), "rb");
        char buffer[1 << 16];
        for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, got);
        fclose(file);
        return bytes;
    };
    // Rank 0's standard output to target (its messages to nothing) until restored.
    int saved = -1;
    auto redirect = [&](const char *target, int flags) {
        if (process_rank != 0) return;
        saved = dup(STDOUT_FILENO);
        const int out = open(target, O_WRONLY | O_CREAT | O_TRUNC | flags, 0600);
        dup2(out, STDOUT_FILENO);
        close(out);
        stderr = fopen("/dev/null", "w");
    };
    auto put_back = [&] {
        if (process_rank != 0) return;
        dup2(saved, STDOUT_FILENO);
        close(saved);
        fclose(stderr);
        stderr = real_stderr;
    };
    // Rank 0's receive windows stay within their budget at any process count, and every
    // other process keeps two chunks on their way where its block has two.
    std::string why;
    for (int sources = 1; sources <= 256 && process_rank == 0; sources *= 2) {
        for (int64_t most : {int64_t(1), int64_t(1000), int64_t(1) << 16, int64_t(1) << 26}) {
            const chunk_plan plan = plan_listing(most, 0, most, 2, sources + 1);
            const size_t held = size_t(sources) * size_t(plan.window) * plan.chunk_bytes;
            if (why.empty() && (held > LISTING_RECEIVE_BUDGET || (plan.chunks >= 2 && plan.window < 2)))
                why = std::to_string(sources + 1) + " processes, blocks of " + std::to_string(most) + " lines: rank 0 " +
                      "holds " + std::to_string(held) + " bytes of windows, " + std::to_string(plan.window) + " chunks a process";
        }
    }
    if (!judged(why.empty(), why, "")) return;
    std::string want;
    if (process_rank == 0) {
        redirect(listing_path.c_str(), 0);
        read_graph(path.c_str());
        compute_distances();
        write_listing();
        release_graph();
        put_back();
        want = "before\n" + read_listing() + "after\n";
    }
    read_head_everywhere(path.c_str());
    build_distributed_store();
    compute_distances_everywhere();
    // {nodes a chunk, chunks in flight, threads}: the defaults (one chunk a process), a
    // window that holds all 3 chunks of a process, and windows of 2 to 5 over 12 to 64.
    const int64_t settings[][3] = {{0, 0, 0}, {1 << 14, 8, 2}, {1000, 3, 2}, {4096, 2, 3}, {777, 5, 1}};
    enum { PLACED, APPENDED, FULL_DEVICE, SIZE_LIMIT };
    for (const auto &setting : settings) {
        restore(defaults);
        if (setting[0] > 0) {
            distributed_settings.listing_chunk_nodes = setting[0];
            distributed_settings.listing_window = setting[1];
            omp_set_num_threads(int(setting[2]));
        }
        const std::string label = "listing in chunks of " + std::to_string(distributed_settings.listing_chunk_nodes) +
                                  " nodes, window " + std::to_string(distributed_settings.listing_window) + ", ";
        for (int target : {PLACED, APPENDED, FULL_DEVICE, SIZE_LIMIT}) {
            redirect(target == FULL_DEVICE ? "/dev/full" : listing_path.c_str(), target == APPENDED ? O_APPEND : 0);
            rlimit was = {};
            if (process_rank == 0 && target == SIZE_LIMIT) {
                getrlimit(RLIMIT_FSIZE, &was);
                const rlimit small = {200000, was.rlim_max};
                signal(SIGXFSZ, SIG_IGN);
                setrlimit(RLIMIT_FSIZE, &small);
            }
            if (process_rank == 0 && target <= APPENDED) (void)!write(STDOUT_FILENO, "before\n", 7);
            const bool written = write_listing_everywhere();
            if (process_rank == 0 && target <= APPENDED) (void)!write(STDOUT_FILENO, "after\n", 6);
            if (process_rank == 0 && target == SIZE_LIMIT) {
                setrlimit(RLIMIT_FSIZE, &was);
                signal(SIGXFSZ, SIG_DFL);
            }
            put_back();
            const int64_t sent = sum_over_processes(distributed_report.listing_bytes_sent);
            const std::string how = target == PLACED ? "into a file" : target == APPENDED ? "appended" : "failing";
            if (target <= APPENDED) {
                const bool same = process_rank != 0 || (written && read_listing() == want);
                if (!judged(same, label + how + ": differs from the one-process listing", "")) return;
                // Every process but rank 0 sent its block.
                if (!judged(num_processes == 1 || sent > 0, label + "no chunk was sent to rank 0", "")) return;
            } else {
                // Every process, not only rank 0, learns that the write failed.
                int all_failed = written ? 0 : 1;
                MPI_Allreduce(MPI_IN_PLACE, &all_failed, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
                if (!judged(all_failed == 1, label + how + ": a failed write went unnoticed on some process", ""))
                    return;
            }
        }
    }
    restore(defaults);
    release_distributed_run();
    if (process_rank == 0) remove(listing_path.c_str());
}

// A gzip file cut short, read in short runs: the read fails after several waves. An
// offending line whose whole text came before the failure is reported, not the failure;
// otherwise the read message is.
void damaged_streams() {
    int lines_first = 0, reads_first = 0;
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(3000 + seed);
        random_graph g = make_random_graph(rng, 30, [&] { return pick(rng, 0, 1 << 30); });
        while (g.edges.size() < 200) g.edges.push_back({pick(rng, 1, g.n), pick(rng, 1, g.n), pick(rng, 0, 1 << 30)});
        std::string text = plain_text(g);
        const std::vector<size_t> starts = line_starts(text);
        const size_t bad = starts[size_t(pick(rng, 1, 150))];
        text = spoiled(text, bad);
        const std::string packed = gzipped(text);
        const std::string cut = packed.substr(0, packed.size() * size_t(pick(rng, 2, 9)) / 10);
        std::string content;
        zlib_content(cut, &content);
        const bool line_first = text.find('\n', bad) < content.size();
        write_file(cut);
        settings.read_block_bytes = size_t(pick(rng, 16, 64));
        const outcome got = run_everywhere();
        std::string expected;
        if (process_rank == 0) {
            const model_run want = run_model(text);
            expected = want.size_line + (line_first ? want.error_message : "Error: cannot read file " + path + ".\n");
        }
        lines_first += line_first;
        reads_first += !line_first;
        if (!judged(process_rank != 0 || (!got.completed && got.messages == expected),
                    "damaged gzip, seed " + std::to_string(seed) + ": " + got.messages + "\nexpected\n" + expected, text))
            return;
    }
    restore(defaults);
    judged(lines_first > 5 && reads_first > 5, "damaged gzip: line first " + std::to_string(lines_first) +
                                                 " times, read first " + std::to_string(reads_first), "");
}

// A plain file cut shorter or grown by one process between two of its reads, at the middle
// of its own range: the run ends with the read message on every process, or, for a file
// that grew, reads the file as it was at open. The hook runs once, on that process only.
int64_t change_from = 0;
std::atomic<bool> change_done{false};
std::string grown_tail;
void change_before_read(int64_t offset) {
    if (offset < change_from || change_done.exchange(true)) return;
    if (grown_tail.empty()) {
        if (truncate(path.c_str(), off_t(offset)) != 0) fprintf(real_stderr, "truncate failed\n");
        return;
    }
    FILE *file = fopen(path.c_str(), "ab");
    fwrite(grown_tail.data(), 1, grown_tail.size(), file);
    fclose(file);
}

void file_cut_between_reads() {
    // Lines of 22 bytes in windows of 64: a cut at a window's end falls inside a line.
    std::string text = "p sp 401 400\n";
    for (int k = 2; k <= 401; ++k) {
        const std::string node = std::to_string(k);
        text += "a 1 " + std::string(6 - node.size(), '0') + node + " 1000000000\n";
    }
    const model_run want = run_model(text);
    for (int grown = 0; grown <= 1; ++grown) {
        for (int p = 0; p < num_processes; ++p) {
            for (int threads = 1; threads <= 2; ++threads) {
                write_file(text);
                settings.read_block_bytes = 64;
                settings.read_team_min_bytes = 1;
                omp_set_num_threads(threads);
                const size_t end = p + 1 < num_processes ? cut_of(text, p + 1) : text.size();
                change_from = int64_t((cut_of(text, p) + end) / 2);
                change_done = false;
                grown_tail = grown ? "a 1 2 1\na 1\n" : "";  // read, both would offend
                if (process_rank == p) test_hooks.before_read_at = change_before_read;
                const outcome got = run_everywhere();
                test_hooks.before_read_at = nullptr;
                int changed = change_done ? 1 : 0;
                MPI_Allreduce(MPI_IN_PLACE, &changed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
                const std::string expected = grown ? want.size_line : want.size_line + "Error: cannot read file " + path + ".\n";
                const std::string label = std::string(grown ? "grown" : "cut") + " by process " + std::to_string(p) + ", " +
                                          std::to_string(threads) + " threads: ";
                if (!judged(changed == 1, label + "the file was never changed", "")) return;
                if (!judged(process_rank != 0 || (got.messages == expected && got.completed == (grown == 1) &&
                                                  (!got.completed || got.distances == want.min_distance)),
                            label + got.messages + "\nexpected\n" + expected, ""))
                    return;
            }
        }
    }
    restore(defaults);
}

// Distances by Dijkstra's algorithm over the edges (1-based, no pair twice, every node
// reached, no sum near 2^30), node 0 first: an oracle for graphs too large for the model.
std::vector<int32_t> dijkstra(int32_t n, const std::vector<file_edge> &edges) {
    std::vector<std::vector<std::pair<int32_t, int32_t>>> rows(static_cast<size_t>(n));
    for (const file_edge &e : edges) {
        rows[size_t(e.u - 1)].push_back({e.v - 1, e.w});
        rows[size_t(e.v - 1)].push_back({e.u - 1, e.w});
    }
    std::vector<int64_t> best(static_cast<size_t>(n), INT64_MAX);
    std::priority_queue<std::pair<int64_t, int32_t>, std::vector<std::pair<int64_t, int32_t>>, std::greater<>> queue;
    best[0] = 0;
    queue.push({0, 0});
    while (!queue.empty()) {
        const auto [d, u] = queue.top();
        queue.pop();
        if (d != best[size_t(u)]) continue;
        for (const auto &[v, w] : rows[size_t(u)])
            if (d + w < best[size_t(v)]) queue.push({best[size_t(v)] = d + w, v});
    }
    return std::vector<int32_t>(best.begin(), best.end());
}

// A long path of light edges with light chords (thousands of records a process, so the
// choice of buckets samples them), shortcuts ahead of up to 2^19, and tails of light edges
// whose only ways in are edges of 2^10 to 2^29. The ring reaches no farther than the
// sampled weights and its cap; an entry pushed past it waits in the overflow bin, and its
// row (a tail's rest) must still be relaxed in its turn. Narrow buckets, as the rule would
// choose had no heavy weight come into the sample, put the tails far past the ring.
void heavy_edges_past_the_sample() {
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        std::mt19937 rng(seed);
        distributed_settings.bucket_width = seed % 2 ? 2 : 0;
        const int32_t tails = 8, tail = 16, path = 12000 * num_processes;
        random_graph g{path + tails * tail, {}};
        std::set<std::pair<int32_t, int32_t>> pairs;  // the earliest line of a pair counts: one each
        auto add = [&](int32_t u, int32_t v, int32_t w) {
            if (pairs.insert({u, v}).second) g.edges.push_back({u, v, w});
        };
        for (int32_t v = 2; v <= path; ++v) add(v - 1, v, pick(rng, 1, 9));
        for (int32_t k = 0; k < path / 2; ++k) {
            const int32_t u = pick(rng, 1, path - 20);
            add(u, u + pick(rng, 2, 20), pick(rng, 1, 9));
        }
        for (int32_t t = 0; t < tails; ++t)
            for (int32_t k = 1; k < tail; ++k) add(path + t * tail + k, path + t * tail + k + 1, pick(rng, 1, 9));
        for (int32_t bits = 10; bits <= 29; ++bits) {
            const int32_t w = 1 << (bits - 10), u = pick(rng, 1, path / 2);
            add(u, u + 40 * w < path ? u + 40 * w : path, w);
            add(pick(rng, 1, path), path + 1 + (bits % tails) * tail, (1 << bits) + pick(rng, 0, 1000));
        }
        std::shuffle(g.edges.begin(), g.edges.end(), rng);
        const std::string text = plain_text(g);
        write_file(text);
        const outcome got = run_everywhere();
        if (process_rank != 0) {
            if (!judged(true, "", "")) break;
            continue;
        }
        const std::vector<int32_t> want = dijkstra(g.n, g.edges);
        std::string why;
        if (!got.completed) why = "did not complete: " + got.messages;
        for (size_t i = 0; why.empty() && i < want.size(); ++i)
            if (got.distances[i] != want[i])
                why = "node " + std::to_string(i) + ": " + std::to_string(got.distances[i]) + ", expected " +
                      std::to_string(want[i]);
        if (!judged(why.empty(), "heavy edges, seed " + std::to_string(seed) + ": " + why, "")) break;
    }
    restore(defaults);
}

// Process 0 owns nodes 0, 1 and 2; nodes 1 and 2 both offer to the last node, which the
// last process owns, in one pass: 6 first, then 11. The second offer is no lower than
// the first and is kept back, so process 0 sends exactly one request. Every block holds
// six records (a triangle in each middle one, two lines in the last), so the blocks stay
// equal.
void offers_kept_back() {
    const int32_t n = 3 * num_processes;
    auto line = [](int32_t u, int32_t v, int32_t w) {
        return "a " + std::to_string(u) + " " + std::to_string(v) + " " + std::to_string(w) + "\n";
    };
    std::string edges = line(1, 2, 1) + line(1, 3, 1) + line(2, n, 5) + line(3, n, 10);
    int32_t count = 4;
    for (int32_t first = 4; first + 3 <= n; first += 3, count += 3)
        edges += line(first, first + 1, 7) + line(first + 1, first + 2, 7) + line(first, first + 2, 7);
    edges += line(n - 2, n - 1, 100) + line(n - 2, n, 100);
    const std::string text = "p sp " + std::to_string(n) + " " + std::to_string(count + 2) + "\n" + edges;
    if (!matches_model(text, false, "two offers to one ghost")) return;
    const int64_t sent = distributed_report.solve_bytes_sent;
    judged(process_rank != 0 || sent == int64_t(sizeof(entry)),
           "process 0 sent " + std::to_string(sent) + " bytes of requests, one request expected", text);
}

// A file replaced while the processes open it: all of them must read the one file rank 0
// opened, or end with the read message. Rank 0 replaces it once it has read the head, before
// the others open the name (a rename of another file of the same size over it, or the
// other content written in place, also with a modification time only 5 ns after the
// first's); replaced after every process opened it, the name no
// longer matters and the run lists the file as opened.
std::string replacement;
bool replace_in_place = false;
// The file's modification time before the change (long ago: a rewrite now cannot share
// it), and whether a rewrite in place then takes it back but for 5 ns more, as a writer
// within the same second leaves it: only the nanoseconds tell the two files apart.
const struct timespec written_at = {1000000000, 123456789};
bool rewritten_5ns_later = false;
std::atomic<bool> replaced{false};
void replace_file() {
    if (replaced.exchange(true)) return;
    const std::string other = replace_in_place ? path : path + ".other";
    FILE *file = fopen(other.c_str(), replace_in_place ? "r+b" : "wb");
    if (file == nullptr) return;
    fwrite(replacement.data(), 1, replacement.size(), file);
    fclose(file);
    if (rewritten_5ns_later) {
        const struct timespec later[2] = {written_at, {written_at.tv_sec, written_at.tv_nsec + 5}};
        if (utimensat(AT_FDCWD, path.c_str(), later, 0) != 0) fprintf(real_stderr, "utimensat failed\n");
    }
    if (!replace_in_place && rename(other.c_str(), path.c_str()) != 0) fprintf(real_stderr, "rename failed\n");
}
void replace_before_read(int64_t) { replace_file(); }

void file_replaced_while_opened() {
    // Weights w and 109 - w, all of two digits: the two files have the same size.
    std::mt19937 rng(77);
    std::string text = "p sp 300 1200\n", other = text;
    for (int k = 0; k < 1200; ++k) {
        const int u = pick(rng, 1, 300), v = pick(rng, 1, 300), w = pick(rng, 10, 99);
        const std::string ends = "a " + std::to_string(u) + " " + std::to_string(v) + " ";
        text += ends + std::to_string(w) + "\n";
        other += ends + std::to_string(109 - w) + "\n";
    }
    const model_run want = run_model(text);
    const std::string failed = want.size_line + "Error: cannot read file " + path + ".\n";
    enum when { RENAMED_AFTER_HEAD, WRITTEN_AFTER_HEAD, WRITTEN_5NS_LATER, RENAMED_AFTER_OPENS };
    for (const when change : {RENAMED_AFTER_HEAD, WRITTEN_AFTER_HEAD, WRITTEN_5NS_LATER, RENAMED_AFTER_OPENS}) {
        for (int p = change == RENAMED_AFTER_OPENS ? 0 : num_processes - 1; p < num_processes; ++p) {
            for (int threads = 1; threads <= 2; ++threads) {
                write_file(text);
                if (process_rank == 0) {
                    const struct timespec long_ago[2] = {written_at, written_at};
                    utimensat(AT_FDCWD, path.c_str(), long_ago, 0);
                }
                MPI_Barrier(MPI_COMM_WORLD);
                settings.read_team_min_bytes = 1;
                omp_set_num_threads(threads);
                replacement = other;
                replace_in_place = change == WRITTEN_AFTER_HEAD || change == WRITTEN_5NS_LATER;
                rewritten_5ns_later = change == WRITTEN_5NS_LATER;
                replaced = false;
                if (change != RENAMED_AFTER_OPENS && process_rank == 0) test_hooks.head_read = replace_file;
                if (change == RENAMED_AFTER_OPENS && process_rank == p) test_hooks.before_read_at = replace_before_read;
                const outcome got = run_everywhere();
                test_hooks.head_read = nullptr;
                test_hooks.before_read_at = nullptr;
                int changed = replaced ? 1 : 0;
                MPI_Allreduce(MPI_IN_PLACE, &changed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
                const bool listed = change == RENAMED_AFTER_OPENS;
                const std::string expected = listed ? want.size_line : failed;
                const std::string label = std::string(change == RENAMED_AFTER_HEAD   ? "renamed after the head"
                                                      : change == WRITTEN_AFTER_HEAD ? "rewritten after the head"
                                                      : change == WRITTEN_5NS_LATER  ? "rewritten 5 ns later"
                                                                                     : "renamed after every open") +
                                          ", process " + std::to_string(p) + ", " + std::to_string(threads) +
                                          " threads: ";
                if (!judged(changed == 1, label + "the file was never replaced", "")) return;
                if (!judged(process_rank != 0 || (got.messages == expected && got.completed == listed &&
                                                  (!listed || got.distances == want.min_distance)),
                            label + got.messages + "\nexpected\n" + expected, ""))
                    return;
            }
        }
    }
    if (process_rank == 0) remove((path + ".other").c_str());
    restore(defaults);
}

// ------------------------------------------------------------------ blocks of equal records

// The cuts by the rule, from every node's records, for K processes: the equal blocks where
// their weights (a record as RECORD_WEIGHT nodes) stay within the tolerance, else the node
// where each K-th of the weight is reached, past it when that is nearer.
std::vector<int32_t> model_cuts(std::vector<int64_t> records, int k) {
    const int64_t n = int64_t(records.size());
    int64_t total = 0;
    for (int64_t &r : records) total += r = r * RECORD_WEIGHT + 1;
    std::vector<int32_t> cuts(size_t(k) + 1);
    for (int p = 0; p <= k; ++p) cuts[size_t(p)] = int32_t(n * p / k);
    int64_t most = 0;
    for (int p = 0; p < k; ++p) {
        int64_t block = 0;
        for (int32_t x = cuts[size_t(p)]; x < cuts[size_t(p) + 1]; ++x) block += records[size_t(x)];
        most = std::max(most, block);
    }
    if (double(most) <= BLOCK_RECORDS_TOLERANCE * double(total) / k) return cuts;
    int64_t sum = 0;
    int32_t x = 0;
    for (int p = 1; p < k; ++p) {
        const int64_t target = (total * p + k - 1) / k;
        while (x < n && sum + records[size_t(x)] < target) sum += records[size_t(x++)];
        const int32_t cut = x == n ? int32_t(n) : sum + records[size_t(x)] - target < target - sum ? x + 1 : x;
        cuts[size_t(p)] = std::max(cuts[size_t(p) - 1], cut);
    }
    return cuts;
}

// A graph whose line ends fall on low numbers (hubs there, as R-MAT files have them),
// uniformly, or on one centre (a star around the first node or the last); no self-loop
// and no pair twice in a row, so that every line's two ends are records.
random_graph shaped_graph(std::mt19937 &rng, int shape, int32_t n) {
    random_graph g{n, {}};
    auto end = [&] {
        const double u = std::uniform_real_distribution<double>(0, 1)(rng);
        return shape == 0 ? 1 + int32_t(double(n) * u * u * u * u) : pick(rng, 1, n);
    };
    const bool star = shape >= 2;
    for (int32_t v = 1; v <= n; ++v) {
        if (star && v != (shape == 2 ? 1 : n)) g.edges.push_back({shape == 2 ? 1 : n, v, pick(rng, 0, 99)});
        if (!star && v > 1 && pick(rng, 0, 1)) g.edges.push_back({pick(rng, 1, v - 1), v, pick(rng, 0, 99)});
    }
    for (int k = star ? 0 : 3 * n; k > 0; --k) {
        const file_edge e{end(), end(), pick(rng, 0, 99)};
        const file_edge &last = g.edges.back();
        if (e.u != e.v && !((e.u == last.u && e.v == last.v) || (e.u == last.v && e.v == last.u))) g.edges.push_back(e);
    }
    return g;
}

// Every process's table of cuts is the model's (so all agree and every node has exactly
// one owner), and its block is the table's; the listing is the model's.
void balanced_cuts() {
    const int k = num_processes;
    for (uint32_t seed = 1; seed <= 32; ++seed) {
        std::mt19937 rng(5000 + seed);
        const int shape = int(seed % 4);
        const random_graph g = shaped_graph(rng, shape, pick(rng, 2, 3000));
        settings.read_team_min_bytes = size_t(pick(rng, 1, 1 << 14));
        const bool compressed = seed % 4 == 3;
        const std::string label = "cuts, shape " + std::to_string(shape) + ", seed " + std::to_string(seed);
        if (!matches_model(plain_text(g), compressed, label)) return;
        std::vector<int64_t> records(size_t(g.n), 0);
        for (const file_edge &e : g.edges) ++records[size_t(e.u - 1)], ++records[size_t(e.v - 1)];
        const std::vector<int32_t> want = model_cuts(records, k);
        std::string why;
        for (int p = 0; p < k && why.empty() && process_rank == 0; ++p) {
            const int32_t *seen = last_outcome.tables.data() + size_t(p) * size_t(k + 3);
            if (!std::equal(want.begin(), want.end(), seen)) why = "process " + std::to_string(p) + "'s table differs";
            else if (seen[k + 1] != want[size_t(p)] || seen[k + 2] != want[size_t(p) + 1] - want[size_t(p)])
                why = "process " + std::to_string(p) + "'s block is not its table's";
        }
        if (!judged(why.empty(), label + ": " + why + " (model: " + joined(want) + ")", "")) return;
    }
    restore(defaults);
}

struct group {
    const char *name;
    void (*run)();
};
// A plain file changed in place by one process between its two scans, in its own range:
// a weight, an end, or a line made a comment. The second scan must notice before it fills
// a slot the first did not count, whether at a checkpoint or after its last: the read
// message on every process. Unchanged, the same settings list the file.
int change_scan_at = 0;
char change_scan_to = 0;
void change_between_scans() {
    FILE *file = fopen(path.c_str(), "r+b");
    fseek(file, change_scan_at, SEEK_SET);
    fputc(change_scan_to, file);
    fclose(file);
}

void file_changed_between_scans() {
    // Line k joins node 1 to node k + 1 (six digits) with weight 5: 13 bytes a line.
    std::string text = "p sp 800 799\n";
    for (int k = 2; k <= 800; ++k) {
        const std::string node = std::to_string(k);
        text += "a 1 " + std::string(6 - node.size(), '0') + node + " 5\n";
    }
    const model_run want = run_model(text);
    for (int kind = 0; kind < 4; ++kind) {
        for (int p = 0; p < num_processes; ++p) {
            for (int64_t checked : {int64_t(1), int64_t(7), int64_t(4096)}) {
                for (int threads = 1; threads <= 2; ++threads) {
                    write_file(text);
                    settings.read_team_min_bytes = 1;
                    settings.checked_lines = checked;
                    omp_set_num_threads(threads);
                    // The line starting at the middle of p's range or after it.
                    const size_t end = p + 1 < num_processes ? cut_of(text, p + 1) : text.size();
                    const size_t line = text.find('\n', (cut_of(text, p) + end) / 2) + 1;
                    // 0: unchanged; 1: the weight; 2: the far end's last digit; 3: a comment.
                    const size_t at[] = {line, line + 11, line + 9, line};
                    const char to[] = {text[line], '7', text[line + 9] == '9' ? '0' : char(text[line + 9] + 1), 'c'};
                    change_scan_at = int(at[kind]);
                    change_scan_to = to[kind];
                    if (process_rank == p) test_hooks.first_pass_checked = change_between_scans;
                    const outcome got = run_everywhere();
                    test_hooks.first_pass_checked = nullptr;
                    const std::string expected =
                        want.size_line + (kind == 0 ? "" : "Error: cannot read file " + path + ".\n");
                    const std::string label = "change " + std::to_string(kind) + " by process " + std::to_string(p) +
                                              ", checkpoints every " + std::to_string(checked) + " lines, " +
                                              std::to_string(threads) + " threads: ";
                    const bool good = got.messages == expected && got.completed == (kind == 0) &&
                                      (kind != 0 || got.distances == want.min_distance);
                    if (!judged(process_rank != 0 || good, label + got.messages + "\nexpected\n" + expected, "")) return;
                }
            }
        }
    }
    restore(defaults);
}

const group groups[] = {
    {"random_files", random_files},
    {"faults_at_cuts", faults_at_cuts},
    {"problem_line_apart", problem_line_apart},
    {"damaged_streams", damaged_streams},
    {"listing_across_chunks", listing_across_chunks},
    {"file_cut_between_reads", file_cut_between_reads},
    {"offers_kept_back", offers_kept_back},
    {"heavy_edges_past_the_sample", heavy_edges_past_the_sample},
    {"file_replaced_while_opened", file_replaced_while_opened},
    {"file_changed_between_scans", file_changed_between_scans},
    {"balanced_cuts", balanced_cuts},
};

}  // namespace

int main(int argc, char **argv) {
    start_processes(&argc, &argv);
    real_stderr = stderr;
    // Rank 0's path for every process: the emulated hosts each have a temporary folder of
    // their own, and every host sees the others'.
    char shared_path[4096] = {};
    if (process_rank == 0)
        snprintf(shared_path, sizeof shared_path, "%s/norvane_distributed_%d.gr",
                 getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp", int(getpid()));
    MPI_Bcast(shared_path, sizeof shared_path, MPI_CHAR, 0, MPI_COMM_WORLD);
    path = shared_path;
    // A name that matches no group fails the run rather than testing nothing.
    for (int a = 1; a < argc; ++a) {
        bool known = false;
        for (const group &g : groups) known = known || strcmp(argv[a], g.name) == 0;
        if (!known) {
            if (process_rank == 0) fprintf(real_stderr, "no group named %s\n", argv[a]);
            ++failures;
        }
    }
    for (const group &g : groups) {
        bool wanted = argc <= 1;
        for (int a = 1; a < argc; ++a) wanted = wanted || strcmp(argv[a], g.name) == 0;
        if (!wanted) continue;
        const double t0 = MPI_Wtime();
        const int before = failures;
        g.run();
        restore(defaults);
        if (process_rank == 0)
            fprintf(real_stderr, "%s %s on %d processes (%.1f s)\n", failures == before ? "ok:" : "FAILED:", g.name,
                    num_processes, MPI_Wtime() - t0);
    }
    if (process_rank == 0) remove(path.c_str());
    finish_processes();
    return failures == 0 ? 0 : 1;
}
