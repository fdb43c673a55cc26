// Node lines against printf's: runs whose node numbers gain a digit (up to the largest
// node there can be), distances of every length and sign, the bytes counted beforehand
// equal to the bytes written, and nothing written past the room a caller gives.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "listing_text.h"

namespace {

std::string printf_lines(int64_t first_node, const std::vector<int32_t> &distances) {
    std::string text;
    char line[64];
    for (size_t k = 0; k < distances.size(); ++k) {
        snprintf(line, sizeof line, "Node %lld: \t%d\n", static_cast<long long>(first_node + int64_t(k)),
                 distances[k]);
        text += line;
    }
    return text;
}

// Distances of every length either side of each power of ten, and both ends of the range.
std::vector<int32_t> distances_of_every_length(size_t count) {
    std::vector<int32_t> lengths = {0, INT_MAX, INT_MIN, INT_MIN + 1, 1073741824, -1};
    for (int64_t ten = 1; ten <= 1000000000; ten *= 10)
        for (int64_t d : {ten - 1, ten, ten + 1, -ten, -(ten - 1)}) lengths.push_back(int32_t(d));
    std::vector<int32_t> distances(count);
    for (size_t k = 0; k < count; ++k) distances[k] = lengths[(k * 7) % lengths.size()];
    return distances;
}

// Formats into exactly the room the contract asks for, with a guard after it.
std::string formatted(int64_t first_node, const std::vector<int32_t> &distances) {
    const size_t room = distances.size() * MAX_LINE_BYTES;
    std::vector<char> buffer(room + 64, '#');
    char *end = format_node_lines(buffer.data(), first_node, distances.data(), int64_t(distances.size()));
    for (size_t k = room; k < buffer.size(); ++k)
        if (buffer[k] != '#') ADD_FAILURE() << "written past the room at byte " << k - room;
    return std::string(buffer.data(), end);
}

}  // namespace

TEST(listing_text, runs_across_every_digit_boundary_match_printf) {
    const int64_t largest = INT_MAX - 1;  // the last node of the largest graph
    for (int64_t first : {int64_t(1), int64_t(7), int64_t(95), int64_t(990), int64_t(9999), int64_t(99990),
                          int64_t(999999), int64_t(9999995), int64_t(99999990), int64_t(999999950),
                          int64_t(1999999999), largest - 40}) {
        const size_t count = size_t(largest + 1 - first < 60 ? largest + 1 - first : 60);
        const std::vector<int32_t> distances = distances_of_every_length(count);
        const std::string want = printf_lines(first, distances);
        ASSERT_EQ(formatted(first, distances), want) << "first node " << first;
        ASSERT_EQ(node_lines_bytes(first, distances.data(), int64_t(count)), int64_t(want.size()))
            << "first node " << first;
    }
}

TEST(listing_text, longest_lines_fill_their_room_exactly) {
    // A 10-digit node and an 11-character distance: MAX_LINE_BYTES each, none to spare.
    const std::vector<int32_t> distances(50, INT_MIN);
    const std::string text = formatted(INT_MAX - 50, distances);
    EXPECT_EQ(text.size(), 50 * MAX_LINE_BYTES);
    EXPECT_EQ(text, printf_lines(INT_MAX - 50, distances));
}

TEST(listing_text, single_lines_and_empty_runs) {
    EXPECT_EQ(formatted(1, {}), "");
    EXPECT_EQ(node_lines_bytes(5, nullptr, 0), 0);
    for (int64_t node : {int64_t(1), int64_t(9), int64_t(10), int64_t(1000000000)}) {
        const std::vector<int32_t> one = {int32_t(node % 97) - 40};
        EXPECT_EQ(formatted(node, one), printf_lines(node, one));
        EXPECT_EQ(node_lines_bytes(node, one.data(), 1), int64_t(printf_lines(node, one).size()));
    }
}
