#pragma once

// Frames per second of the stream, and ticks per second of every engine unit.
inline constexpr int MIX_RATE = 44100;
