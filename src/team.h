// The OpenMP team between the steps of a run. Members left idle spin for a while before
// they sleep, taking a core from whatever runs next on one thread: the inflating thread,
// a solver on one thread, or another program on a shared machine. And a core left idle
// sleeps: on a virtual machine waking it for the team's first region costs milliseconds.
// The team is never larger than the processor time the process may use, nor than the
// processors other programs leave idle when it starts, nor than the threads the system
// lets it start (a pids or process limit), whatever OMP_NUM_THREADS asks.
#pragma once

// Unless OMP_NUM_THREADS is set: no more members than the affinity mask allows, the
// control groups' CPU quota, rounded up, pays for, and (unless OMP_DYNAMIC is false) the
// machine's busy processors leave. In any case no more than the threads that can start
// (one when none can). Called before the first region.
void size_team();

// Starts the team size_team chose at once and keeps its threads to the end of the run:
// rest_team no longer ends them, so that no other process can take their places between
// the steps. For processes that share a limit on threads.
void start_and_keep_team();

// Ends the team's idle members, if any (unless the team is kept); the next parallel region
// starts them anew.
void rest_team();

// Keeps another core awake, yielding, until team_running is called or a few milliseconds
// pass; called as soon as a run knows it will start a team.
void wake_team();

// Tells the waker that a member other than the calling thread is running.
void team_running();
