#pragma once

// The console keyboard: single keys without echo and without Enter. The terminal is
// restored on every way out (exit, the ending signals, suspension). Standard input
// that is not a terminal works too: keys are then the bytes that arrive.

// True when a key is waiting; never blocks. False at the end of input.
bool keyWaiting();
// Waits for one key and returns its byte (0 to 255). At the end of input the process
// ends as ESC at a menu does, with exit code 0.
int readKey();
