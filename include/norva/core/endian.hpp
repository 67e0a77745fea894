#pragma once

// Little- and big-endian loads and stores at any address. Every parser reads through these
// (or through ByteReader, which bounds them); no file keeps its own copy.

#include <cstring>
#include <norva/core/configure.hpp>

namespace norva
{
    namespace detail
    {
        template <typename T>
        inline T loadRaw(const void* p)
        {
            T value;
            std::memcpy(&value, p, sizeof(T));
            return value;
        }

        template <typename T>
        inline void storeRaw(void* p, T value)
        {
            std::memcpy(p, &value, sizeof(T));
        }

        constexpr bool hostIsLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

        constexpr u16 byteswap(u16 v) { return __builtin_bswap16(v); }
        constexpr u32 byteswap(u32 v) { return __builtin_bswap32(v); }
        constexpr u64 byteswap(u64 v) { return __builtin_bswap64(v); }

        template <typename T>
        constexpr T toLittle(T v) { return hostIsLittleEndian ? v : byteswap(v); }
        template <typename T>
        constexpr T toBig(T v) { return hostIsLittleEndian ? byteswap(v) : v; }
    } // namespace detail

    inline u16 loadLE16(const void* p) { return detail::toLittle(detail::loadRaw<u16>(p)); }
    inline u32 loadLE32(const void* p) { return detail::toLittle(detail::loadRaw<u32>(p)); }
    inline u64 loadLE64(const void* p) { return detail::toLittle(detail::loadRaw<u64>(p)); }
    inline u16 loadBE16(const void* p) { return detail::toBig(detail::loadRaw<u16>(p)); }
    inline u32 loadBE32(const void* p) { return detail::toBig(detail::loadRaw<u32>(p)); }
    inline u64 loadBE64(const void* p) { return detail::toBig(detail::loadRaw<u64>(p)); }

    // 24-bit fields (RAR, some texture headers) are assembled byte by byte.
    inline u32 loadLE24(const void* p)
    {
        const u8* b = static_cast<const u8*>(p);
        return u32(b[0]) | (u32(b[1]) << 8) | (u32(b[2]) << 16);
    }
    inline u32 loadBE24(const void* p)
    {
        const u8* b = static_cast<const u8*>(p);
        return (u32(b[0]) << 16) | (u32(b[1]) << 8) | u32(b[2]);
    }

    inline void storeLE16(void* p, u16 v) { detail::storeRaw(p, detail::toLittle(v)); }
    inline void storeLE32(void* p, u32 v) { detail::storeRaw(p, detail::toLittle(v)); }
    inline void storeLE64(void* p, u64 v) { detail::storeRaw(p, detail::toLittle(v)); }
    inline void storeBE16(void* p, u16 v) { detail::storeRaw(p, detail::toBig(v)); }
    inline void storeBE32(void* p, u32 v) { detail::storeRaw(p, detail::toBig(v)); }
    inline void storeBE64(void* p, u64 v) { detail::storeRaw(p, detail::toBig(v)); }

    // Host-order values to and from a file's byte order, for whole arrays read in place.
    template <typename T>
    constexpr T littleEndian(T v) { return detail::toLittle(v); }
    template <typename T>
    constexpr T bigEndian(T v) { return detail::toBig(v); }

} // namespace norva
