// Colour quantizer: NeuQuant (Kohonen network over the colour cube) with integer
// arithmetic, 256 neurons, then nearest-entry mapping with optional Floyd-Steinberg
// error diffusion. All state lives in one call.

#include <norva/image/quantize.hpp>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include <norva/core/exception.hpp>
#include <norva/image/blitter.hpp>

namespace norva::image
{
    namespace
    {

        constexpr int netsize = 256;
        constexpr int netbiasshift = 4; // colour values carry 4 fraction bits while learning
        constexpr int ncycles = 100;

        constexpr int intbiasshift = 16;
        constexpr int intbias = 1 << intbiasshift;
        constexpr int gammashift = 10;
        constexpr int betashift = 10;
        constexpr int beta = intbias >> betashift;
        constexpr int betagamma = intbias << (gammashift - betashift);

        constexpr int initrad = netsize >> 3; // 32
        constexpr int radiusbiasshift = 6;
        constexpr int radiusbias = 1 << radiusbiasshift;
        constexpr int initradius = initrad * radiusbias;
        constexpr int radiusdec = 30;

        constexpr int alphabiasshift = 10;
        constexpr int initalpha = 1 << alphabiasshift;
        constexpr int radbiasshift = 8;
        constexpr int alpharadbshift = alphabiasshift + radbiasshift;

        constexpr int prime1 = 499;
        constexpr int prime2 = 491;
        constexpr int prime3 = 487;
        constexpr int prime4 = 503;

        class Network
        {
        public:
            Network(const u8* pixels, int lengthcount, int samplefac)
                : m_pixels(pixels)
                , m_lengthcount(lengthcount)
                , m_samplefac(samplefac)
            {
                for (int i = 0; i < netsize; ++i)
                {
                    const int v = (i << (netbiasshift + 8)) / netsize;
                    m_network[i][0] = m_network[i][1] = m_network[i][2] = v;
                    m_freq[i] = intbias / netsize;
                    m_bias[i] = 0;
                }
            }

            void learn()
            {
                const int alphadec = 30 + (m_samplefac - 1) / 3;
                const int samplepixels = m_lengthcount / (4 * m_samplefac);
                if (samplepixels < 1)
                    return;
                const int delta = samplepixels / ncycles;
                int alpha = initalpha;
                int radius = initradius;
                int rad = radius >> radiusbiasshift;
                setRadpower(rad, alpha);

                int step;
                if (m_lengthcount % prime1 != 0)
                    step = 4 * prime1;
                else if (m_lengthcount % prime2 != 0)
                    step = 4 * prime2;
                else if (m_lengthcount % prime3 != 0)
                    step = 4 * prime3;
                else
                    step = 4 * prime4;

                s64 position = 0;
                int count = 0;
                for (int i = 0; i < samplepixels; ++i)
                {
                    const u8* p = m_pixels + position;
                    const int b = p[0] << netbiasshift;
                    const int g = p[1] << netbiasshift;
                    const int r = p[2] << netbiasshift;

                    const int j = contest(b, g, r);
                    moveTowards(m_network[j], alpha, alphabiasshift, b, g, r);
                    if (rad)
                        alterNeighbours(rad, j, b, g, r);

                    position += step;
                    while (position >= m_lengthcount)
                        position -= m_lengthcount;

                    if (++count == delta)
                    {
                        count = 0;
                        alpha -= alpha / alphadec;
                        radius -= radius / radiusdec;
                        rad = radius >> radiusbiasshift;
                        if (rad <= 1)
                            rad = 0;
                        else
                            setRadpower(rad, alpha);
                    }
                }
            }

            void unbias()
            {
                for (int i = 0; i < netsize; ++i)
                {
                    for (int c = 0; c < 3; ++c)
                        m_network[i][c] >>= netbiasshift;
                    m_network[i][3] = i;
                }
            }

            void writePalette(Palette& palette) const
            {
                palette.size = netsize;
                for (int i = 0; i < netsize; ++i)
                {
                    const u32 b = u32(m_network[i][0]);
                    const u32 g = u32(m_network[i][1]);
                    const u32 r = u32(m_network[i][2]);
                    palette.color[i] = b | (g << 8) | (r << 16) | 0xFF000000u;
                }
            }

            // Selection sort on green, and the start of each green value's run.
            void buildIndex()
            {
                int previouscol = 0;
                int startpos = 0;
                for (int i = 0; i < netsize; ++i)
                {
                    int smallpos = i;
                    int smallval = m_network[i][1];
                    for (int j = i + 1; j < netsize; ++j)
                    {
                        if (m_network[j][1] < smallval)
                        {
                            smallpos = j;
                            smallval = m_network[j][1];
                        }
                    }
                    if (i != smallpos)
                        std::swap(m_network[i], m_network[smallpos]);
                    if (smallval != previouscol)
                    {
                        m_netindex[previouscol] = (startpos + i) >> 1;
                        for (int j = previouscol + 1; j < smallval; ++j)
                            m_netindex[j] = i;
                        previouscol = smallval;
                        startpos = i;
                    }
                }
                m_netindex[previouscol] = (startpos + netsize - 1) >> 1;
                for (int j = previouscol + 1; j < 256; ++j)
                    m_netindex[j] = netsize - 1;
            }

            // The palette index of the nearest neuron, searched outwards from green.
            int map(int b, int g, int r) const
            {
                int bestd = 1000;
                int best = -1;
                int i = m_netindex[g];
                int j = i - 1;
                // a neuron whose green is greenDistance from g: taken when its whole distance
                // beats the best so far
                auto consider = [&](const int* p, int greenDistance) {
                    int dist = greenDistance + std::abs(p[0] - b);
                    if (dist < bestd)
                    {
                        dist += std::abs(p[2] - r);
                        if (dist < bestd)
                        {
                            bestd = dist;
                            best = p[3];
                        }
                    }
                };
                while (i < netsize || j >= 0)
                {
                    if (i < netsize)
                    {
                        const int* p = m_network[i];
                        const int dist = p[1] - g;
                        if (dist >= bestd)
                            i = netsize;
                        else
                        {
                            ++i;
                            consider(p, std::abs(dist));
                        }
                    }
                    if (j >= 0)
                    {
                        const int* p = m_network[j];
                        const int dist = g - p[1];
                        if (dist >= bestd)
                            j = -1;
                        else
                        {
                            --j;
                            consider(p, std::abs(dist));
                        }
                    }
                }
                return best;
            }

        private:
            void setRadpower(int rad, int alpha)
            {
                const int scale = (alpha << radbiasshift) / (rad * rad);
                int square = 0; // i * i as a running sum of odd numbers
                for (int i = 0; i < rad; ++i)
                {
                    m_radpower[i] = scale * (rad * rad - square);
                    square += 2 * i + 1;
                }
            }

            // The winner after frequency bias; the nearest neuron gains frequency.
            int contest(int b, int g, int r)
            {
                int bestd = 0x7FFFFFFF;
                int bestbiasd = 0x7FFFFFFF;
                int bestpos = -1;
                int bestbiaspos = -1;
                for (int i = 0; i < netsize; ++i)
                {
                    const int* n = m_network[i];
                    const int dist = std::abs(n[0] - b) + std::abs(n[1] - g) + std::abs(n[2] - r);
                    if (dist < bestd)
                    {
                        bestd = dist;
                        bestpos = i;
                    }
                    const int biasdist = dist - (m_bias[i] >> (intbiasshift - netbiasshift));
                    if (biasdist < bestbiasd)
                    {
                        bestbiasd = biasdist;
                        bestbiaspos = i;
                    }
                    const int betafreq = m_freq[i] >> betashift;
                    m_freq[i] -= betafreq;
                    m_bias[i] += betafreq << gammashift;
                }
                m_freq[bestpos] += beta;
                m_bias[bestpos] -= betagamma;
                return bestbiaspos;
            }

            // Moves a neuron's colour towards (b, g, r) by the fraction amount / 2^shift.
            static void moveTowards(int* n, int amount, int shift, int b, int g, int r)
            {
                n[0] -= ((n[0] - b) * amount) >> shift;
                n[1] -= ((n[1] - g) * amount) >> shift;
                n[2] -= ((n[2] - r) * amount) >> shift;
            }

            void alterNeighbours(int rad, int i, int b, int g, int r)
            {
                const int lo = std::max(i - rad, -1);
                const int hi = std::min(i + rad, netsize);
                int j = i + 1;
                int k = i - 1;
                int m = 1;
                while (j < hi || k > lo)
                {
                    const int a = m_radpower[m++];
                    if (j < hi)
                        moveTowards(m_network[j++], a, alpharadbshift, b, g, r);
                    if (k > lo)
                        moveTowards(m_network[k--], a, alpharadbshift, b, g, r);
                }
            }

            const u8* m_pixels;
            int m_lengthcount;
            int m_samplefac;

            int m_network[netsize][4];
            int m_netindex[256] = {};
            int m_bias[netsize];
            int m_freq[netsize];
            int m_radpower[initrad] = {};
        };

        inline u8 clampByte(int v)
        {
            return u8(std::clamp(v, 0, 255));
        }

    } // namespace

    void ColorQuantizer::quantize(Palette& palette, const Surface& dest, const Surface& source, const Options& options)
    {
        // min(1, q) first, so that a NaN quality becomes 1
        const float quality = std::max(0.0f, std::min(1.0f, options.quality));

        if (!dest.format.isIndexed())
        {
            NORVA_THROW("norva::image::ColorQuantizer::quantize",
                        "[ColorQuantizer] The destination surface must have indexed format.");
        }
        if (dest.width != source.width || dest.height != source.height)
        {
            NORVA_THROW("norva::image::ColorQuantizer::quantize",
                        "[ColorQuantizer] The destination and source dimensions must be identical.");
        }

        if (!Blitter(Format::BGRA8888, source.format).canConvert())
        {
            NORVA_THROW("norva::image::ColorQuantizer::quantize",
                        "[ColorQuantizer] The source format cannot be converted to colours.");
        }

        // the network counts bytes in an int: refuse before allocating the copy
        const int width = std::max(source.width, 0);
        const int height = std::max(source.height, 0);
        const u64 length = u64(width) * u64(height) * 4;
        if (length > u64(0x7FFFFFFF))
        {
            NORVA_THROW("norva::image::ColorQuantizer::quantize", "[ColorQuantizer] The image is too large (%d x %d).",
                        width, height);
        }

        Bitmap temp(width, height, Format::BGRA8888);
        (void)temp.blit(0, 0, source); // convertible, checked above

        const int samplefac = std::max(30 - int(quality * 29.0f + 1.0f), 1);

        // the network is about 10 KB: keep it off the caller's stack
        auto network = std::make_unique<Network>(temp.image, int(length), samplefac);
        network->learn();
        network->unbias();

        Palette result;
        network->writePalette(result);
        network->buildIndex();

        for (int y = 0; y < height; ++y)
        {
            u8* row = temp.address(0, y);
            u8* out = dest.address(0, y);
            for (int x = 0; x < width; ++x)
            {
                u8* p = row + x * 4;
                const int b = p[0];
                const int g = p[1];
                const int r = p[2];
                const int index = network->map(b, g, r);
                out[x] = u8(index);

                if (options.dithering && x < width - 1)
                {
                    const u32 color = result.color[index];
                    const int error[3] = { b - int(color & 0xFF), g - int((color >> 8) & 0xFF),
                                           r - int((color >> 16) & 0xFF) };
                    u8* right = p + 4;
                    for (int c = 0; c < 3; ++c)
                        right[c] = clampByte(right[c] + error[c] * 7 / 16);
                    if (y < height - 1)
                    {
                        u8* below = temp.address(x, y + 1);
                        for (int c = 0; c < 3; ++c)
                        {
                            if (x > 0)
                                below[c - 4] = clampByte(below[c - 4] + error[c] * 3 / 16);
                            below[c] = clampByte(below[c] + error[c] * 5 / 16);
                            below[c + 4] = clampByte(below[c + 4] + error[c] * 1 / 16);
                        }
                    }
                }
            }
        }

        palette = result;
    }

} // namespace norva::image
