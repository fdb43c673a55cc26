# Memory control groups for tests and benchmarks, sourced by bash: where this process's
# own memory group lies (v1 or v2), so that children of it can be made; a parent's limit
# binds them anyway.

# Sets memory_mount (where the hierarchy is mounted), memory_own (this process's group
# under it, empty for the root), memory_limit_file and memory_version (v1 or v2): the v1
# memory hierarchy where one is mounted, else the unified one; only that one when $1 is
# v1 or v2. Returns 1 with the reason in memory_why where no memory controller shows.
find_memory_group() {
    local want=${1:-}
    memory_own= memory_mount=
    if [[ $want != v2 ]]; then
        memory_version=v1 memory_limit_file=memory.limit_in_bytes
        memory_own=$(awk -F: '$2 ~ /(^|,)memory(,|$)/ { print $3 }' /proc/self/cgroup)
        memory_mount=$(awk '{ for (i = 7; i <= NF && $i != "-"; i++) {}
                              if ($(i + 1) == "cgroup" && $(i + 3) ~ /(^|,)memory(,|$)/ && $4 == "/") { print $5; exit } }' \
                           /proc/self/mountinfo)
    fi
    if [[ $want != v1 && ( -z $memory_own || -z $memory_mount ) ]]; then
        memory_version=v2 memory_limit_file=memory.max
        memory_own=$(awk -F: '$1 == "0" && $2 == "" { print $3 }' /proc/self/cgroup)
        memory_mount=$(awk '{ for (i = 7; i <= NF && $i != "-"; i++) {}
                              if ($(i + 1) == "cgroup2" && $4 == "/") { print $5; exit } }' /proc/self/mountinfo)
        if [[ -n $memory_mount ]] && ! grep -qw memory "$memory_mount$memory_own/cgroup.controllers" 2> /dev/null; then
            memory_why="the unified (v2) hierarchy at $memory_mount offers its group $memory_own no memory"
            memory_why+=" controller (only: $(cat "$memory_mount$memory_own/cgroup.controllers" 2> /dev/null))"
            [[ -n $want ]] && return 1
        fi
    fi
    if [[ -z $memory_own || -z $memory_mount ]]; then
        memory_why="no ${want:+$want }memory controller mounted where this process's group shows"
        return 1
    fi
    [[ $memory_own == / ]] && memory_own=
    return 0
}
