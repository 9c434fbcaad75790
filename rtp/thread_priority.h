// Priority for the threads whose wake-ups set the timing on the wire.
#pragma once

#include <string>

// Puts the calling thread at the lowest real-time priority (SCHED_FIFO), ahead of every normal
// thread without competing with the system's own real-time work, or else five nice steps up.
// "" when either was granted, else why both were refused.
std::string RaiseThreadPriority();
