// The OpenMP team between the steps of a run. Members left idle spin for a while before
// they sleep, taking a core from whatever runs next on one thread: the inflating thread,
// a solver on one thread, or another program on a shared machine.
#pragma once

// Ends the team's idle members, if any; the next parallel region starts them anew.
void rest_team();
