# Memory control groups for tests and benchmarks, sourced by bash: where this process's
# own memory group lies (v1 or v2), so that children of it can be made; a parent's limit
# binds them anyway.

# Sets memory_mount (where the hierarchy is mounted), memory_own (this process's group
# under it, empty for the root) and memory_limit_file; returns 1 with the reason in
# memory_why where no memory controller shows.
find_memory_group() {
    memory_limit_file=memory.limit_in_bytes
    memory_own=$(awk -F: '$2 ~ /(^|,)memory(,|$)/ { print $3 }' /proc/self/cgroup)
    memory_mount=$(awk '{ for (i = 7; i <= NF && $i != "-"; i++) {}
                          if ($(i + 1) == "cgroup" && $(i + 3) ~ /(^|,)memory(,|$)/ && $4 == "/") { print $5; exit } }' \
                       /proc/self/mountinfo)
    if [[ -z $memory_own || -z $memory_mount ]]; then
        memory_own=$(awk -F: '$1 == "0" && $2 == "" { print $3 }' /proc/self/cgroup)
        memory_mount=$(awk '{ for (i = 7; i <= NF && $i != "-"; i++) {}
                              if ($(i + 1) == "cgroup2" && $4 == "/") { print $5; exit } }' /proc/self/mountinfo)
        memory_limit_file=memory.max
    fi
    if [[ -z $memory_own || -z $memory_mount ]]; then
        memory_why="no memory controller mounted where this process's group shows"
        return 1
    fi
    [[ $memory_own == / ]] && memory_own=
    return 0
}
