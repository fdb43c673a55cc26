// What the reader's and the gzip stream's tests share: read_graph run in a forked child
// (its faults end the process) or, where OpenMP cannot start again after a fork, in this
// process with the failure handler taking the run back; either way what it wrote to
// standard error and its exit status come back.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "failure.h"
#include "graph.h"
#include "test_support.h"

// Set in a forked child, which ends on purpose with everything still held, as a failed
// run does; the leak sanitizer's exit check (its switch, the weak hook
// __lsan_is_turned_off, is defined once for the whole test binary in paths_support.cpp)
// would only cost time there.
inline bool in_forked_child = false;

struct child_outcome {
    std::string standard_error;
    int status;  // exit status, or 1000 + signal
};

// clang's OpenMP runtime, which the thread-sanitizer build uses, cannot start again in a
// forked child: there the child's run takes place in this process instead.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NORVANE_NO_FORK_WITH_OPENMP 1
#endif
#endif

// read_graph in this process: the failure handler takes the run back where the process
// would exit with status 255; the caller frees what it held with release_graph.
inline child_outcome read_in_process(const std::string &path) {
    child_outcome outcome{"", 0};
    testing::internal::CaptureStderr();
    failure_handler = throw_read_rejected;
    try {
        read_graph(path.c_str());
    } catch (const read_rejected &) {
        outcome.status = 255;
    }
    failure_handler = nullptr;
    outcome.standard_error = testing::internal::GetCapturedStderr();
    return outcome;
}

// read_graph ends the process on every fault, so it runs in a child whose standard
// error comes back through a pipe. libgomp's idle team does not survive fork, so it is
// released first and the child starts its own.
inline child_outcome read_in_child(const std::string &path) {
#ifdef NORVANE_NO_FORK_WITH_OPENMP
    const child_outcome in_process = read_in_process(path);
    release_graph();
    return in_process;
#else
    fflush(nullptr);
    omp_pause_resource_all(omp_pause_hard);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return {"pipe failed", -1};
    const pid_t pid = fork();
    if (pid == 0) {
        in_forked_child = true;
        close(pipe_fds[0]);
        dup2(pipe_fds[1], STDERR_FILENO);
        close(pipe_fds[1]);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        read_graph(path.c_str());
        _exit(0);
    }
    close(pipe_fds[1]);
    child_outcome outcome{"", -1};
    char chunk[4096];
    for (ssize_t got; (got = read(pipe_fds[0], chunk, sizeof chunk)) != 0;) {
        if (got > 0) outcome.standard_error.append(chunk, size_t(got));
        else if (errno != EINTR) break;
    }
    close(pipe_fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid)
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return outcome;
#endif
}
