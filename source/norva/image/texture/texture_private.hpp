#pragma once

// Shared by the texture drivers and containers, and read by their tests.

#include <atomic>

#include <norva/core/configure.hpp>

namespace norva
{
    // Block-row tasks the drivers have queued since start: the tests check that an image
    // of N block rows is cut into N tasks.
    std::atomic<u64>& getTextureTaskCounter();

} // namespace norva
