#pragma once

#include <atomic>

// Every operator new on a thread that has set the flag is counted, so a test can see
// that the mixer thread allocates nothing while it runs.
extern thread_local bool countAllocationsOnThisThread;
extern std::atomic<int> countedAllocations;
