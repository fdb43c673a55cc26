// libFuzzer target: arbitrary bytes taken as a graph file and run through the reader, the
// store, both solvers and the listing, all in memory, each result held against the faithful
// model of the unit tests. Any difference aborts, so that libFuzzer keeps the input. Inputs
// whose first byte is odd are fed a second time as gzip, which must change nothing.
#include <fcntl.h>
#include <omp.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "builder.h"
#include "failure.h"
#include "faithful_model.h"
#include "gzip_text.h"
#include "graph.h"
#include "input.h"
#include "listing.h"
#include "bucket_solver.h"
#include "queue_solver.h"
#include "reader.h"
#include "rows.h"
#include "scan_solver.h"
#include "settings.h"
#include "solver.h"

namespace {

// Every node costs each run some microseconds (scan rounds, listing, model, checks), and
// the fuzzer, finding new loop counts there, would fill its corpus with large graphs that
// reach no new branch. The bounds keep a run within milliseconds.
constexpr int64_t MAX_NODES = 5000;
constexpr int64_t MAX_EDGES = 100000;
constexpr int64_t MAX_NODE_LINE_WORK = 1000000;  // nodes times edge lines: the model's rounds
// Inflated content stays inside one whole read block, so a damaged stream fails before any
// line is handled (the expectation for it relies on that), and the model stays quick.
constexpr size_t MAX_CONTENT_BYTES = size_t(64) << 10;
// The whole block of a run: the program's default would map and unmap 8 MiB (and its
// shadow) per run, the fuzzer's main cost.
constexpr size_t WHOLE_BLOCK_BYTES = size_t(96) << 10;

const char EARLY_END_WARNING[] = "Warning: Search ended early, the graph might not be connected.\n";

int input_fd = -1;
int output_fd = -1;
int real_stdout = -1;
char input_path[64];
jmp_buf back;

// Standard error is swapped at the stdio level, not at fd 2, so that a sanitizer report
// or libFuzzer's own crash notice is never swallowed by the capture.
FILE *real_stderr = nullptr;
FILE *capture = nullptr;
char *captured = nullptr;
size_t captured_length = 0;

// What a run must show: standard error from the start to the release of the graph (the
// size line, then the failure or the early-end warning of compute_distances) and, when
// the reading succeeds, the model's store, distances and listing.
struct expectation {
    bool ok = false;
    std::string messages;
    model_run model;
};

// How a run reads its file: the block size and the thread team vary, the results must not.
struct read_setup {
    size_t block_bytes;  // a small one also puts the held lines in blocks of a few lines
    int team;  // threads that scan the runs of lines; 1 for the calling thread alone
    bool small_buckets;  // the bucket solver takes width 1 and its least ring, so entries overflow
    bool keep_lines;     // a plain file's first scan keeps its lines instead of a second scan;
                         // a gzip file is inflated whole (with libdeflate) instead of streamed
};

[[noreturn]] void jump_back() { longjmp(back, 1); }

// Calls step; false when it ended the run through end_with_failure instead of returning.
bool returns(void (*step)()) {
    if (setjmp(back) != 0) return false;
    step();
    return true;
}

void start_capture() {
    captured = nullptr;
    captured_length = 0;
    capture = open_memstream(&captured, &captured_length);
    if (capture == nullptr) abort();
    real_stderr = stderr;
    stderr = capture;
}

std::string end_capture() {
    if (capture == nullptr) return std::string();
    stderr = real_stderr;
    fclose(capture);
    capture = nullptr;
    std::string bytes(captured, captured_length);
    free(captured);
    captured = nullptr;
    return bytes;
}

// The bytes with everything unprintable escaped, for the report of a difference.
std::string visible(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else {
            char code[8];
            snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        }
    }
    return out;
}

[[noreturn]] void differ(const std::string &what, const std::string &expected,
                         const std::string &got) {
    end_capture();
    dup2(real_stdout, STDOUT_FILENO);
    fprintf(stderr, "fuzz_graph: %s differs from the model\n  expected: %s\n  got:      %s\n",
            what.c_str(), visible(expected).c_str(), visible(got).c_str());
    abort();
}

void put_file(int fd, const std::string &bytes) {
    if (ftruncate(fd, 0) != 0) abort();
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t wrote = pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(done));
        if (wrote <= 0) abort();
        done += size_t(wrote);
    }
}

std::string get_file(int fd) {
    std::string bytes(size_t(lseek(fd, 0, SEEK_END)), '\0');
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t got = pread(fd, &bytes[done], bytes.size() - done, off_t(done));
        if (got <= 0) abort();
        done += size_t(got);
    }
    return bytes;
}

// Whether the first problem line announces more than the fuzzer should build. Counts the
// program rejects anyway (outside 32 bits) are cheap and stay in.
bool too_large(const std::string &content) {
    int64_t n = 0, m = 0, edge_lines = 0;
    bool have_counts = false;
    for (size_t start = 0; start < content.size();) {
        const size_t newline = content.find('\n', start);
        const size_t stop = newline == std::string::npos ? content.size() : newline + 1;
        if (content[start] == 'a') {
            ++edge_lines;
        } else if (content[start] == 'p' && !have_counts && stop - start > 5) {
            const std::string counts = content.substr(start + 5, stop - start - 5);
            char *end = nullptr;
            n = strtoll(counts.c_str(), &end, 10);
            m = strtoll(end, nullptr, 10);
            have_counts = true;
        }
        start = stop;
    }
    const auto big = [](int64_t count, int64_t bound) {
        return count > bound && count <= INT32_MAX;
    };
    return big(n, MAX_NODES) || big(m, MAX_EDGES) ||
           (n > 0 && n <= MAX_NODES && n * (edge_lines + 1) > MAX_NODE_LINE_WORK);
}

expectation expect_content(const std::string &content) {
    expectation want;
    want.model = run_model(content);
    want.ok = want.model.ok;
    want.messages = want.model.size_line;
    if (!want.ok) want.messages += want.model.error_message;
    if (want.ok && want.model.warned) want.messages += EARLY_END_WARNING;
    return want;
}

std::string row_text(const std::pair<int32_t, int32_t> *first, size_t count) {
    std::string text;
    for (size_t k = 0; k < count; ++k)
        text += " " + std::to_string(first[k].first) + ":" + std::to_string(first[k].second);
    return text;
}

// The store must hold, row by row, what the model's lists answer.
void check_store(const model_run &model) {
    const int32_t n = int32_t(model.graph.heads.size());
    if (num_nodes != n) differ("node count", std::to_string(n), std::to_string(num_nodes));
    if (nodes[0] != 0 || nodes[n] != edge_counter)
        differ("row bounds", "0.." + std::to_string(edge_counter),
               std::to_string(nodes[0]) + ".." + std::to_string(nodes[n]));
    std::vector<std::pair<int32_t, int32_t>> got;
    for (int32_t u = 0; u < n; ++u) {
        const std::vector<std::pair<int32_t, int32_t>> expected = model_row(model, u);
        got.clear();
        with_rows([&](const auto &rows) {
            for (uint32_t k = rows.offsets[u]; k < rows.offsets[u + 1]; ++k)
                got.push_back({rows.target(k, u), rows.weight(k)});
        });
        std::sort(got.begin(), got.end());  // rows keep file order, the model's are sorted
        if (got != expected)
            differ("row of node " + std::to_string(u), row_text(expected.data(), expected.size()),
                   row_text(got.data(), got.size()));
    }
    // The lookup, against the model's own: every pair on small graphs, else each node with
    // itself, its neighbours and the next node.
    const auto check_lookup = [&model](int32_t u, int32_t v) {
        const int32_t expected = model.graph.lookup(u, v);
        const int32_t got = get_distance(u, v);
        if (got != expected)
            differ("get_distance(" + std::to_string(u) + ", " + std::to_string(v) + ")",
                   std::to_string(expected), std::to_string(got));
    };
    for (int32_t u = 0; u < n; ++u) {
        if (n <= 64) {
            for (int32_t v = 0; v < n; ++v) check_lookup(u, v);
            continue;
        }
        check_lookup(u, u);
        check_lookup(u, (u + 1) % n);
        with_rows([&](const auto &rows) {
            for (uint32_t k = rows.offsets[u]; k < rows.offsets[u + 1]; ++k) check_lookup(u, rows.target(k, u));
        });
    }
}

// A node is settled exactly when its final distance is below the bound: the rounds settle
// only such nodes and stop once every other is at or above it.
void check_distances(const model_run &model, bool complete, const char *solver) {
    const std::string name = solver;
    if (complete != !model.warned)
        differ(name + " completeness", model.warned ? "early end" : "complete",
               complete ? "complete" : "early end");
    for (int32_t i = 0; i < num_nodes; ++i) {
        if (min_distance[i] != model.min_distance[size_t(i)])
            differ(name + " distance of node " + std::to_string(i),
                   std::to_string(model.min_distance[size_t(i)]), std::to_string(min_distance[i]));
        const int settled = min_distance[i] < INFINITE_DISTANCE ? 1 : 0;
        if (tree[i] != settled)
            differ(name + " settled flag of node " + std::to_string(i), std::to_string(settled),
                   std::to_string(int(tree[i])));
    }
}

// Junk in the solvers' arrays, so that a solver which skips a node cannot pass on what the
// one before it left there.
void spoil_results() {
    memset(min_distance, 0xa5, size_t(num_nodes) * sizeof *min_distance);
    memset(tree, 0xa5, size_t(num_nodes));
}

bool complete = false;
bool written = false;

void run_once(const std::string &file, const expectation &want, const read_setup &setup) {
    put_file(input_fd, file);
    settings.read_block_bytes = setup.block_bytes;
    settings.read_team_min_bytes = setup.team > 1 ? 1 : default_settings.read_team_min_bytes;
    settings.build_team_min_work = setup.team > 1 ? 1 : default_settings.build_team_min_work;
    settings.keep_lines_max_bytes = setup.keep_lines ? INT64_MAX : 0;
    settings.inflate_whole_max_bytes = setup.keep_lines ? INT64_MAX : 0;
    settings.line_block_bytes = setup.block_bytes < WHOLE_BLOCK_BYTES ? 8 * (2 + setup.block_bytes % 4) : default_settings.line_block_bytes;
    omp_set_num_threads(setup.team);
    start_capture();
    const bool read_ok = returns([] { read_graph(input_path); });
    omp_set_num_threads(1);
    settings = default_settings;
    if (!read_ok) {
        release_graph();
        const std::string messages = end_capture();
        if (want.ok) differ("reading (the model accepts the file)", want.messages, messages);
        if (messages != want.messages) differ("failure message", want.messages, messages);
        return;
    }
    if (!want.ok) differ("reading (the model rejects the file)", want.messages, end_capture());

    check_store(want.model);
    spoil_results();
    if (!returns([] { complete = solve_with_scan(); })) differ("scan solver", "a result", "a failure");
    check_distances(want.model, complete, "scan");
    if (!negative_weights) {
        spoil_results();
        settings.bucket_ring_max = setup.small_buckets ? 64 : default_settings.bucket_ring_max;
        const bool bucketed = setup.small_buckets ? returns([] { complete = solve_with_buckets(1, 1); })
                                                  : returns([] { complete = solve_with_buckets(1); });
        settings.bucket_ring_max = default_settings.bucket_ring_max;
        if (!bucketed) differ("bucket solver", "a result", "a failure");
        check_distances(want.model, complete, setup.small_buckets ? "buckets (width 1, overflow)" : "buckets");
    }
    spoil_results();
    if (!returns([] { complete = solve_with_queue(); }))
        differ("queue solver", "a result", "a failure");
    check_distances(want.model, complete, "queue");
    // The driver's choice between the two, and its warning on standard error.
    spoil_results();
    if (!returns([] { compute_distances(); })) differ("compute_distances", "a result", "a failure");
    // It returns no completeness: its warning is held against the model's in the messages.
    check_distances(want.model, !want.model.warned, "compute_distances");

    if (ftruncate(output_fd, 0) != 0 || lseek(output_fd, 0, SEEK_SET) != 0) abort();
    dup2(output_fd, STDOUT_FILENO);
    const bool listed = returns([] { written = write_listing(); });
    dup2(real_stdout, STDOUT_FILENO);
    const std::string listing = get_file(output_fd);
    const std::string expected = model_listing(want.model);
    if (!listed || !written) differ("listing (not written)", expected, listing);
    if (listing != expected) differ("listing", expected, listing);

    release_graph();
    const std::string messages = end_capture();
    if (messages != want.messages) differ("standard error", want.messages, messages);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Team members that spin between the many small regions would take a shared core.
    setenv("KMP_BLOCKTIME", "0", 0);
    omp_set_num_threads(1);
    input_fd = memfd_create("norvane-fuzz-input", 0);
    output_fd = memfd_create("norvane-fuzz-output", 0);
    real_stdout = dup(STDOUT_FILENO);
    if (input_fd < 0 || output_fd < 0 || real_stdout < 0) abort();
    snprintf(input_path, sizeof input_path, "/proc/self/fd/%d", input_fd);
    failure_handler = jump_back;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    // The program inflates a file that starts with the gzip magic; so does the oracle here.
    const bool magic = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
    std::string content = bytes;
    const bool damaged = magic && !zlib_content(bytes, &content, MAX_CONTENT_BYTES);
    if (content.size() > MAX_CONTENT_BYTES) return 0;
    const bool as_gzip = size > 0 && (data[0] & 1) != 0;
    if (too_large(content) || (as_gzip && too_large(bytes))) return 0;

    expectation want;
    if (damaged) {
        // The complete lines before the damage are handled first, in file order.
        const size_t last = content.rfind('\n');
        const model_run before = run_model(last == std::string::npos ? "" : content.substr(0, last + 1), false);
        // A fault of a line before the damage comes first: an offending line or a negative count.
        const bool line_fault = !before.ok && (before.error_message.rfind("Error in file format in line:", 0) == 0 ||
                                               before.error_message == "Error: cannot allocate memory.\n");
        want.messages = before.size_line + (line_fault ? before.error_message
                                                        : "Error: cannot read file " + std::string(input_path) + ".\n");
    } else {
        want = expect_content(content);
    }
    // Setups drawn from the size, so that an input always replays the same way.
    const size_t small_block = 1 + size % 16;
    const size_t plain_block = size % 2 == 0 ? WHOLE_BLOCK_BYTES : small_block;
    run_once(bytes, want, {plain_block, size / 2 % 2 ? 3 : 1, size / 16 % 2 != 0, size / 4 % 2 != 0});
    if (as_gzip) {
        const expectation same = magic ? expect_content(bytes) : want;
        const std::string packed = gzip_members(bytes, size % 3 == 0 ? std::vector<size_t>{size / 2} : std::vector<size_t>{}, 1 + int(size % 9));
        const size_t packed_block = size / 4 % 2 ? small_block : WHOLE_BLOCK_BYTES;
        run_once(packed, same, {packed_block, size / 8 % 2 ? 3 : 1, size / 16 % 2 == 0, size / 4 % 2 == 0});
    }
    return 0;
}
