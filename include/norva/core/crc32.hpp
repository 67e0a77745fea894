#pragma once

#include <norva/core/memory.hpp>

namespace norva
{
    // Reflected CRC-32 (polynomial 0xEDB88320) as used by PNG and ZIP. The value is
    // inverted on entry and exit, so a previous result continues the checksum.
    u32 crc32(u32 crc, ConstMemory data);

} // namespace norva
