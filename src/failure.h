// How a failed run ends. The step that meets a failure writes its message to standard
// error, then calls end_with_failure: the process exits with status -1.
#pragma once

[[noreturn]] void end_with_failure();

// When set, called instead of exiting; it must not return (the fuzz target jumps back
// to its loop). Whatever the run held is then freed by release_graph.
extern void (*failure_handler)();
