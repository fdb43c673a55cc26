# The opening every fault script shares, sourced after it has set check: a work folder of
# its own (removed at exit), the three-node path graph with its listing and stderr, and
# fail. A script that removes more at exit sets its own trap, which removes work too.
work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-fault.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2

path3_listing=$'\nMinimal distance from node 0 to every other node:\nNode 1: \t4\nNode 2: \t9\n'
printf 'p sp 3 2\na 1 2 4\na 2 3 5\n' > path3.gr
ok_stderr=$'Graph contains 3 nodes and 2 edges\nComputation time: T\n'

fail() { echo "FAIL ($check): $*"; exit 1; }
