// Loads VelloranLib2.dll from this program's folder, calls every export as the JVM would (no environment,
// no class) and checks each keyboard event that reaches a low-level keyboard hook. The hook swallows every
// event, so nothing is pressed on the desktop and no key stays down.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using NoArgExport = void(WINAPI*)(void*, void*);
using ByteArgExport = void(WINAPI*)(void*, void*, signed char);

struct KeyEvent {
    DWORD vk;
    DWORD scan;
    DWORD flags;
    ULONG_PTR extraInfo;
    WPARAM message;
};

// Each call's events end where this marker, injected after it, arrives: no fixed waits, and a stray or
// missing event shows up as a wrong count.
constexpr ULONG_PTR MARKER = 0x4b58;
constexpr DWORD MARKER_VK = VK_F24;
constexpr DWORD EVENT_WAIT_MS = 5000;

constexpr DWORD INJ = LLKHF_INJECTED;
constexpr DWORD EXT = LLKHF_EXTENDED;
constexpr DWORD UP = LLKHF_UP;

CRITICAL_SECTION g_lock;
std::vector<KeyEvent> g_events;
HANDLE g_markerSeen;
HANDLE g_hookReady;
DWORD g_hookError;
int g_failures;
int g_eventsChecked;

LRESULT CALLBACK onKeyboardEvent(int code, WPARAM message, LPARAM data) {
    if (code != HC_ACTION) return CallNextHookEx(nullptr, code, message, data);
    const auto* key = reinterpret_cast<const KBDLLHOOKSTRUCT*>(data);
    if (key->dwExtraInfo == MARKER && key->vkCode == MARKER_VK) {
        SetEvent(g_markerSeen);
    } else {
        EnterCriticalSection(&g_lock);
        g_events.push_back({key->vkCode, key->scanCode, key->flags, key->dwExtraInfo, message});
        LeaveCriticalSection(&g_lock);
    }
    return 1;
}

// Low-level hooks are called on the installing thread while it waits for messages, so the hook gets a
// thread of its own and the main thread stays free to call the exports and wait.
DWORD WINAPI hookThread(LPVOID) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // the queue must exist before WM_QUIT can be posted
    HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, onKeyboardEvent, GetModuleHandleW(nullptr), 0);
    g_hookError = hook ? 0 : GetLastError();
    SetEvent(g_hookReady);
    if (!hook) return 1;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    }
    UnhookWindowsHookEx(hook);
    return 0;
}

void fail(const std::string& what) {
    std::printf("FAIL %s\n", what.c_str());
    ++g_failures;
}

std::string hex(unsigned long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", value);
    return text;
}

template <typename Call> std::vector<KeyEvent> eventsOf(const std::string& name, Call call) {
    EnterCriticalSection(&g_lock);
    g_events.clear();
    LeaveCriticalSection(&g_lock);
    ResetEvent(g_markerSeen);

    call();
    INPUT marker = {};
    marker.type = INPUT_KEYBOARD;
    marker.ki.wVk = MARKER_VK;
    marker.ki.dwFlags = KEYEVENTF_KEYUP;
    marker.ki.dwExtraInfo = MARKER;
    if (SendInput(1, &marker, sizeof(INPUT)) != 1) fail(name + ": SendInput of the end marker failed");
    if (WaitForSingleObject(g_markerSeen, EVENT_WAIT_MS) != WAIT_OBJECT_0)
        fail(name + ": the hook saw no end marker within " + std::to_string(EVENT_WAIT_MS) + " ms");

    EnterCriticalSection(&g_lock);
    std::vector<KeyEvent> events = g_events;
    LeaveCriticalSection(&g_lock);
    return events;
}

void expectEvents(const std::string& name, const std::vector<KeyEvent>& got,
                  const std::vector<KeyEvent>& want) {
    if (got.size() != want.size()) {
        fail(name + ": " + std::to_string(got.size()) + " events, expected " + std::to_string(want.size()));
        for (const KeyEvent& e : got)
            std::printf("     seen vk=%s scan=%s flags=%s\n", hex(e.vk).c_str(), hex(e.scan).c_str(),
                        hex(e.flags).c_str());
        return;
    }
    g_eventsChecked += static_cast<int>(got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const std::string at = name + ": event " + std::to_string(i + 1) + ": ";
        const KeyEvent& g = got[i];
        const KeyEvent& w = want[i];
        if (g.vk != w.vk) fail(at + "virtual key " + hex(g.vk) + ", expected " + hex(w.vk));
        if (g.scan != w.scan) fail(at + "scan code " + hex(g.scan) + ", expected " + hex(w.scan));
        if (g.flags != w.flags) fail(at + "flags " + hex(g.flags) + ", expected " + hex(w.flags));
        if (g.extraInfo != 0) fail(at + "extra info " + hex(g.extraInfo) + ", expected 0");
        const bool upMessage = g.message == WM_KEYUP || g.message == WM_SYSKEYUP;
        if (upMessage != ((w.flags & UP) != 0))
            fail(at + "message " + hex(g.message) + " is the wrong direction");
    }
}

template <typename Call>
void expectCall(const std::string& name, Call call, const std::vector<KeyEvent>& want) {
    expectEvents(name, eventsOf(name, call), want);
}

KeyEvent event(DWORD vk, DWORD scan, DWORD flags) {
    return {vk, scan, flags, 0, 0};
}

std::vector<KeyEvent> tap(DWORD vk) {
    return {event(vk, vk, EXT | INJ), event(vk, vk, EXT | INJ | UP)};
}

template <typename Export> Export find(HMODULE dll, const char* name) {
    auto proc = reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    if (!proc) fail(std::string("GetProcAddress(") + name + ")");
    return proc;
}

void checkMediaKeys(HMODULE dll) {
    const struct {
        const char* name;
        DWORD vk;
    } taps[] = {
        {"Java_app_WindowsFuncJNI_doMediaVolumeDown", VK_VOLUME_DOWN},
        {"Java_app_WindowsFuncJNI_doMediaVolumeUp", VK_VOLUME_UP},
        {"Java_app_WindowsFuncJNI_doMediaVolumeMute", VK_VOLUME_MUTE},
        {"Java_app_WindowsFuncJNI_doMediaNextTrack", VK_MEDIA_NEXT_TRACK},
        {"Java_app_WindowsFuncJNI_doMediaPreviousTrack", VK_MEDIA_PREV_TRACK},
        {"Java_app_WindowsFuncJNI_doMediaStop", VK_MEDIA_STOP},
        {"Java_app_WindowsFuncJNI_doMediaPlayPause", VK_MEDIA_PLAY_PAUSE},
        {"Java_app_WindowsFuncJNI_doComputerSleep", VK_SLEEP},
    };
    for (const auto& t : taps) {
        auto call = find<NoArgExport>(dll, t.name);
        if (!call) continue;
        const auto callJava = [&] { call(nullptr, nullptr); };
        expectCall(t.name, callJava, tap(t.vk));
    }
}

void checkKeyDownUp(HMODULE dll) {
    auto down = find<ByteArgExport>(dll, "Java_app_WindowsFuncJNI_doKeyPressDown");
    auto up = find<ByteArgExport>(dll, "Java_app_WindowsFuncJNI_doKeyPressUp");
    if (!down || !up) return;

    expectCall("doKeyPressDown(0x41)", [&] { down(nullptr, nullptr, 0x41); }, {event(0x41, 0, INJ)});
    expectCall("doKeyPressUp(0x41)", [&] { up(nullptr, nullptr, 0x41); }, {event(0x41, 0, INJ | UP)});
    expectCall("doKeyPressUp(0x42) with no key-down before it", [&] { up(nullptr, nullptr, 0x42); },
               {event(0x42, 0, INJ | UP)});

    // Every valid virtual key, above all those from 0x80 up that Java passes as negative bytes
    // (0xA0 left Shift is -96, 0xAD volume mute is -83).
    for (int code = 0x01; code <= 0xfe; ++code) {
        const auto key = static_cast<signed char>(code);
        const auto downThenUp = [&] {
            down(nullptr, nullptr, key);
            up(nullptr, nullptr, key);
        };
        expectCall("key " + hex(code) + " (byte " + std::to_string(key) + ") down then up", downThenUp,
                   {event(code, 0, INJ), event(code, 0, INJ | UP)});
    }
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dllPath(path, length);
    dllPath = dllPath.substr(0, dllPath.find_last_of(L"\\/") + 1) + L"VelloranLib2.dll";

    // A DllMain that refused to attach would make LoadLibrary fail.
    HMODULE dll = LoadLibraryW(dllPath.c_str());
    if (!dll) {
        std::printf("FAIL LoadLibrary(VelloranLib2.dll) from this program's folder: error %lu\n",
                    GetLastError());
        return 1;
    }

    InitializeCriticalSection(&g_lock);
    g_markerSeen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_hookReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD hookThreadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, hookThread, nullptr, 0, &hookThreadId);
    if (!thread || WaitForSingleObject(g_hookReady, EVENT_WAIT_MS) != WAIT_OBJECT_0 || g_hookError) {
        std::printf("FAIL installing the low-level keyboard hook: error %lu\n", g_hookError);
        return 1;
    }

    checkMediaKeys(dll);
    checkKeyDownUp(dll);

    PostThreadMessageW(hookThreadId, WM_QUIT, 0, 0);
    WaitForSingleObject(thread, EVENT_WAIT_MS);
    if (!FreeLibrary(dll)) fail("FreeLibrary");

    std::printf("%s: %d events checked, %d failure(s)\n", g_failures ? "FAILED" : "passed", g_eventsChecked,
                g_failures);
    return g_failures ? 1 : 0;
}
