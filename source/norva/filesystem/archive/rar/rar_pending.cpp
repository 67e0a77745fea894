// Stand-ins for the parts of the unpacker that are still to come: the 1.5 and 2.0
// decoders. Each stops the member with a clear reason
// instead of producing anything; their own files replace these functions.

#include "archive/rar/rar_unpack.hpp"

namespace norva::filesystem::rar
{
    void RarUnpacker::unpack15(bool)
    {
        failure = "RAR 1.5 compression is not supported yet";
        unsupported = true;
    }

    void RarUnpacker::unpack20(bool)
    {
        failure = "RAR 2.0 compression is not supported yet";
        unsupported = true;
    }

} // namespace norva::filesystem::rar
