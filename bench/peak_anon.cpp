// Peak anonymous memory of a command: runs it with its output discarded and reads its
// RssAnon from /proc as often as it can until it ends. Pages of a memory-mapped input file
// are the kernel's page cache, not the program's own, and are left out this way; the
// peak resident set (VmHWM) is printed beside it. Prints "ANON_KIB HWM_KIB"; the
// command's exit status is this program's.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The value in KiB of a "Name:   123 kB" line of a status text, or -1.
long field(const char *status, const char *name) {
    const char *at = strstr(status, name);
    return at == nullptr ? -1 : atol(at + strlen(name));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs("usage: peak_anon COMMAND [ARG...]\n", stderr);
        return 2;
    }
    const pid_t child = fork();
    if (child == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", int(child));
    long anon = 0, hwm = 0;
    char status[8192];
    int outcome = 0;
    for (;;) {
        const int fd = open(path, O_RDONLY);
        if (fd >= 0) {
            const ssize_t got = read(fd, status, sizeof status - 1);
            close(fd);
            if (got > 0) {
                status[got] = '\0';
                const long a = field(status, "RssAnon:"), h = field(status, "VmHWM:");
                anon = a > anon ? a : anon;
                hwm = h > hwm ? h : hwm;
            }
        }
        if (waitpid(child, &outcome, WNOHANG) == child) break;
    }
    printf("%ld %ld\n", anon, hwm);
    return WIFEXITED(outcome) ? WEXITSTATUS(outcome) : 1;
}
