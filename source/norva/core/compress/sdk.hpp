#pragma once

// Glue shared by the methods built on the LZMA SDK (lzma, lzma2, ppmd8).

#include <7zTypes.h>

namespace norva::detail
{
    // malloc/free for the SDK's coders
    ISzAllocPtr sdkAllocator();

    // the text of an SDK result code in the methods' messages
    const char* sdkErrorText(SRes result);

} // namespace norva::detail
