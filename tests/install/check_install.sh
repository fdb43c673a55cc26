#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a user gets: the program runs
# from its installed place, and its manual page renders without a single warning and
# carries every section a reader looks for, and the version CMake's project declares.
# PROGRAM is norvane (the default) or norvane-mpi, run here as one process without the
# launcher.
# Usage: check_install.sh BUILD_DIR REPO_ROOT VERSION [PROGRAM]
set -u
build=$1
repo=$2
version=$3
name=${4:-norvane}
prefix=$(mktemp -d "${TMPDIR:-/tmp}/norvane-install.XXXXXX") || exit 2
trap 'rm -rf "$prefix"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

cmake --install "$build" --prefix "$prefix" > /dev/null || { echo "FAIL: cmake --install"; exit 1; }
program=$prefix/bin/$name
page=$prefix/share/man/man1/$name.1
[[ -x $program ]] || fail "no installed program at bin/$name"
[[ -f $page ]] || fail "no manual page at share/man/man1/$name.1"
[[ $failed == 0 ]] || exit 1

expected=$'\nMinimal distance from node 0 to every other node:\nNode 1: \t4\nNode 2: \t9\n'
actual=$("$program" "$repo/examples/path3.gr" 2>/dev/null; printf x)
[[ ${actual%x} == "$expected" ]] || fail "installed program's listing differs"

warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "man reports: $warnings"
text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" ENVIRONMENT EXAMPLES "SEE ALSO"; do
    grep -q "^$section" <<< "$text" || fail "section $section missing from the rendered page"
done
grep -q "OMP_NUM_THREADS" <<< "$text" || fail "OMP_NUM_THREADS not described"
# The page's footer names the version, as the header's fourth field sets it.
footer=$(tail -n 1 <<< "$text")
[[ $footer == "norvane $version "* ]] || fail "manual footer '$footer' does not start with 'norvane $version'"
# The page gives the usage line as the program prints it.
usage=$("$program" 2>&1 >/dev/null)
grep -qF -- "$usage" <<< "$text" || fail "the page does not give the usage line \"$usage\""
if [[ $name == norvane-mpi ]]; then
    for option in --allow-run-as-root --oversubscribe; do
        grep -q -- "$option" <<< "$text" || fail "$option not explained"
    done
fi
[[ $failed == 0 ]] && echo "ok: installed $name and its manual page"
exit $failed
