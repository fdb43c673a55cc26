# Slow, obviously-correct reference used only by selftest.sh to check the
# benchmark peer: reads a DIMACS file, keeps the earliest line of each
# unordered pair, drops self-loops, runs a heapq Dijkstra from node 0 and
# prints the same listing as norvane.
import heapq
import sys

CAP = 1 << 30


def main(path):
    n = 0
    weight_of = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if not parts:
                continue
            if parts[0] == "p":
                n = int(parts[2])
            elif parts[0] == "a":
                u, v, w = int(parts[1]) - 1, int(parts[2]) - 1, int(parts[3])
                if u == v:
                    continue
                key = (min(u, v), max(u, v))
                if key not in weight_of:
                    weight_of[key] = w
    adj = [[] for _ in range(n)]
    for (u, v), w in weight_of.items():
        adj[u].append((v, w))
        adj[v].append((u, w))
    dist = [None] * n
    if n > 0:
        heap = [(0, 0)]
        while heap:
            d, u = heapq.heappop(heap)
            if dist[u] is not None:
                continue
            dist[u] = d
            for v, w in adj[u]:
                if dist[v] is None:
                    heapq.heappush(heap, (d + w, v))
    out = ["\nMinimal distance from node 0 to every other node:\n"]
    for i in range(1, n):
        d = CAP if dist[i] is None else min(dist[i], CAP)
        out.append("Node %d: \t%d\n" % (i, d))
    sys.stdout.write("".join(out))


if __name__ == "__main__":
    main(sys.argv[1])
