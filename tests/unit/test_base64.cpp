#include "platform_common.h"

#include <random>
#include <string>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>

namespace {
std::string encode(const std::string& s) {
    return base64Encode(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}
} // namespace

TEST(Base64Encode, Rfc4648TestVectors) {
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foo"), "Zm9v");
    EXPECT_EQ(encode("foob"), "Zm9vYg==");
    EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
    // High bits and the last two alphabet characters, which a signed-char slip would garble.
    EXPECT_EQ(encode(std::string("\xff\xff\xfe\xfb\xef\xbe", 6)), "///+++++");
    EXPECT_EQ(encode(std::string("\0\0", 2)), "AAA=");
}

TEST(Base64Encode, RoundTripsEveryLengthThroughAnIndependentDecoder) {
    std::mt19937 rng(12345);
    std::vector<unsigned char> bytes;
    for (size_t len = 0; len <= 600; ++len) {
        bytes.resize(len);
        for (auto& b : bytes)
            b = static_cast<unsigned char>(rng());
        const std::string text = base64Encode(bytes.data(), bytes.size());
        ASSERT_EQ(text.size(), 4 * ((len + 2) / 3)) << "length " << len;
        ASSERT_EQ(text.find_first_of("\r\n"), std::string::npos);
        gsize decodedLen = 0;
        guchar* decoded = g_base64_decode(text.c_str(), &decodedLen);
        ASSERT_EQ(decodedLen, len);
        EXPECT_TRUE(len == 0 || std::equal(bytes.begin(), bytes.end(), decoded)) << "length " << len;
        g_free(decoded);
    }
}
