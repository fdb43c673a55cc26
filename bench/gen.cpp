// Benchmark graph generator: writes a DIMACS shortest-path graph ("p sp N M"
// plus "a U V W" lines, 1-based nodes) to stdout, fully determined by the
// family, its size arguments and the seed. Families: grid, road, random,
// complete, rmat (see usage()).
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

namespace {

// ---------------------------------------------------------------- randomness

uint64_t mix64(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

struct rng {
    uint64_t state;
};

uint64_t next_u64(rng& r)
{
    r.state += 0x9e3779b97f4a7c15ULL;
    uint64_t x = r.state;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Multiply-shift instead of modulo: no division in the hot loop, and the bias
// for bounds far below 2^32 is negligible for benchmark data.
uint32_t bounded(uint32_t x, uint32_t bound)
{
    return static_cast<uint32_t>((static_cast<uint64_t>(x) * bound) >> 32);
}

uint32_t random_weight(uint64_t bits)
{
    return 1 + bounded(static_cast<uint32_t>(bits >> 32), 1000);
}

// ------------------------------------------------------------------- output

struct out_buf {
    std::vector<char> data;
    size_t len;
    bool failed;
};

constexpr size_t out_chunk = size_t(16) << 20;
constexpr size_t max_line = 64;

void flush(out_buf& o)
{
    if (o.len != 0 && std::fwrite(o.data.data(), 1, o.len, stdout) != o.len)
        o.failed = true;
    o.len = 0;
}

void put_text(out_buf& o, const char* s)
{
    size_t n = std::strlen(s);
    std::memcpy(o.data.data() + o.len, s, n);
    o.len += n;
}

void put_uint(out_buf& o, uint64_t v)
{
    char tmp[24];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    char* dst = o.data.data() + o.len;
    for (int i = 0; i < n; ++i)
        dst[i] = tmp[n - 1 - i];
    o.len += static_cast<size_t>(n);
}

void put_header(out_buf& o, const char* comment, uint64_t n, uint64_t m)
{
    put_text(o, "c ");
    put_text(o, comment);
    put_text(o, "\np sp ");
    put_uint(o, n);
    o.data[o.len++] = ' ';
    put_uint(o, m);
    o.data[o.len++] = '\n';
}

// Node arguments are 0-based; the file is 1-based.
void put_arc(out_buf& o, uint64_t u, uint64_t v, uint32_t w)
{
    if (o.len + max_line > o.data.size())
        flush(o);
    char* p = o.data.data() + o.len;
    p[0] = 'a';
    p[1] = ' ';
    o.len += 2;
    put_uint(o, u + 1);
    o.data[o.len++] = ' ';
    put_uint(o, v + 1);
    o.data[o.len++] = ' ';
    put_uint(o, w);
    o.data[o.len++] = '\n';
}

out_buf make_out()
{
    out_buf o;
    o.data.resize(out_chunk);
    o.len = 0;
    o.failed = false;
    return o;
}

int finish(out_buf& o)
{
    flush(o);
    if (std::fflush(stdout) != 0)
        o.failed = true;
    if (o.failed) {
        std::fprintf(stderr, "gen: write error\n");
        return 1;
    }
    return 0;
}

// -------------------------------------------------------------- grid / road

// Undirected grid edges get dense ids: horizontal ones first (row-major),
// then vertical ones. The id alone fixes an edge's weight, so both arcs of an
// edge agree without storing anything.
struct grid_shape {
    uint64_t rows;
    uint64_t cols;
    uint64_t horizontal;  // rows * (cols - 1)
    uint64_t edges;
};

grid_shape make_grid_shape(uint64_t rows, uint64_t cols)
{
    grid_shape g;
    g.rows = rows;
    g.cols = cols;
    g.horizontal = rows * (cols - 1);
    g.edges = g.horizontal + (rows - 1) * cols;
    return g;
}

uint64_t h_edge(const grid_shape& g, uint64_t r, uint64_t c)
{
    return r * (g.cols - 1) + c;
}

uint64_t v_edge(const grid_shape& g, uint64_t r, uint64_t c)
{
    return g.horizontal + r * g.cols + c;
}

bool bit_test(const std::vector<uint64_t>& bits, uint64_t i)
{
    return (bits[i >> 6] >> (i & 63)) & 1;
}

void bit_set(std::vector<uint64_t>& bits, uint64_t i)
{
    bits[i >> 6] |= uint64_t(1) << (i & 63);
}

// Arcs come grouped by source node in ascending order, both directions of
// every kept edge, the way the published road files are laid out.
int write_grid(const grid_shape& g, const std::vector<uint64_t>* kept,
    uint64_t kept_count, uint64_t seed, const char* comment)
{
    out_buf o = make_out();
    put_header(o, comment, g.rows * g.cols, 2 * kept_count);
    uint64_t weight_key = mix64(seed ^ 0x5eedf00dULL);
    auto emit = [&](uint64_t from, uint64_t to, uint64_t edge) {
        if (kept != nullptr && !bit_test(*kept, edge))
            return;
        put_arc(o, from, to, random_weight(mix64(weight_key + edge)));
    };
    for (uint64_t r = 0; r < g.rows; ++r) {
        for (uint64_t c = 0; c < g.cols; ++c) {
            uint64_t node = r * g.cols + c;
            if (r > 0)
                emit(node, node - g.cols, v_edge(g, r - 1, c));
            if (c > 0)
                emit(node, node - 1, h_edge(g, r, c - 1));
            if (c + 1 < g.cols)
                emit(node, node + 1, h_edge(g, r, c));
            if (r + 1 < g.rows)
                emit(node, node + g.cols, v_edge(g, r, c));
        }
    }
    return finish(o);
}

uint32_t find_root(std::vector<uint32_t>& parent, uint32_t x)
{
    while (parent[x] != x) {
        parent[x] = parent[parent[x]];
        x = parent[x];
    }
    return x;
}

bool unite(std::vector<uint32_t>& parent, uint32_t a, uint32_t b)
{
    a = find_root(parent, a);
    b = find_root(parent, b);
    if (a == b)
        return false;
    // Randomised linking by index parity keeps trees shallow enough with path
    // halving, without a size array for 24M nodes.
    if ((a ^ b) & 1)
        parent[a] = b;
    else
        parent[b] = a;
    return true;
}

void edge_ends(const grid_shape& g, uint64_t e, uint32_t& a, uint32_t& b)
{
    if (e < g.horizontal) {
        uint64_t r = e / (g.cols - 1), c = e % (g.cols - 1);
        a = static_cast<uint32_t>(r * g.cols + c);
        b = a + 1;
    } else {
        uint64_t k = e - g.horizontal;
        a = static_cast<uint32_t>(k);
        b = static_cast<uint32_t>(k + g.cols);
    }
}

// Road-like: a square grid thinned by bond percolation to about 1.2
// undirected edges per node (the published USA network has ~2.4 arcs per
// node), then reconnected with just enough dropped edges that every node is
// reachable, as on a real road map.
int write_road(uint64_t approx_nodes, uint64_t seed)
{
    uint64_t side = static_cast<uint64_t>(std::ceil(std::sqrt(double(approx_nodes))));
    if (side < 2)
        side = 2;
    uint64_t nodes = side * side;
    if (nodes >= (uint64_t(1) << 31)) {
        std::fprintf(stderr, "gen: road graph too large\n");
        return 2;
    }
    grid_shape g = make_grid_shape(side, side);
    // Tuned so percolated plus reconnecting edges land at the USA network's
    // 2.44 arcs per node (measured: 1.18 edges per node kept here, ~0.04
    // added back by the reconnection pass).
    const double keep_p = 0.59;
    uint32_t keep_threshold = static_cast<uint32_t>(keep_p * 4294967296.0);

    std::vector<uint64_t> kept((g.edges + 63) / 64, 0);
    std::vector<uint32_t> parent(nodes);
    std::iota(parent.begin(), parent.end(), 0u);
    uint64_t keep_key = mix64(seed ^ 0x70adULL);
    uint64_t kept_count = 0;
    for (uint64_t e = 0; e < g.edges; ++e) {
        if (static_cast<uint32_t>(mix64(keep_key + e)) < keep_threshold) {
            bit_set(kept, e);
            ++kept_count;
            uint32_t a, b;
            edge_ends(g, e, a, b);
            unite(parent, a, b);
        }
    }
    // Visit dropped edges in a scattered order (a stride coprime to the edge
    // count) so reconnections are not all horizontal edges in the top rows.
    uint64_t stride = 2654435761ULL % g.edges;
    while (stride == 0 || std::gcd(stride, g.edges) != 1)
        ++stride;
    uint64_t e = mix64(seed) % g.edges;
    for (uint64_t i = 0; i < g.edges; ++i) {
        if (!bit_test(kept, e)) {
            uint32_t a, b;
            edge_ends(g, e, a, b);
            if (unite(parent, a, b)) {
                bit_set(kept, e);
                ++kept_count;
            }
        }
        e += stride;
        if (e >= g.edges)
            e -= g.edges;
    }
    parent.clear();
    parent.shrink_to_fit();
    return write_grid(g, &kept, kept_count, seed, "road-like thinned grid");
}

// --------------------------------------------------------- other families

int write_random(uint64_t n, uint64_t m, uint64_t seed)
{
    out_buf o = make_out();
    put_header(o, "uniform random edges", n, m);
    rng r{mix64(seed ^ 0x4a4dULL)};
    for (uint64_t i = 0; i < m; ++i) {
        uint64_t x = next_u64(r);
        uint32_t u = bounded(static_cast<uint32_t>(x), static_cast<uint32_t>(n));
        uint32_t v = bounded(static_cast<uint32_t>(x >> 32), static_cast<uint32_t>(n));
        put_arc(o, u, v, random_weight(next_u64(r)));
    }
    return finish(o);
}

int write_complete(uint64_t n, uint64_t seed)
{
    out_buf o = make_out();
    put_header(o, "complete graph, each unordered pair once", n, n * (n - 1) / 2);
    rng r{mix64(seed ^ 0xc0deULL)};
    for (uint64_t i = 0; i < n; ++i)
        for (uint64_t j = i + 1; j < n; ++j)
            put_arc(o, i, j, random_weight(next_u64(r)));
    return finish(o);
}

// Left unshuffled on purpose: node 1 is then the heaviest hub, which is the
// case where a search from node 1 touches most edges early.
int write_rmat(uint32_t scale, uint64_t edge_factor, uint64_t seed)
{
    uint64_t n = uint64_t(1) << scale;
    uint64_t m = edge_factor << scale;
    out_buf o = make_out();
    put_header(o, "R-MAT a=.57 b=.19 c=.19 d=.05, unshuffled", n, m);
    const uint32_t t_a = static_cast<uint32_t>(0.57 * 4294967296.0);
    const uint32_t t_ab = static_cast<uint32_t>(0.76 * 4294967296.0);
    const uint32_t t_abc = static_cast<uint32_t>(0.95 * 4294967296.0);
    rng r{mix64(seed ^ 0x2a7ULL)};
    for (uint64_t i = 0; i < m; ++i) {
        uint64_t u = 0, v = 0;
        uint64_t bits = 0;
        for (uint32_t level = 0; level < scale; ++level) {
            if ((level & 1) == 0)
                bits = next_u64(r);
            uint32_t x = static_cast<uint32_t>(bits);
            bits >>= 32;
            uint64_t bit = uint64_t(1) << (scale - 1 - level);
            if (x < t_a) {
            } else if (x < t_ab) {
                v |= bit;
            } else if (x < t_abc) {
                u |= bit;
            } else {
                u |= bit;
                v |= bit;
            }
        }
        put_arc(o, u, v, random_weight(next_u64(r)));
    }
    return finish(o);
}

// --------------------------------------------------------------------- main

void usage()
{
    std::fprintf(stderr,
        "usage: gen FAMILY ARGS... SEED   (DIMACS text on stdout)\n"
        "  gen grid ROWS COLS SEED     grid, both arcs per edge, weights 1..1000\n"
        "  gen road APPROX_NODES SEED  thinned, connected square grid, ~2.4 arcs/node\n"
        "  gen random N M SEED         M uniform random edge lines\n"
        "  gen complete N SEED         every unordered pair once\n"
        "  gen rmat SCALE EF SEED      R-MAT, 2^SCALE nodes, EF*2^SCALE edge lines\n");
}

bool parse_u64(const char* s, uint64_t& out)
{
    if (s == nullptr || *s == '\0')
        return false;
    uint64_t v = 0;
    for (; *s != '\0'; ++s) {
        if (*s < '0' || *s > '9')
            return false;
        if (v > (UINT64_MAX - 9) / 10)
            return false;
        v = v * 10 + static_cast<uint64_t>(*s - '0');
    }
    out = v;
    return true;
}

bool parse_args(int argc, char** argv, int count, uint64_t* out)
{
    if (argc != 2 + count)
        return false;
    for (int i = 0; i < count; ++i)
        if (!parse_u64(argv[2 + i], out[i]))
            return false;
    return true;
}

constexpr uint64_t max_nodes = (uint64_t(1) << 31) - 1;

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        usage();
        return 2;
    }
    const char* family = argv[1];
    uint64_t a[3];
    if (std::strcmp(family, "grid") == 0 && parse_args(argc, argv, 3, a)) {
        if (a[0] < 1 || a[1] < 1 || a[0] * a[1] > max_nodes) {
            usage();
            return 2;
        }
        grid_shape g = make_grid_shape(a[0], a[1]);
        return write_grid(g, nullptr, g.edges, a[2], "grid, both arcs of every edge");
    }
    if (std::strcmp(family, "road") == 0 && parse_args(argc, argv, 2, a))
        return write_road(a[0], a[1]);
    if (std::strcmp(family, "random") == 0 && parse_args(argc, argv, 3, a)) {
        if (a[0] < 1 || a[0] > max_nodes) {
            usage();
            return 2;
        }
        return write_random(a[0], a[1], a[2]);
    }
    if (std::strcmp(family, "complete") == 0 && parse_args(argc, argv, 2, a)) {
        if (a[0] < 1 || a[0] > 100000) {
            usage();
            return 2;
        }
        return write_complete(a[0], a[1]);
    }
    if (std::strcmp(family, "rmat") == 0 && parse_args(argc, argv, 3, a)) {
        if (a[0] < 1 || a[0] > 30 || a[1] < 1 || a[1] > 1024) {
            usage();
            return 2;
        }
        return write_rmat(static_cast<uint32_t>(a[0]), a[1], a[2]);
    }
    usage();
    return 2;
}
