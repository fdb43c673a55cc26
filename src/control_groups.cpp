// Control groups of the process: a group's directory is its hierarchy's mount point joined
// with the group's path less the mount's root; where a cgroup namespace hides names on the
// way ("/.."), the directory that many levels down whose cgroup.procs lists the process.
// The first mount that shows the group is read; anything unexpected finds no group, which
// every reader takes as no limit.
#include "control_groups.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

bool has_token(const std::string &list, const char *token) {
    for (const std::string &t : split_text(list, ',')) {
        if (t == token) return true;
    }
    return false;
}

// Mountinfo writes a space, tab, newline or backslash in a path as a three-digit octal escape.
std::string unescaped(const std::string &path) {
    std::string out;
    for (size_t k = 0; k < path.size(); ++k) {
        if (path[k] == '\\' && k + 3 < path.size() && path[k + 1] >= '0' && path[k + 1] <= '3' &&
            path[k + 2] >= '0' && path[k + 2] <= '7' && path[k + 3] >= '0' && path[k + 3] <= '7') {
            out += char((path[k + 1] - '0') * 64 + (path[k + 2] - '0') * 8 + (path[k + 3] - '0'));
            k += 3;
        } else {
            out += path[k];
        }
    }
    return out;
}

// A path as /proc writes it from inside a cgroup namespace: the steps up from the
// namespace's root ("/.." each, all first), then the names down; "/" outside any.
struct namespace_path {
    size_t ups = 0;
    std::vector<std::string> names;
};

bool read_namespace_path(const std::string &text, namespace_path *path) {
    if (text.empty() || text[0] != '/') return false;
    for (const std::string &part : split_text(text.substr(1), '/')) {
        if (part.empty()) continue;
        if (part == "..") {
            if (!path->names.empty()) return false;
            ++path->ups;
        } else {
            path->names.push_back(part);
        }
    }
    return true;
}

// A namespace's root sits a few levels below its hierarchy's (4 or 5 under Kubernetes);
// a host of thousands of containers is searched in milliseconds.
constexpr long SEARCH_DEPTH = 16;
constexpr int SEARCH_DIRECTORIES = 4096;

bool lists_process(const std::string &directory, const group_files &files) {
    std::string procs;
    if (!files.read((directory + "/cgroup.procs").c_str(), &procs, files.context)) return false;
    long long pid = 0;
    for (const std::string &line : split_text(procs, '\n')) {
        if (whole_integer(line, &pid) && pid == files.pid) return true;
    }
    return false;
}

// The directory depth levels below top whose cgroup.procs lists the process (a process is
// in one group of a hierarchy); empty when none is found within budget directories.
std::string search_group(const std::string &top, long depth, const group_files &files, int *budget) {
    if (--*budget < 0) return std::string();
    if (depth == 0) return lists_process(top, files) ? top : std::string();
    std::vector<std::string> names;
    if (!files.list(top.c_str(), &names, files.context)) return std::string();
    for (const std::string &name : names) {
        const std::string found = search_group(top + "/" + name, depth - 1, files, budget);
        if (!found.empty() || *budget < 0) return found;
    }
    return std::string();
}

// The directory of a group at group_path in a hierarchy whose mount shows mount_root at
// mount_point; empty when the group lies outside what the mount shows.
std::string group_directory(const std::string &mount_root, const std::string &mount_point,
                            const std::string &group_path, const group_files &files) {
    if (mount_point == "/") return std::string();  // never mounted there; no group above to stop at
    namespace_path root, group;
    if (!read_namespace_path(mount_root, &root) || !read_namespace_path(group_path, &group)) return std::string();
    if (root.ups == group.ups) {
        // Both below the same place: the names lead from the mount's root to the group.
        if (group.names.size() < root.names.size() ||
            !std::equal(root.names.begin(), root.names.end(), group.names.begin()))
            return std::string();
        std::string directory = mount_point;
        for (size_t k = root.names.size(); k < group.names.size(); ++k) directory += "/" + group.names[k];
        return directory;
    }
    // The names between the mount's root and the namespace's are not shown, only how many.
    const long depth = long(root.ups) - long(group.ups) + long(group.names.size()) - long(root.names.size());
    if (depth < 0 || depth > SEARCH_DEPTH) return std::string();
    int budget = SEARCH_DIRECTORIES;
    return search_group(mount_point, depth, files, &budget);
}

// The group's directory and its parents' up to top, the mount point.
void add_chain(bool v2, std::string directory, const std::string &top, std::vector<control_group> *groups) {
    for (;;) {
        groups->push_back(control_group{v2, directory});
        if (directory.size() <= top.size()) return;
        directory.resize(directory.rfind('/'));
        if (directory.size() < top.size()) return;
    }
}

}  // namespace

std::vector<control_group> process_groups(const std::string &self_cgroup, const std::string &mountinfo,
                                          const char *controller, const group_files &files) {
    std::string v1_path, v2_path;
    bool in_v1 = false, in_v2 = false;
    for (const std::string &line : split_text(self_cgroup, '\n')) {
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string id = line.substr(0, first), controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (path.empty() || path[0] != '/') continue;
        if (id == "0" && controllers.empty()) {
            in_v2 = true;
            v2_path = path;
        } else if (has_token(controllers, controller)) {
            in_v1 = true;
            v1_path = path;
        }
    }
    std::vector<control_group> groups;
    for (const std::string &line : split_text(mountinfo, '\n')) {
        const std::vector<std::string> fields = split_text(line, ' ');
        size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (dash + 3 >= fields.size()) continue;
        const std::string &type = fields[dash + 1], &options = fields[dash + 3];
        const std::string root = unescaped(fields[3]), point = unescaped(fields[4]);
        const bool v1 = in_v1 && type == "cgroup" && has_token(options, controller);
        const bool v2 = in_v2 && type == "cgroup2";
        if (!v1 && !v2) continue;
        const std::string directory = group_directory(root, point, v1 ? v1_path : v2_path, files);
        if (directory.empty()) continue;
        add_chain(v2, directory, point, &groups);
        if (v1) in_v1 = false;  // the first mount that shows the group is enough
        if (v2) in_v2 = false;
    }
    return groups;
}

namespace {

bool list_directories(const char *path, std::vector<std::string> *names, void *) {
    DIR *directory = opendir(path);
    if (directory == nullptr) return false;
    names->clear();
    while (const struct dirent *entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat about;
        const bool is_directory = entry->d_type == DT_DIR ||
                                  (entry->d_type == DT_UNKNOWN && fstatat(dirfd(directory), entry->d_name, &about,
                                                                          AT_SYMLINK_NOFOLLOW) == 0 &&
                                   S_ISDIR(about.st_mode));
        if (is_directory) names->push_back(name);
    }
    closedir(directory);
    return true;
}

}  // namespace

group_files system_group_files() { return group_files{read_text_file, list_directories, nullptr, long(getpid())}; }

bool read_text_file(const char *path, std::string *text, void *) {
    FILE *file = fopen(path, "re");
    if (file == nullptr) return false;
    text->clear();
    char piece[4096];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, file)) > 0) text->append(piece, got);
    const bool ok = !ferror(file);
    fclose(file);
    return ok;
}

std::string trimmed_text(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t\n");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> split_text(const std::string &text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

bool whole_integer(const std::string &text, long long *value) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    *value = strtoll(text.c_str(), &end, 10);
    return errno == 0 && end == text.c_str() + text.size();
}
