#pragma once

// SDL's user event code of the re-trigger that the main loop pushes.
inline constexpr int RETRIGGER_CODE = 1;

// Handles every event waiting in the window's queue: note keys, ESC (ends the process
// with 0) and the re-trigger event (a random note pair). Returns when the queue is empty.
void pumpEvents();
// Queues the re-trigger event; a full queue drops it, and the next pass pushes again.
void pushRetrigger();
