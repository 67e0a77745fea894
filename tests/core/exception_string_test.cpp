#include <gtest/gtest.h>

#include <norva/core/exception.hpp>
#include <norva/core/string.hpp>

using namespace norva;

TEST(Exception, CarriesMessageFunctionFileAndLine)
{
    int line = 0;
    try
    {
        line = __LINE__ + 1;
        NORVA_THROW("norva::Example::run", "[Example] value %d out of range.", 7);
        FAIL() << "no throw";
    }
    catch (const std::exception& e)
    {
        // what() is the message alone
        EXPECT_STREQ(e.what(), "[Example] value 7 out of range.");
        const auto& n = dynamic_cast<const Exception&>(e);
        EXPECT_EQ(n.getFunction(), "norva::Example::run");
        EXPECT_NE(n.getFile().find("exception_string_test.cpp"), std::string::npos);
        EXPECT_EQ(n.getLine(), line);

        Exception copy = n;
        EXPECT_STREQ(copy.what(), e.what());
        EXPECT_EQ(copy.getLine(), n.getLine());
    }
}

TEST(MakeString, CutsAt511Characters)
{
    std::string long600(600, 'x');
    for (int i = 0; i < 600; ++i)
    {
        long600[i] = char('a' + i % 26);
    }
    std::string s = makeString("%s", long600.c_str());
    EXPECT_EQ(s.size(), 511u);
    EXPECT_EQ(s, long600.substr(0, 511));
    EXPECT_EQ(makeString("%s", std::string(511, 'y').c_str()).size(), 511u);
    EXPECT_EQ(makeString("%d-%s", 42, "ok"), "42-ok");
    EXPECT_EQ(makeString("%s", ""), "");
    // a character the C locale cannot encode makes the formatter fail: nothing half-written comes back
    EXPECT_EQ(makeString("ab%ls", L"\u20AC"), "");
}

TEST(Strings, LowerAndEraseFirst)
{
    EXPECT_EQ(toLower("Data/Pack.ZIP/Tex\xC3\x89"), "data/pack.zip/tex\xC3\x89");
    EXPECT_EQ(eraseFirst("a/b/a/", "a/"), "b/a/");
    EXPECT_EQ(eraseFirst("abc", "x"), "abc");
    EXPECT_EQ(eraseFirst("abc", "abc"), "");
}

TEST(Utf, Utf8ToUtf16Cases)
{
    struct Case
    {
        std::string input;
        std::u16string expected;
    };
    const Case cases[] = {
        { "\x61\x80\x62", u"ab" },                        // stray continuation byte skipped
        { "\x61\xC3\x28\x62", u"a" },                     // broken continuation ends the conversion
        { "\xF0\x9F\x98\x80", { 0xD83D, 0xDE00 } },       // U+1F600 becomes a surrogate pair
        { "a\xF4\x90\x80\x80" "b", u"ab" },               // above U+10FFFF dropped, reading goes on
        { "\xFF\xF8z", u"z" },                            // bytes that lead nothing skipped
        { "\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC" },      // two and three byte forms
        { std::string("ab\0cd", 5), u"ab" },              // stops at an embedded zero
        { "\xE2\x82", u"" },                              // truncated sequence
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(utf8ToUtf16(c.input), c.expected) << c.input;
    }
}

TEST(Utf, Utf16ToUtf8JoinsSurrogatePairs)
{
    // expected bytes from Python: bytes(units, "utf-16-le").decode(errors="replace").encode()
    // (iconv gives the same for the pairs)
    struct Case
    {
        const char* name;
        std::u16string input;
        std::string expected;
    };
    const Case cases[] = {
        { "BMP", { 0x61, 0xE9, 0x20AC, 0xFFFD, 0xFFFF }, "a\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBD\xEF\xBF\xBF" },
        { "U+1F600", { 0xD83D, 0xDE00 }, "\xF0\x9F\x98\x80" },
        { "U+10000", { 0xD800, 0xDC00 }, "\xF0\x90\x80\x80" },
        { "U+10FFFF", { 0xDBFF, 0xDFFF }, "\xF4\x8F\xBF\xBF" },
        { "lone high at the end", { 0x61, 0xD83D }, "a\xEF\xBF\xBD" },
        { "lone high before a BMP unit", { 0xD83D, 0x62 }, "\xEF\xBF\xBD" "b" },
        { "lone low", { 0x61, 0xDE00, 0x62 }, "a\xEF\xBF\xBD" "b" },
        { "high, high, low", { 0xD83D, 0xD83D, 0xDE00 }, "\xEF\xBF\xBD\xF0\x9F\x98\x80" },
        { "low, high", { 0xDE00, 0xD83D }, "\xEF\xBF\xBD\xEF\xBF\xBD" },
        { "high before the zero", std::u16string(u"\xD83D\0\xDE00", 3), "\xEF\xBF\xBD" },
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(utf16ToUtf8(c.input), c.expected) << c.name;
    }

    EXPECT_EQ(utf16ToUtf8(u"a\u00E9\u20AC"), "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(utf16ToUtf8(std::u16string(u"ab\0cd", 5)), "ab");
    EXPECT_EQ(utf16ToUtf8(u"\u007F\u0080\u07FF\u0800"), "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80");

    // every BMP unit outside the surrogates survives the round trip
    std::u16string all;
    for (char32_t u = 1; u < 0x10000; ++u)
    {
        if (u < 0xD800 || u > 0xDFFF)
        {
            all.push_back(char16_t(u));
        }
    }
    EXPECT_EQ(utf8ToUtf16(utf16ToUtf8(all)), all);

    // and so does every code point beyond it, pair in, pair out
    std::u16string pairs;
    for (char32_t cp = 0x10000; cp <= 0x10FFFF; cp += 0x3F)
    {
        pairs.push_back(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
        pairs.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    }
    const std::string utf8 = utf16ToUtf8(pairs);
    EXPECT_EQ(utf8.size(), 2 * pairs.size());
    EXPECT_EQ(utf8ToUtf16(utf8), pairs);
}
