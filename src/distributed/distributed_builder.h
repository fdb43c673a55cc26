// Distributed store builder: every edge line goes to the owners of its ends, which build
// the rows of their blocks from it with the shared builder.
#pragma once

// Collective, after read_head_everywhere: cuts the blocks, checks every part, exchanges
// the lines and builds this process's rows; ends the run everywhere at the first fault.
void build_distributed_store();

// Frees what a build left half done (a failed run taken back by a test).
void release_distributed_building();
