#include "half.hpp"

#include <vector>

#include <glm/gtc/packing.hpp>

#include <norva/core/endian.hpp>

namespace terrain_half
{
    namespace
    {
        // Every half decodes exactly to a float; a table of all 65536 keeps glm's results
        // (NaN payloads included) and beats its branches by far.
        const float* unpackTable()
        {
            static const std::vector<float> table = []
            {
                std::vector<float> values(65536);
                for (std::size_t i = 0; i < values.size(); ++i)
                {
                    values[i] = glm::unpackHalf1x16(norva::u16(i));
                }
                return values;
            }();
            return table.data();
        }

    } // namespace

    norva::u16 pack(float value)
    {
        return glm::packHalf1x16(value);
    }

    float unpack(norva::u16 value)
    {
        return unpackTable()[value];
    }

    void packRounding(float* values, norva::u16* out, std::size_t count)
    {
        const float* table = unpackTable();
        for (std::size_t i = 0; i < count; ++i)
        {
            const norva::u16 half = glm::packHalf1x16(values[i]);
            values[i] = table[half];
            out[i] = norva::littleEndian(half);
        }
    }

    void unpack(const norva::u16* in, float* out, std::size_t count)
    {
        const float* table = unpackTable();
        for (std::size_t i = 0; i < count; ++i)
        {
            out[i] = table[norva::littleEndian(in[i])];
        }
    }

} // namespace terrain_half
