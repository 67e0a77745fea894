// Hand-written row kernels for the pairs on the hot paths (palette and luminance
// expansion, channel swaps, 16-bit packed formats, 16-bit and float sources to 8 bits).
//
// The rows are read when the fast map is built, before main: keep the table constant-
// initialised (constexpr Formats and function pointers) so that no initialisation order
// matters. A row is { destination, source, required CPU flags (0: none), kernel }.

#include <norva/image/blitter.hpp>

namespace norva
{

    std::span<const FastConversion> getFastConversionTable()
    {
        // no kernels yet: every pair goes through the generic converters
        return {};
    }

} // namespace norva
