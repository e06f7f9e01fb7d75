#pragma once

// A service whose key injection is under test: what it logged for a batch of commands, without the
// lines the focus monitor writes at any time.

#include "event_log.h"
#include "key_tables.h"
#include "service_harness.h"

#include <algorithm>

namespace it {

class KeyServiceTest : public ServiceTest {
  protected:
    // Sends `text` (one or more lines) and returns the key injection's lines logged for it: those of
    // the backends and the command reader's error lines.
    Logged send(const std::string& text) {
        const std::string marker = "Unknown type: marker-" + std::to_string(++markers);
        Logged logged;
        if (!kx::sendLine(conn, text + "\n{\"type\":\"" + marker.substr(14) + "\"}")) {
            ADD_FAILURE() << "the service does not read; it logged " << testing::PrintToString(service.err());
            return logged;
        }
        EXPECT_TRUE(waitFor([&] { return contains(service.err(), marker); }, 120000)) << marker;
        logged.out = pick(service.out(), outSeen, "\n"); // to the end: no line holds a newline
        logged.err = pick(service.err(), errSeen, marker);
        ++errSeen;
        return logged;
    }

    // A new service, maybe of another user, in place of the running one, with pipes of its own.
    void restart(uid_t uid, const std::vector<std::string>& env,
                 const std::function<void()>& beforeExec = {}) {
        kx::disconnect(conn);
        service.kill();
        ASSERT_TRUE(harness::run({"rm", "-rf", PIPE_DIR}, harness::baseEnv()).ok());
        startConnected(uid, env, beforeExec);
        ASSERT_FALSE(HasFatalFailure()) << "the service logged " << testing::PrintToString(service.err());
    }

    // Start-up wrote `lines` to standard error, one after the other; now key commands get `refusal`
    // and nothing else, while a list and a capture are still answered.
    void expectKeysRefused(const std::vector<std::string>& lines, const std::string& refusal) {
        const std::string what = lines.empty() ? "" : lines.front();
        const std::vector<std::string> err = service.err();
        EXPECT_NE(std::search(err.begin(), err.end(), lines.begin(), lines.end()), err.end()) << what;
        const Logged logged =
            send(key(true, 0x41, 1) + "\n" + key(false, 0x02, 3) + "\n" + key(true, 0x88, 2));
        EXPECT_EQ(logged.out, std::vector<std::string>{}) << what;
        EXPECT_EQ(logged.err, (std::vector<std::string>{refusal, refusal, refusal})) << what;
        nlohmann::json entries;
        EXPECT_TRUE(kx::requestApplicationList(conn, entries, TIMEOUT_MS)) << what;
        std::string png;
        EXPECT_TRUE(kx::requestRegionScreenshot(conn, 0, 0, 8, 8, png, TIMEOUT_MS)) << what;
        EXPECT_TRUE(service.running()) << what;
    }

    // The key events `log` saw once there are as many as `expected`, which they must equal; the log is
    // emptied for the next batch. The wait only guards against a hang (a slow guest, a loaded machine).
    template <typename Event>
    static void expectLogged(harness::EventLog<Event>& log, const std::vector<Event>& expected,
                             const std::string& what = "") {
        ASSERT_TRUE(log.waitForCount(expected.size(), 60000)) << log.all().size() << " events " << what;
        EXPECT_EQ(log.all(), expected) << what;
        log.clear();
    }

    static std::string key(bool down, int64_t value, int type) {
        return std::string(R"({"type":")") + (down ? "keyDown" : "keyUp") + R"(","data":{"keyValue":)" +
               std::to_string(value) + R"(,"keyType":)" + std::to_string(type) + "}}";
    }

    // How a table-driven test sends `code` of `space`: junk above the low byte, which both backends
    // drop, and for vk each keyType that selects it in turn.
    static int keyTypeFor(KeySpace space, int code) {
        const int vkTypes[] = {1, 0, 4, -1};
        return space == KeySpace::SET1 ? 3 : space == KeySpace::VIRTUAL ? 2 : vkTypes[code % 4];
    }
    static int64_t keyValueFor(int code) { return code + 256 * (code % 3 - 1); }

    // The evdev side of the tables, without the F25-F32 line.
    static int evdevOf(KeySpace space, uint8_t code) {
        return space == KeySpace::SET1      ? set1ToEvdev(code)
               : space == KeySpace::VIRTUAL ? int(lookupKey(VIRTUAL_EVDEV, code, -1))
                                            : vkToEvdev(code);
    }

  private:
    static std::vector<std::string> pick(const std::vector<std::string>& all, size_t& seen,
                                         const std::string& until) {
        std::vector<std::string> picked;
        for (; seen < all.size() && all[seen] != until; ++seen)
            for (const char* prefix : {"[x11]", "[Wayland]", "[WayLand]", "Linux Services"})
                if (all[seen].rfind(prefix, 0) == 0) picked.push_back(all[seen]);
        return picked;
    }
};

} // namespace it
