// The unpacker frame: packed bytes in from memory, unpacked bytes out into the caller's
// buffer through one clamped sink, the 4 MiB window, the input refill, and the dispatch by
// unpack version.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "archive/rar/rar_unpack.hpp"

namespace norva::filesystem::rar
{
    // --------------------------------------------------------------------------------------
    // RarMemoryIO
    // --------------------------------------------------------------------------------------

    void RarMemoryIO::init()
    {
        *this = RarMemoryIO();
    }

    s32 RarMemoryIO::read(u8* buffer, u32 count)
    {
        const u32 n = u32(std::min<u64>(packedReadable, count));
        if (n)
        {
            std::memcpy(buffer, packed, n);
            packed += n;
            packedReadable -= n;
            packedUnconsumed -= std::min<u64>(packedUnconsumed, n);
            totalRead += n;
        }
        return s32(n);
    }

    void RarMemoryIO::write(const u8* data, u64 count)
    {
        // Store what fits rather than dropping the whole write: a partial member must show
        // as short, never as a hole inside a buffer of the right size.
        const u64 n = std::min(count, destinationFree);
        if (n)
        {
            std::memcpy(destination, data, n);
            destination += n;
            destinationFree -= n;
            totalStored += n;
        }
        totalWritten += count;
    }

    // --------------------------------------------------------------------------------------
    // RarUnpacker frame
    // --------------------------------------------------------------------------------------

    RarUnpacker::RarUnpacker(RarMemoryIO* io)
        : io(io)
    {
    }

    RarUnpacker::~RarUnpacker()
    {
        initFilters();
        resetPpm();
        std::free(window);
    }

    void RarUnpacker::init()
    {
        if (!window)
        {
            // calloc: untouched pages of the window cost nothing for small members. The
            // slack lets a match copy run in 8-byte groups right up to the window's end.
            window = static_cast<u8*>(std::calloc(WINDOW_SIZE + BIT_SLACK, 1));
            if (!window)
                throw std::bad_alloc();
        }
        resetState(false);
        resetState15();
        initTables15();
    }

    void RarUnpacker::unpack(u32 version, bool solid)
    {
        switch (version)
        {
            case 15:
                unpack15(solid);
                break;
            case 20:
            case 26:
                unpack20(solid);
                break;
            case 29:
            case 36:
                unpack29(solid);
                break;
            default:
                break;
        }
    }

    bool RarUnpacker::refillInput()
    {
        s32 left = readTop - s32(input.bytePos);
        if (left < 0)
            return false;
        u8* buffer = input.data();
        if (input.bytePos > RarBitReader::MAX_SIZE / 2)
        {
            if (left > 0)
                std::memmove(buffer, buffer + input.bytePos, u32(left));
            input.bytePos = 0;
            readTop = left;
        }
        const u32 room = (RarBitReader::MAX_SIZE - u32(readTop)) & ~15u;
        const s32 count = io->read(buffer + readTop, room);
        if (count > 0)
            readTop += count;
        // Past the data the bits read as zeros, never as stale bytes of an earlier fill.
        std::memset(buffer + readTop, 0, BIT_SLACK);
        readBorder = readTop - 30;
        return true;
    }

    void RarUnpacker::emit(const u8* data, u64 size, s64 expected)
    {
        if (s64(writtenFileSize) < expected)
        {
            const u64 left = u64(expected) - writtenFileSize;
            io->write(data, std::min(size, left));
        }
        writtenFileSize += size;
    }

    void RarUnpacker::writeArea(u32 start, u32 end)
    {
        if (end < start)
        {
            emit(window + start, WINDOW_SIZE - start);
            emit(window, end);
        }
        else
        {
            emit(window + start, end - start);
        }
    }

    RarDecompressResult rar_decompress(u8* destination, const u8* packed, u64 unpackedSize, u64 packedSize,
                                       u32 version, void (*vmSetup)(RarFilterVM&, void*), void* context)
    {
        RarMemoryIO io;
        io.packed = packed;
        io.packedUnconsumed = packedSize;
        io.packedReadable = packedSize;
        io.destination = destination;
        io.destinationFree = unpackedSize;

        RarUnpacker unpacker(&io);
        if (vmSetup)
            vmSetup(unpacker.vm, context);
        unpacker.init();
        unpacker.destUnpSize = s64(std::min<u64>(unpackedSize, u64(INT64_MAX)));
        unpacker.unpack(version, false);

        RarDecompressResult result;
        result.stored = io.totalStored;
        result.failure = unpacker.failure;
        result.unsupported = unpacker.unsupported;
        return result;
    }

} // namespace norva::filesystem::rar
