#!/usr/bin/env python3
# Independent reference for the listing of a well-formed graph file: a binary-heap
# nearest-first search written from the stated rules, not from the program's code.
# It produced cases/example-rome99/stdout, checks the renumbering command of the README,
# and checks the benchmark programs (bench/selftest.sh).
#
# Usage: reference_listing.py [--source S] [--cap] GRAPH > stdout
#   GRAPH         plain or gzip-compressed DIMACS file
#   --source S    measure from the file's node S instead of node 1; the listing is laid out
#                 as for the file with node numbers 1 and S swapped: line "Node S-1" holds
#                 the distance to the file's node 1, every other line keeps its node
#   --cap         print every distance of 2^30 or more as 2^30 (the benchmark peer's rule)
# Prints "WARNING" to stderr when some node is left unsettled.
import argparse
import gzip
import heapq
import sys

INF = 1 << 30


def read_graph(path):
    """Node count and {unordered 0-based pair: weight of the earliest line joining it}."""
    with open(path, "rb") as f:
        compressed = f.read(2) == b"\x1f\x8b"
    n = None
    weight = {}
    with (gzip.open if compressed else open)(path, "rb") as f:
        for raw in f:
            fields = raw.split()
            if not fields:
                continue
            if raw.startswith(b"p"):
                n = int(fields[2])
            elif raw.startswith(b"a"):
                u, v, w = int(fields[1]) - 1, int(fields[2]) - 1, int(fields[3])
                key = (min(u, v), max(u, v))
                if u != v and key not in weight:
                    weight[key] = w
    return n, weight


def distances(n, weight, source):
    adj = [[] for _ in range(n)]
    for (u, v), w in weight.items():
        adj[u].append((v, w))
        adj[v].append((u, w))
    # Starting values: the direct weight from the source, whatever its size.
    dist = [INF] * n
    dist[source] = 0
    for v, w in adj[source]:
        dist[v] = w
    settled = [False] * n
    settled[source] = True
    heap = [(d, v) for v, d in enumerate(dist) if v != source and d < INF]
    heapq.heapify(heap)
    count = 1
    while heap:
        d, u = heapq.heappop(heap)
        if settled[u] or d != dist[u]:
            continue
        settled[u] = True
        count += 1
        # Weights of 2^30 or more never lead through a settled node.
        for v, w in adj[u]:
            if settled[v] or w >= INF:
                continue
            if d + w < dist[v]:
                dist[v] = d + w
                if dist[v] < INF:
                    heapq.heappush(heap, (dist[v], v))
    return dist, count == n


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", type=int, default=1)
    parser.add_argument("--cap", action="store_true")
    parser.add_argument("graph")
    args = parser.parse_args()
    n, weight = read_graph(args.graph)
    source = args.source - 1
    dist, complete = distances(n, weight, source)
    if not complete:
        print("WARNING", file=sys.stderr)
    out = ["", "Minimal distance from node 0 to every other node:"]
    for k in range(1, n):
        node = 0 if k == source else k
        d = min(dist[node], INF) if args.cap else dist[node]
        out.append("Node %d: \t%d" % (k, d))
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
