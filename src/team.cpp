// Resting the team: pausing the runtime's resources ends its idle threads at once, where
// their own wait would spin first. Starting them again costs tens of microseconds.
#include "team.h"

#include <omp.h>

void rest_team() { omp_pause_resource_all(omp_pause_soft); }
