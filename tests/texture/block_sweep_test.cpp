// Every block codec in the table, fed random, all-zero and all-one blocks: it reads only its
// block (each lies at the end of its own allocation, so the sanitizers see any over-read),
// writes every texel of its block and nothing between or beyond the rows. The whole-image
// PVRTC codec takes its row's block as an image: one word (4 x 4 or 8 x 4 texels), or the
// sRGB rows' 8 x 8 of two or four words.

#include <memory>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include <norva/image/texture.hpp>

using namespace norva;
using TC = TextureCompression;

TEST(BlockCodecs, RandomAndExtremeBlocksStayInsideTheirBlock)
{
    std::mt19937 random(22);
    int codecs = 0;
    std::set<TC> seen;
    for (const TextureCompressionInfo& info : getTextureCompressionTable())
    {
        if (!info.decode)
            continue;
        SCOPED_TRACE(::testing::Message() << std::hex << info.code());
        ++codecs;
        seen.insert(info.compression);

        const int rowBytes = info.width * info.format.bytes();
        const int gap = 16; // untouched bytes after each row and before the first
        const int stride = rowBytes + gap;
        const size_t size = size_t(stride) * info.height + gap;

        for (int n = 0; n < 2002; ++n)
        {
            std::unique_ptr<u8[]> block(new u8[info.bytes]);
            for (int i = 0; i < info.bytes; ++i)
                block[i] = n == 0 ? 0x00 : n == 1 ? 0xFF : u8(random());

            // two fills: a texel the codec skipped keeps its fill and the two results differ
            std::vector<u8> out[2];
            for (int f = 0; f < 2; ++f)
            {
                const u8 fill = f ? 0xA5 : 0x5A;
                out[f].assign(size, fill);
                // bottom-up through a negative stride on the second pass
                u8* first = f ? out[f].data() + gap + size_t(stride) * (info.height - 1) : out[f].data() + gap;
                info.decode(info, first, block.get(), f ? -stride : stride);
                for (int y = 0; y <= info.height; ++y)
                {
                    const size_t begin = y ? size_t(stride) * (y - 1) + gap + rowBytes : 0;
                    for (size_t i = begin; i < begin + gap; ++i)
                        ASSERT_EQ(out[f][i], fill) << "wrote outside the block, row " << y << " byte " << i;
                }
            }
            for (int y = 0; y < info.height; ++y)
            {
                const u8* a = out[0].data() + gap + size_t(stride) * y;
                const u8* b = out[1].data() + gap + size_t(stride) * (info.height - 1 - y);
                ASSERT_TRUE(std::equal(a, a + rowBytes, b)) << "block " << n << " row " << y;
            }
        }
    }
    // the BC1-BC5, ATC, 3DC, packed, ETC/EAC, BPTC and PVRTC rows at least
    EXPECT_GE(codecs, 47);
    for (TC code : { TC::ETC1_RGB, TC::ETC2_RGB, TC::ETC2_RGB_ALPHA1, TC::ETC2_RGBA, TC::EAC_R11, TC::EAC_SIGNED_RG11,
                     TC::BPTC_RGB_UNSIGNED_FLOAT, TC::BPTC_RGB_SIGNED_FLOAT, TC::BPTC_RGBA_UNORM, TC::PVRTC_RGB_4BPP,
                     TC::PVRTC_RGBA_2BPP, TC::PVRTC_SRGB_4BPP, TC::PVRTC_SRGB_ALPHA_2BPP })
        EXPECT_TRUE(seen.count(code)) << std::hex << u32(code);
}
