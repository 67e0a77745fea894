// The channel endpoint fit of BC3 alpha and BC4/BC5 (block_endpoints.hpp).

#include <algorithm>
#include <utility>

#include "block_endpoints.hpp"

namespace norva
{
    namespace
    {
        constexpr float channelWeightsX6[6] = { 1.0f, 0.8f, 0.6f, 0.4f, 0.2f, 0.0f };
        constexpr float channelWeightsY6[6] = { 0.0f, 0.2f, 0.4f, 0.6f, 0.8f, 1.0f };
        constexpr float channelWeightsX8[8] = { 1.0f, 6.0f / 7.0f, 5.0f / 7.0f, 4.0f / 7.0f,
                                                3.0f / 7.0f, 2.0f / 7.0f, 1.0f / 7.0f, 0.0f };
        constexpr float channelWeightsY8[8] = { 0.0f, 1.0f / 7.0f, 2.0f / 7.0f, 3.0f / 7.0f,
                                                4.0f / 7.0f, 5.0f / 7.0f, 6.0f / 7.0f, 1.0f };

    } // namespace

    void refineChannelEndpoints(float& x, float& y, const float values[16], int steps, float minimum)
    {
        const bool six = steps == 6;
        const float* wx = six ? channelWeightsX6 : channelWeightsX8;
        const float* wy = six ? channelWeightsY6 : channelWeightsY8;

        if (six)
        {
            // The range ends have palette entries of their own: fit the values between them.
            x = 1.0f;
            y = minimum;
            for (int i = 0; i < 16; ++i)
            {
                const float p = values[i];
                if (p < x && p > minimum)
                    x = p;
                if (p > y && p < 1.0f)
                    y = p;
            }
            if (x == y)
                y = 1.0f;
        }
        else
        {
            x = 1.0f;
            y = minimum;
            for (int i = 0; i < 16; ++i)
            {
                x = std::min(x, values[i]);
                y = std::max(y, values[i]);
            }
        }

        for (int pass = 0; pass < 8; ++pass)
        {
            if (y - x < 1.0f / 256.0f)
                break;

            const float scale = float(steps - 1) / (y - x);
            float points[8];
            for (int k = 0; k < steps; ++k)
                points[k] = wx[k] * x + wy[k] * y;

            // Values past the midpoint between an endpoint and its range end take the fixed
            // entry and do not pull the endpoints.
            const float lowSnap = (x + minimum) * 0.5f;
            const float highSnap = (y + 1.0f) * 0.5f;

            float dX = 0.0f, d2X = 0.0f, dY = 0.0f, d2Y = 0.0f;
            for (int i = 0; i < 16; ++i)
            {
                const float p = values[i];
                const float t = (p - x) * scale;
                int k;
                if (t <= 0.0f)
                {
                    if (six && p <= lowSnap)
                        continue;
                    k = 0;
                }
                else if (t >= float(steps - 1))
                {
                    if (six && p >= highSnap)
                        continue;
                    k = steps - 1;
                }
                else
                {
                    k = int(t + 0.5f);
                }
                const float diff = points[k] - p;
                dX += wx[k] * diff;
                d2X += wx[k] * wx[k];
                dY += wy[k] * diff;
                d2Y += wy[k] * wy[k];
            }

            if (d2X > 0.0f)
                x -= dX / d2X;
            if (d2Y > 0.0f)
                y -= dY / d2Y;
            if (x > y)
                std::swap(x, y);
            if (dX * dX < 1.0f / 64.0f && dY * dY < 1.0f / 64.0f)
                break;
        }

        x = std::clamp(x, minimum, 1.0f);
        y = std::clamp(y, minimum, 1.0f);
    }

} // namespace norva
