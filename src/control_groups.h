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

// Reads the file at path into text; false when it cannot be read.
typedef bool (*read_text_fn)(const char *path, std::string *text, void *context);

// The names of the directories in the directory at path; false when it cannot be listed.
typedef bool (*list_directories_fn)(const char *path, std::vector<std::string> *names, void *context);

// How the groups' files are reached: the system's, or texts a test gives. pid is the
// process as the groups' cgroup.procs name it.
struct group_files {
    read_text_fn read;
    list_directories_fn list;
    void *context;
    long pid;
};

// The groups holding the process in the v1 hierarchy mounted with controller and in the
// v2 one, each hierarchy's from the process's own group up to the mount point; empty
// when none is mounted where the process can see it. Garbage finds no group. Where a
// cgroup namespace hides part of the group's path, the directory is looked for below the
// mount point through files.
std::vector<control_group> process_groups(const std::string &self_cgroup, const std::string &mountinfo,
                                          const char *controller, const group_files &files);

// This process's groups' files, read and listed through the C library.
group_files system_group_files();

// The whole file at path, read through the C library; false when it cannot be read.
bool read_text_file(const char *path, std::string *text, void *context);

// The groups' files are short texts: these read them. text without blanks or newlines
// around it; text cut at every separator; a whole decimal integer, nothing around it.
std::string trimmed_text(const std::string &text);
std::vector<std::string> split_text(const std::string &text, char separator);
bool whole_integer(const std::string &text, long long *value);
