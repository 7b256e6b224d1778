#pragma once

#include "engine/shared.hpp"

#include <cstdint>

// Envelope stages. The stage is not stored: each tick derives it afresh.
enum Stage : int {
    STAGE_END = -1,
    STAGE_ATTACK = 0,
    STAGE_DECAY = 1,
    STAGE_SUSTAIN = 2,
    STAGE_RELEASE = 3,
};

// The envelope amplifier: its level is the gain of the whole output. Its clock runs
// only while the level rises or falls; sustain and release hold it still, so an
// envelope ends by itself only at the end of its decay. One clock unit is 200 ticks.
//
// trig() runs on the main thread while tick() runs on the mixer thread. A restart is
// never lost or half-applied: tick commits a frame only if the clock it started from
// is still there (a concurrent reset wins) and holds the clock while it stores the
// frame, so trig's reset lands wholly before or wholly after that frame.
class Vca {
  public:
    Vca() = default;

    int tick();    // one frame; 0 when no envelope runs, 1 otherwise
    void trig();   // starts a note from level 0 and clock 0
    void untrig(); // releases the note
    void print() const;

    Shared<float> clock = 0.0f;        // envelope time, clock units; never negative
    Shared<std::int32_t> active = 0;   // 1 while an envelope runs, 0 when idle
    Shared<std::int32_t> released = 0; // non-zero after untrig
    Shared<float> level = 0.0f;        // current gain
    Shared<float> attack = 10.0f;      // length of the rise, clock units
    Shared<float> peak = 1.0f;         // level at the end of the rise
    Shared<float> decay = 400.0f;      // length of the fall from peak to 0, clock units
    Shared<float> sustain = 0.0f;      // sustain level; 0: no sustain, decay to the end
    Shared<float> release = 1500.0f;   // 0 silences a released note at once, else it fades

  private:
    static constexpr double CLOCK_STEP = 0.005; // clock units per tick
    static constexpr float HELD = -1.0f;        // clock while a tick stores its frame

    void commit(float clockBefore, float clockAfter, float newLevel);
    void end(float clockBefore);
};

inline int Vca::tick() {
    // The clock first: if trig resets it after this load, the commit below fails; if
    // before, every field read after it belongs to the new note or to trig's writes.
    const float c = clock.load(std::memory_order_acquire);
    if (active.load(std::memory_order_acquire) != 1) {
        level = 0.0f;
        return 0;
    }
    // One snapshot per tick: a key may change a parameter while the tick runs.
    const int releasedNow = released.load(std::memory_order_acquire);
    const float l = level, a = attack, p = peak, d = decay, s = sustain, r = release;
    const float ad = float(double(a) + d);

    Stage stage = STAGE_END;
    if (c < a)
        stage = STAGE_ATTACK;
    else if (c < ad)
        stage = releasedNow != 0 ? STAGE_RELEASE : (s == 0.0f ? STAGE_DECAY : STAGE_SUSTAIN);
    if (double(a) + r + ad <= c) stage = STAGE_END;

    switch (stage) {
    case STAGE_ATTACK: commit(c, float(c + CLOCK_STEP), float(double(c) * p / a)); break;
    case STAGE_DECAY: commit(c, float(c + CLOCK_STEP), float(p - (double(c) - a) * p / d)); break;
    case STAGE_SUSTAIN:
        if (released != 0) break; // released since the stage was chosen
        commit(c, c, l > s ? float(l - double(l) / 1000.0) : float(double(p) * s));
        break;
    case STAGE_RELEASE: commit(c, c, r != 0.0f ? float(l - double(l) / 100000.0) : 0.0f); break;
    case STAGE_END: end(c); break;
    }
    return 1;
}

// Stores the frame's level and moves the clock on, unless trig has reset the clock
// since this tick read it: then the restart wins and the frame is dropped. The clock
// holds HELD meanwhile, so a trig that comes in between waits instead of being undone.
inline void Vca::commit(float clockBefore, float clockAfter, float newLevel) {
    if (!clock.compareExchange(clockBefore, HELD)) return;
    level = newLevel;
    clock.store(clockAfter, std::memory_order_release);
}

// Ends the envelope unless trig has reset the clock, holding the clock the same way.
inline void Vca::end(float clockBefore) {
    float expected = clockBefore;
    if (!clock.compareExchange(expected, HELD)) return;
    level = 0.0f;
    active.store(0, std::memory_order_release);
    clock.store(clockBefore, std::memory_order_release);
}
