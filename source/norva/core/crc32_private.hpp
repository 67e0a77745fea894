#pragma once

// The CRC-32 kernels behind norva::crc32, for the tests and benchmarks that compare them.

#include <norva/core/crc32.hpp>

namespace norva::detail
{
    // The portable slicing-by-8 kernel, the reference for the accelerated path.
    u32 crc32_slice8(u32 crc, ConstMemory data);

} // namespace norva::detail
