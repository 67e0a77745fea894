#pragma once

// BLAKE2sp, the hash a RAR 5 file header may carry instead of a CRC-32.

#include <norva/core/memory.hpp>

namespace norva::filesystem::rar
{
    constexpr std::size_t BLAKE2SP_SIZE = 32;

    // The 32-byte BLAKE2sp hash (unkeyed) of the bytes.
    void blake2sp(u8* out, ConstMemory bytes);

} // namespace norva::filesystem::rar
