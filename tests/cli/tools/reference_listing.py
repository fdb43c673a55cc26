#!/usr/bin/env python3
# Independent reference for the listing of a well-formed graph file: a binary-heap
# nearest-first search written from the stated rules, not from the program's code.
# Used once to produce cases/example-rome99/stdout; kept so that file can be re-derived.
# Usage: reference_listing.py GRAPH > stdout   (prints "WARNING" to stderr if one is due)
import heapq
import sys

INF = 1 << 30


def main(path):
    n = None
    weight = {}  # unordered pair -> weight of the earliest line joining it
    adj = {}
    with open(path, "rb") as f:
        for raw in f:
            fields = raw.split()
            if not fields:
                continue
            if raw.startswith(b"p"):
                n = int(fields[2])
                adj = {i: [] for i in range(n)}
            elif raw.startswith(b"a"):
                u, v, w = int(fields[1]) - 1, int(fields[2]) - 1, int(fields[3])
                key = (min(u, v), max(u, v))
                if u != v and key not in weight:
                    weight[key] = w
                    adj[u].append(v)
                    adj[v].append(u)
    # Starting values: the direct weight from node 0, whatever its size.
    dist = [INF] * n
    dist[0] = 0
    for v in adj[0]:
        dist[v] = weight[(0, v)]
    settled = [False] * n
    settled[0] = True
    heap = [(d, v) for v, d in enumerate(dist) if v != 0 and d < INF]
    heapq.heapify(heap)
    count = 1
    while heap:
        d, u = heapq.heappop(heap)
        if settled[u] or d != dist[u]:
            continue
        settled[u] = True
        count += 1
        for v in adj[u]:
            w = weight[(min(u, v), max(u, v))]
            if settled[v] or w >= INF:
                continue
            if d + w < dist[v]:
                dist[v] = d + w
                if dist[v] < INF:
                    heapq.heappush(heap, (dist[v], v))
    if count < n:
        print("WARNING", file=sys.stderr)
    out = ["", "Minimal distance from node 0 to every other node:"]
    out += ["Node %d: \t%d" % (i, dist[i]) for i in range(1, n)]
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main(sys.argv[1])
