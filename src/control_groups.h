// The control groups that hold the process, found from the texts of /proc/self/cgroup and
// /proc/self/mountinfo: for one controller, its own group's directory and every parent's up
// to the hierarchy's mount point, since a parent's limit binds its children too. The CPU
// quota and the memory limit both read their files from these directories.
#pragma once

#include <string>
#include <vector>

// A group's directory, and whether its hierarchy is the unified (v2) one.
struct control_group {
    bool v2;
    std::string directory;
};

// The groups holding the process in the v1 hierarchy mounted with controller and in the
// v2 one, each hierarchy's from the process's own group up to the mount point; empty
// when none is mounted where the process can see it. Garbage finds no group.
std::vector<control_group> process_groups(const std::string &self_cgroup, const std::string &mountinfo,
                                          const char *controller);

// Reads the file at path into text; false when it cannot be read.
typedef bool (*read_text_fn)(const char *path, std::string *text, void *context);

// The whole file at path, read through the C library; false when it cannot be read.
bool read_text_file(const char *path, std::string *text, void *context);

// The groups' files are short texts: these read them. text without blanks or newlines
// around it; text cut at every separator; a whole decimal integer, nothing around it.
std::string trimmed_text(const std::string &text);
std::vector<std::string> split_text(const std::string &text, char separator);
bool whole_integer(const std::string &text, long long *value);
