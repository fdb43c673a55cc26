// gzip streams read against what zlib yields from them: every cut of small streams
// through each inflater, large streams damaged or padded read from a file and from a
// pipe, and a member's magic bytes split across two reads of a pipe. Every read runs in a
// child process, since a failed one ends it.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "faithful_model.h"
#include "gzip_text.h"
#include "paths_support.h"
#include "settings.h"
#include "test_support.h"

namespace {

class gzip_stream : public tunables_restored {};

// What reading packed from path must write to standard error: the model's messages on
// the content, or for a damaged stream those of the complete lines before the damage,
// ending with the read message unless one of those lines offends first.
std::string gzip_expected(const std::string &packed, const std::string &path) {
    std::string content;
    if (zlib_content(packed, &content)) {
        const model_run want = run_model(content, false);
        return want.size_line + want.error_message;
    }
    const size_t last = content.rfind('\n');
    const model_run before = run_model(last == std::string::npos ? "" : content.substr(0, last + 1), false);
    const bool line_fault = !before.ok && before.error_message.rfind("Error in file format in line:", 0) == 0;
    return before.size_line + (line_fault ? before.error_message : "Error: cannot read file " + path + ".\n");
}

void write_bytes(const std::string &path, const std::string &bytes) {
    FILE *file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

// The pipe's reading end, at a number of its own so that its name is known beforehand.
constexpr int PIPE_FD = 97;
const std::string pipe_path = "/dev/fd/" + std::to_string(PIPE_FD);

// Reads bytes from pipe_path in a child; a writer process of its own hands them over in
// pieces ending at the given offsets, pausing after each, so that the reader meets those
// boundaries between two reads.
child_outcome read_pipe_in_child(const std::string &bytes, const std::vector<size_t> &pauses) {
    int data[2];
    if (pipe(data) != 0) return {"pipe failed", -1};
    dup2(data[0], PIPE_FD);
    close(data[0]);
    data[0] = PIPE_FD;
    fflush(nullptr);
    const pid_t writer = fork();
    if (writer == 0) {
        in_forked_child = true;
        close(data[0]);
        size_t at = 0;
        std::vector<size_t> ends = pauses;
        ends.push_back(bytes.size());
        for (size_t end : ends) {
            for (; at < end;) {
                const ssize_t put = write(data[1], bytes.data() + at, end - at);
                if (put <= 0) _exit(0);  // the reader stopped early
                at += size_t(put);
            }
            usleep(20000);
        }
        _exit(0);
    }
    close(data[1]);
    const child_outcome got = read_in_child(pipe_path);
    close(data[0]);
    waitpid(writer, nullptr, 0);
    return got;
}

// A road-like text of over a megabyte: far more content than the inflating thread
// keeps unseen, so that a damage falls after lines already handed out. Now and then an
// offending line, to compete with the damage for first place.
std::string large_text(std::mt19937 &rng) {
    const int n = 5000, m = 60000;
    std::string text = "c large\np sp " + std::to_string(n) + " " + std::to_string(m) + "\n";
    const int bad_at = pick(rng, 0, 2) == 0 ? pick(rng, 0, m - 1) : -1;
    for (int k = 0; k < m; ++k) {
        if (k == bad_at) text += "a 1 x 4\n";
        text += "a " + std::to_string(pick(rng, 1, n)) + " " + std::to_string(pick(rng, 1, n)) + " " +
                std::to_string(pick(rng, 0, 99999)) + "\n";
    }
    return text;
}

// The damages: cut short, a flipped bit anywhere, a bad checksum, and after the last
// member padding, garbage, a lone first magic byte, or a member of an unknown method.
std::string damaged(std::mt19937 &rng, std::string packed, int kind) {
    switch (kind) {
    case 0: packed.resize(size_t(pick(rng, 1, int(packed.size()) - 1))); break;
    case 1: packed[size_t(pick(rng, 10, int(packed.size()) - 9))] ^= char(1 << pick(rng, 0, 7)); break;
    case 2: packed[packed.size() - size_t(pick(rng, 5, 8))] ^= 0x20; break;
    case 3: packed += std::string(size_t(pick(rng, 1, 600)), '\0'); break;
    case 4: packed += "garbage\n"; break;
    case 5: packed += "\x1f"; break;
    default: packed += "\x1f\x8b\x09\x00garbage"; break;
    }
    return packed;
}

// A text of some thousand lines, its last one offending: at one cut of its stream at
// level 1 (with zlib 1.2), zlib yields its last newline and ISA-L, which reads ahead,
// stops a byte short; the line's message, not the read message, must come.
std::string lines_ending_in_fault() {
    std::mt19937 rng(5);
    const int m = 200 + int(rng() % 2000);
    std::string text = "p sp 9 " + std::to_string(m + 1) + "\n";
    for (int k = 0; k < m; ++k)
        text += "a " + std::to_string(1 + rng() % 9) + " " + std::to_string(1 + rng() % 9) + " " +
                std::to_string(rng() % 100) + "\n";
    return text + "a 1 2 x\n";
}

// Every cut of small streams (and the last bytes of a larger one), through each inflater:
// the lines zlib yields before the cut are the ones handled, to the byte (one byte more
// or fewer decides between the last line's message and the read message).
TEST_F(gzip_stream, every_cut_of_a_stream_handles_what_zlib_yields) {
#ifdef NORVANE_NO_FORK_WITH_OPENMP
    GTEST_SKIP() << "no fork under the thread sanitizer's OpenMP runtime";
#endif
    struct cut_case {
        std::string text;
        int level;
        size_t members_at;  // where a second member begins, or 0
        size_t tail;        // the cuts tried: the last tail bytes, or all when 0
    };
    const cut_case cases[] = {{"p sp 3 2\na 1 2 4\na 2 3 x\n", 9, 13, 0},
                              {"c x\np sp 3 2\na 1 2 4\na 2 3 5\n", 6, 15, 0},
                              {lines_ending_in_fault(), 1, 0, 40}};
    const std::string path = graph_file_path();
    int line_faults = 0, read_faults = 0;
    for (const cut_case &c : cases) {
        const std::string packed =
            gzip_members(c.text, c.members_at > 0 ? std::vector<size_t>{c.members_at} : std::vector<size_t>{}, c.level);
        // One byte is no magic: plain text.
        const size_t first = c.tail > 0 ? packed.size() - c.tail : 2;
        for (size_t cut = first; cut <= packed.size(); ++cut) {
            const std::string bytes = packed.substr(0, cut);
            write_bytes(path, bytes);
            const std::string want = gzip_expected(bytes, path);
            line_faults += want.find("format in line") != std::string::npos;
            read_faults += want.find("cannot read") != std::string::npos;
            for (const bool zlib : {false, true}) {
                settings.inflate_with_zlib = zlib;
                const child_outcome got = read_in_child(path);
                ASSERT_EQ(got.standard_error, want) << "cut at " << cut << (zlib ? ", zlib" : "") << "\n" << c.text.substr(0, 200);
                ASSERT_EQ(got.status, want.find("Error") == std::string::npos ? 0 : 255) << "cut at " << cut;
            }
        }
    }
    // A bit flipped in the first block's header at level 6 (with zlib 1.2): zlib stops at
    // once, ISA-L only after some lines of the block (as many bytes as it has room for,
    // when that is a hundred). They must stay unseen, in large steps or small.
    std::mt19937 rng(1);
    std::string text = "p sp 9 300\n";
    for (int k = 0; k < 300; ++k)
        text += "a " + std::to_string(1 + rng() % 9) + " " + std::to_string(1 + rng() % 9) + " " +
                std::to_string(rng() % 100) + "\n";
    std::string flipped = gzip_members(text, {}, 6);
    flipped[35] ^= 1 << 2;
    write_bytes(path, flipped);
    const std::string want = gzip_expected(flipped, path);
    for (const size_t step : {size_t(100), size_t(256) << 10}) {
        for (const bool zlib : {false, true}) {
            settings.inflate_with_zlib = zlib;
            settings.inflate_step_bytes = step;
            const child_outcome got = read_in_child(path);
            EXPECT_EQ(got.standard_error, want) << "flipped, step " << step << (zlib ? ", zlib" : "");
            EXPECT_EQ(got.status, 255);
        }
    }
    remove(path.c_str());
    EXPECT_GT(line_faults, 1);
    EXPECT_GT(read_faults, 10);
}

// Large streams, damaged or followed by bytes that are not a member, in one member or
// several: from a file through each inflater and from a pipe, the messages are those of
// the content zlib yields.
TEST_F(gzip_stream, damaged_and_padded_streams_handle_what_zlib_yields) {
#ifdef NORVANE_NO_FORK_WITH_OPENMP
    GTEST_SKIP() << "no fork under the thread sanitizer's OpenMP runtime";
#endif
    const std::string path = graph_file_path();
    int damaged_count = 0, whole_count = 0;
    for (uint32_t seed = 1; seed <= 21; ++seed) {
        std::mt19937 rng(seed);
        const std::string text = large_text(rng);
        std::vector<size_t> cuts;
        for (int k = pick(rng, 0, 2); k > 0; --k) cuts.push_back(size_t(pick(rng, 0, int(text.size()))));
        std::sort(cuts.begin(), cuts.end());
        const std::string bytes = damaged(rng, gzip_members(text, cuts, pick(rng, 1, 9)), int(seed % 7));
        write_bytes(path, bytes);
        const std::string want = gzip_expected(bytes, path);
        std::string content;
        (zlib_content(bytes, &content) ? whole_count : damaged_count)++;
        for (const bool zlib : {false, true}) {
            settings.inflate_with_zlib = zlib;
            settings.read_block_bytes = size_t(1) << pick(rng, 6, 20);
            const child_outcome got = read_in_child(path);
            ASSERT_EQ(got.standard_error, want) << "seed " << seed << (zlib ? ", zlib" : "");
            ASSERT_EQ(got.status, want.find("Error") == std::string::npos ? 0 : 255) << "seed " << seed;
        }
        const child_outcome piped = read_pipe_in_child(bytes, {});
        ASSERT_EQ(piped.standard_error, gzip_expected(bytes, pipe_path)) << "seed " << seed << ", pipe";
    }
    remove(path.c_str());
    EXPECT_GT(damaged_count, 6);
    EXPECT_GT(whole_count, 6);
}

// A pipe that hands over a member's first magic byte in one read and the second in the
// next, at the start and between members: every member is read, whatever the inflater.
TEST_F(gzip_stream, magic_split_across_reads_of_a_pipe_still_begins_a_member) {
#ifdef NORVANE_NO_FORK_WITH_OPENMP
    GTEST_SKIP() << "no fork under the thread sanitizer's OpenMP runtime";
#endif
    const std::string text = "p sp 3 2\na 1 2 4\na 2 3 x\n";
    const size_t second = text.find("a 2");
    const std::string first_member = gzip_members(text.substr(0, second), {}, 6);
    const std::string bytes = first_member + gzip_members(text.substr(second), {}, 6);
    const std::string want = "Graph contains 3 nodes and 2 edges\nError in file format in line:\na 2 3 x\n";
    const std::vector<size_t> pauses[] = {{1}, {first_member.size() + 1},
                                          {1, first_member.size(), first_member.size() + 1}};
    for (const std::vector<size_t> &at : pauses) {
        for (const bool zlib : {false, true}) {
            settings.inflate_with_zlib = zlib;
            const child_outcome got = read_pipe_in_child(bytes, at);
            EXPECT_EQ(got.standard_error, want) << "pauses after byte " << at.back() << (zlib ? ", zlib" : "");
            EXPECT_EQ(got.status, 255);
        }
    }
}

}  // namespace
