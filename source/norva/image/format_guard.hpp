#pragma once

// Decoders and encoders report through their status and never throw: this turns what the
// code they call may throw (an allocation failure, a stream error) into that status.

#include <new>

#include <norva/core/exception.hpp>
#include <norva/image/decoder.hpp>

namespace norva
{
    // tag: the message prefix, "[ImageDecoder.PNG] ".
    template <typename Result, typename Function>
    Result guardStatus(const char* tag, Function&& function)
    {
        try
        {
            return function();
        }
        catch (const norva::Exception& e)
        {
            Result result;
            result.setError("%s%s", tag, e.what());
            return result;
        }
        catch (const std::bad_alloc&)
        {
            Result result;
            result.setError("%sOut of memory.", tag);
            return result;
        }
    }

    // The start of a decode call shared by the single-image decoders (their level, depth and
    // face mean nothing): a header that failed is repeated, else decode() runs guarded.
    template <typename Function>
    ImageDecodeStatus guardDecode(const char* tag, const ImageHeader& header, Function&& decode)
    {
        if (!header.success)
        {
            ImageDecodeStatus status;
            status.setError("%s", header.info.c_str());
            return status;
        }
        return guardStatus<ImageDecodeStatus>(tag, decode);
    }

} // namespace norva
