// Native side of app.WindowsFuncJNI: each export turns one Java call into one or two synthetic keyboard
// events. The library keeps no state, so the exports may be called from any Java thread.

// Generated from the Java class by javac -h; defining the exports against it turns any drift of a name or
// parameter list into a build error.
#include "app_WindowsFuncJNI.h"

#include <windows.h>

// The C runtime's start-up code calls DllMain by its C name.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

namespace {

// Media and sleep keys are only ever tapped: down and straight up again, flagged extended as keyboards
// report them. The scan code repeats the key number; it is not a hardware scan code.
void tapExtendedKey(BYTE vk) {
    keybd_event(vk, vk, KEYEVENTF_EXTENDEDKEY, 0);
    keybd_event(vk, vk, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
}

// Scan code and extra info stay zero; a zero time lets the system stamp the event.
void sendVirtualKey(jbyte key, DWORD flags) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    // Java has no unsigned byte, so codes 0x80 to 0xFF (left/right Shift, Control and Alt, punctuation,
    // media keys) arrive negative. Widened with sign they would become 0xFF80 and up, which Windows does not
    // take as a virtual key.
    input.ki.wVk = static_cast<WORD>(static_cast<unsigned char>(key));
    input.ki.dwFlags = flags;
    SendInput(1, &input, sizeof(INPUT));
}

} // namespace

JNIEXPORT void JNICALL Java_app_WindowsFuncJNI_doMediaVolumeDown(JNIEnv*, jclass) {
    tapExtendedKey(VK_VOLUME_DOWN);
}

JNIEXPORT void JNICALL Java_app_WindowsFuncJNI_doMediaVolumeUp(JNIEnv*, jclass) {
    tapExtendedKey(VK_VOLUME_UP);
}

JNIEXPORT void JNICALL Java_app_WindowsFuncJNI_doMediaVolumeMute(JNIEnv*, jclass) {
    tapExtendedKey(VK_VOLUME_MUTE);
}

JNIEXPORT void JNICALL Java_app_WindowsFuncJNI_doMediaNextTrack(JNIEnv*, jclass) {
    tapExtendedKey(VK_MEDIA_NEXT_TRACK);
}

JNIEXPORT void JNICALL Java_app_WindowsFuncJNI_doMediaPreviousTrack(JNIEnv*, jclass) {
    tapExtendedKey(VK_MEDIA_PREV_TRACK);
}

JNIEXPORT void JNICALL Java_app_WindowsFuncJNI_doMediaStop(JNIEnv*, jclass) {
    tapExtendedKey(VK_MEDIA_STOP);
}

JNIEXPORT void JNICALL Java_app_WindowsFuncJNI_doMediaPlayPause(JNIEnv*, jclass) {
    tapExtendedKey(VK_MEDIA_PLAY_PAUSE);
}

JNIEXPORT void JNICALL Java_app_WindowsFuncJNI_doComputerSleep(JNIEnv*, jclass) {
    tapExtendedKey(VK_SLEEP);
}

JNIEXPORT void JNICALL Java_app_WindowsFuncJNI_doKeyPressDown(JNIEnv*, jclass, jbyte key) {
    sendVirtualKey(key, 0);
}

JNIEXPORT void JNICALL Java_app_WindowsFuncJNI_doKeyPressUp(JNIEnv*, jclass, jbyte key) {
    sendVirtualKey(key, KEYEVENTF_KEYUP);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
