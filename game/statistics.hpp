#pragma once

#include <ostream>

// Frame timing of the main loop, averaged over at least one second of frame time.
class FrameStatistics
{
public:
    void addTime(double dt) { accumulated += dt; }
    void countFrame() { ++frames; }

    // Once a second has accumulated: writes the two statistics lines when `print` is set
    // (flushed, so a pipe sees them at once), starts the next second and returns true.
    bool endSecond(std::ostream& out, bool print, int activeTiles, int activePatches);

    double accumulated = 0.0;
    int frames = 0;
};

// A key that acts once per press while the main loop polls it every pass.
class KeyLatch
{
public:
    bool trigger(bool pressed)
    {
        bool fire = pressed && armed;
        if (fire)
            armed = false;
        return fire;
    }
    void rearm(bool pressed)
    {
        if (!pressed)
            armed = true;
    }

private:
    bool armed = true;
};
