#include "kx-services.h"
#include "platform_interface.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using nlohmann::json;

namespace {
json entry(const std::string& title, const std::string& path, const std::string& platform) {
    return {{"title", title}, {"processpath", path}, {"platform", platform}};
}

std::vector<std::string> titlesAndPlatforms(const std::vector<json>& v) {
    std::vector<std::string> out;
    for (const json& e : v)
        out.push_back(e.value("title", "") + "@" + e.value("platform", ""));
    return out;
}

// Runs `write` with pipeOut pointed at a temporary file and returns every byte written.
template <typename F> std::string capturePipeOut(F write) {
    FILE* previous = pipeOut;
    pipeOut = tmpfile();
    write();
    std::string bytes;
    rewind(pipeOut);
    for (int c; (c = fgetc(pipeOut)) != EOF;)
        bytes.push_back(char(c));
    fclose(pipeOut);
    pipeOut = previous;
    return bytes;
}
} // namespace

TEST(Dedup, SameTitleAndExecutableNameIgnoringAsciiCaseAndDirectory) {
    std::vector<json> v = {
        entry("Terminal", "/usr/bin/xterm", "wayland"),
        entry("terminal", "/opt/XTerm", "x11"),         // same key: title and base name fold to the same
        entry("Terminal", "/usr/bin/xterm-new", "x11"), // another executable: kept
        entry("Editor", "gedit", "wayland"),            // no directory at all
        entry("EDITOR", "/usr/bin/GEDIT", "x11"),
        entry("Éditeur", "/usr/bin/ed", "wayland"),
        entry("éditeur", "/usr/bin/ed", "x11"), // only ASCII letters fold
        entry("Terminal", "/usr/bin/xterm", "x11"),
    };
    dedup(v);
    EXPECT_EQ(titlesAndPlatforms(v),
              (std::vector<std::string>{"Terminal@wayland", "Terminal@x11", "Editor@wayland",
                                        "Éditeur@wayland", "éditeur@x11"}));
    // Survivors are moved unchanged, not lower-cased.
    EXPECT_EQ(v[0]["processpath"], "/usr/bin/xterm");
    EXPECT_EQ(v[1]["processpath"], "/usr/bin/xterm-new");
}

TEST(Dedup, AbsentMembersCountAsEmptyAndNonStringsThrow) {
    std::vector<json> v = {json::object(), {{"title", ""}, {"processpath", "/"}}, {{"platform", "x11"}}};
    dedup(v);
    EXPECT_EQ(v.size(), 1u); // "" and the base name of "/" are both empty
    std::vector<json> bad = {{{"title", 7}}};
    EXPECT_THROW(dedup(bad), json::type_error);
}

TEST(SortApplications, ByteOrderOfTitleThenPath) {
    std::vector<json> v = {
        entry("beta", "/b", "x11"),  entry("Zulu", "/z", "x11"), entry("alpha", "/b", "x11"),
        entry("alpha", "/a", "x11"), entry("", "/e", "x11"),     entry("\xc3\xa9t\xc3\xa9", "/u", "x11"),
        {{"processpath", "/0"}},
    };
    sortApplications(v);
    std::vector<std::string> order;
    for (const json& e : v)
        order.push_back(e.value("title", "") + "|" + e.value("processpath", ""));
    // Upper case before lower case, and UTF-8 lead bytes after ASCII: plain unsigned byte order.
    EXPECT_EQ(order, (std::vector<std::string>{"|/0", "|/e", "Zulu|/z", "alpha|/a", "alpha|/b", "beta|/b",
                                               "\xc3\xa9t\xc3\xa9|/u"}));
}

TEST(SortApplications, MalformedEntryThrowsAndLeavesTheListIntact) {
    std::vector<json> v = {entry("b", "/b", "x11"), {{"title", "a"}, {"processpath", json::array()}}};
    const std::vector<json> before = v;
    EXPECT_THROW(sortApplications(v), json::type_error);
    EXPECT_EQ(v, before);
}

TEST(WriteMessage, OneCompactSortedLineWithInvalidUtf8Replaced) {
    const std::string bytes = capturePipeOut([] {
        writeMessage({{"type", "t"}, {"data", {{"title", "caf\xe9 \xff"}, {"n", 1}}}, {"a", "\xc3\xa9"}});
    });
    EXPECT_EQ(bytes, "{\"a\":\"\xc3\xa9\",\"data\":{\"n\":1,\"title\":\"caf\xef\xbf\xbd "
                     "\xef\xbf\xbd\"},\"type\":\"t\"}\n");
}

TEST(Replies, DummyBackendAnswersWithEmptyListAndEmptyImage) {
    const std::string bytes = capturePipeOut([] {
        sendApplicationList();
        sendRegionScreenshot("id-1", {{"x", 0}, {"y", 0}, {"w", 10}, {"h", 10}});
        sendRegionScreenshot("", {{"x", 0}, {"y", 0}, {"w", 10}, {"h", 10}});
        EXPECT_THROW(sendRegionScreenshot("id-2", {{"x", 0}, {"y", 0}, {"w", 10}}), json::out_of_range);
    });
    EXPECT_EQ(bytes, "{\"data\":[],\"type\":\"listOfActiveProcesses\"}\n"
                     "{\"data\":{\"base64\":\"\"},\"type\":\"getRegionScreenshot\",\"uuid\":\"id-1\"}\n"
                     "{\"data\":{\"base64\":\"\"},\"type\":\"getRegionScreenshot\",\"uuid\":\"\"}\n");
}

// The screenshot reply is put together around the Base64 text, not serialised whole: it must still be
// the very bytes the serialiser writes, whatever uuid Velloran sent.
TEST(Replies, ScreenshotReplyIsTheSerialisersBytesForAnyUuid) {
    const auto saved = _captureRegion;
    _captureRegion = [](int32_t, int32_t, int32_t, int32_t) { return std::string("iVBORw0KGgo+/A=="); };
    const std::vector<std::string> uuids = {"id-1",
                                            "",
                                            "\"base64\":\"\"",
                                            "tab\tquote\"back\\slash",
                                            "bad \xff\xfe utf-8",
                                            std::string("nul\0in", 6)};
    std::string expected;
    const std::string bytes = capturePipeOut([&] {
        for (const std::string& uuid : uuids) {
            sendRegionScreenshot(uuid, {{"x", 0}, {"y", 0}, {"w", 1}, {"h", 1}});
            expected += json{{"type", "getRegionScreenshot"},
                             {"uuid", uuid},
                             {"data", {{"base64", "iVBORw0KGgo+/A=="}}}}
                            .dump(-1, ' ', false, json::error_handler_t::replace) +
                        "\n";
        }
    });
    _captureRegion = saved;
    EXPECT_EQ(bytes, expected);
}
