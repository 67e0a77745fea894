#include "game/statistics.hpp"

bool FrameStatistics::endSecond(std::ostream& out, bool print, int activeTiles, int activePatches)
{
    if (accumulated < 1.0)
        return false;
    if (print)
    {
        double n = frames;
        // the text is what the game has always printed, missing space and parenthesis included
        out << accumulated * 1000.0 / n << " ms/frame (active tiles/frame:" << activeTiles / n
            << ", active patches/frame: " << activePatches / n << '\n'
            << "FPS: " << 1.0 / (accumulated / n) << '\n';
        out.flush();
    }
    accumulated = 0.0;
    frames = 0;
    return true;
}
