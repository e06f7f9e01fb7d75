#include "kx-services.h"
#include "platform_common.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using nlohmann::json;

namespace {
struct Read {
    LineStatus status;
    std::string line;
    bool operator==(const Read& o) const { return status == o.status && line == o.line; }
};

std::ostream& operator<<(std::ostream& os, const Read& r) {
    const char* names[] = {"Line", "TooLong", "End"};
    return os << names[int(r.status)] << ":'" << r.line << "'";
}

// Feeds `input` through a real stream and collects every read up to and including End.
std::vector<Read> readAll(const std::string& input, size_t maxLength) {
    FILE* f = tmpfile();
    fwrite(input.data(), 1, input.size(), f);
    rewind(f);
    std::vector<Read> reads;
    std::string line = "stale";
    for (;;) {
        const LineStatus status = readCommandLine(f, line, maxLength);
        reads.push_back({status, status == LineStatus::Line ? line : ""});
        if (status == LineStatus::End || reads.size() > 100) break;
    }
    fclose(f);
    return reads;
}
} // namespace

// Lines come back as received, newline included, so parse errors point where the sender's text has them.
TEST(ReadCommandLine, SplitsOnNewlineOnly) {
    using S = LineStatus;
    EXPECT_EQ(readAll("", 8), (std::vector<Read>{{S::End, ""}}));
    EXPECT_EQ(readAll("a\n\nb\r\n", 8),
              (std::vector<Read>{{S::Line, "a\n"}, {S::Line, "\n"}, {S::Line, "b\r\n"}, {S::End, ""}}));
    // A last line without its newline is still a line.
    EXPECT_EQ(readAll("a\nlast", 8), (std::vector<Read>{{S::Line, "a\n"}, {S::Line, "last"}, {S::End, ""}}));
    // NUL bytes are data here; the JSON parse stops at them later.
    EXPECT_EQ(readAll(std::string("x\0y\n", 4), 8),
              (std::vector<Read>{{S::Line, std::string("x\0y\n", 4)}, {S::End, ""}}));
}

TEST(ReadCommandLine, OverlongLineIsDiscardedWholeAndReadingResumes) {
    using S = LineStatus;
    EXPECT_EQ(readAll("12345678\n123456789\nok\n", 8),
              (std::vector<Read>{{S::Line, "12345678\n"}, {S::TooLong, ""}, {S::Line, "ok\n"}, {S::End, ""}}));
    EXPECT_EQ(readAll("123456789", 8), (std::vector<Read>{{S::TooLong, ""}, {S::End, ""}}));

    // At the real limit: a line of exactly 1 MiB is kept, one byte more is not.
    const std::string limit(MAX_COMMAND_LINE, 'x');
    const auto reads = readAll(limit + "\n" + limit + "y\n{}\n", MAX_COMMAND_LINE);
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[0].status, S::Line);
    EXPECT_EQ(reads[0].line.size(), MAX_COMMAND_LINE + 1);
    EXPECT_EQ(reads[1], (Read{S::TooLong, ""}));
    EXPECT_EQ(reads[2], (Read{S::Line, "{}\n"}));
}

TEST(ReadInt32Member, ConvertsLikeTheWireFormatPromises) {
    const json data = json::parse(R"({"frac": 65.9, "negfrac": -65.9, "big": 4294967297, "min": 2147483648,
        "below": -2147483649, "huge": 18446744073709551615, "neg": -5, "t": true, "f": false,
        "hugefloat": 1e30, "wrapfloat": 4294967296.5, "negfloat": -4294967297.0})");
    EXPECT_EQ(readInt32Member(data, "frac"), 65);
    EXPECT_EQ(readInt32Member(data, "negfrac"), -65);
    EXPECT_EQ(readInt32Member(data, "big"), 1);
    EXPECT_EQ(readInt32Member(data, "min"), INT32_MIN);
    EXPECT_EQ(readInt32Member(data, "below"), INT32_MAX);
    EXPECT_EQ(readInt32Member(data, "huge"), -1);
    EXPECT_EQ(readInt32Member(data, "neg"), -5);
    EXPECT_EQ(readInt32Member(data, "t"), 1);
    EXPECT_EQ(readInt32Member(data, "f"), 0);
    // Floats beyond the int range wrap like integers instead of hitting an undefined cast.
    EXPECT_EQ(readInt32Member(data, "hugefloat"), 0);
    EXPECT_EQ(readInt32Member(data, "wrapfloat"), 0);
    EXPECT_EQ(readInt32Member(data, "negfloat"), -1);
}

TEST(ReadInt32Member, RejectsWhatIsNotANumber) {
    const json data = json::parse(R"({"s": "65", "n": null, "a": [1], "o": {"v": 1}})");
    for (const char* name : {"s", "n", "a", "o"})
        EXPECT_THROW(readInt32Member(data, name), json::type_error) << name;
    EXPECT_THROW(readInt32Member(data, "missing"), json::out_of_range);
    EXPECT_THROW(readInt32Member(json(), "x"), json::type_error);
    EXPECT_THROW(readInt32Member(json::array({1}), "x"), json::type_error);
    EXPECT_THROW(readInt32Member(json{{"inf", std::numeric_limits<double>::infinity()}}, "inf"),
                 std::out_of_range);
}
