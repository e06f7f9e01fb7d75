#include "key_tables.h"

#include "platform_common.h"

#include <linux/input-event-codes.h>

// Only the keysym names; nothing of Xlib is linked into the core.
#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

namespace {

template <size_t N> constexpr KeyTable table(const KeyEntry (&entries)[N]) {
    return KeyTable{entries, N};
}

// The punctuation rows carry the symbols a US layout prints on those keys; the X11 backend finds the
// key of the current layout that produces them.
const KeyEntry VK_KEYSYM_ENTRIES[] = {
    {0x08, XK_BackSpace},    {0x09, XK_Tab},          {0x0D, XK_Return},      {0x10, XK_Shift_L},
    {0x11, XK_Control_L},    {0x12, XK_Alt_L},        {0x13, XK_Pause},       {0x14, XK_Caps_Lock},
    {0x1B, XK_Escape},       {0x20, XK_space},        {0x21, XK_Page_Up},     {0x22, XK_Page_Down},
    {0x23, XK_End},          {0x24, XK_Home},         {0x25, XK_Left},        {0x26, XK_Up},
    {0x27, XK_Right},        {0x28, XK_Down},         {0x2C, XK_Print},       {0x2D, XK_Insert},
    {0x2E, XK_Delete},       {0x5B, XK_Super_L},      {0x5C, XK_Super_R},     {0x5D, XK_Menu},
    {0x60, XK_KP_0},         {0x61, XK_KP_1},         {0x62, XK_KP_2},        {0x63, XK_KP_3},
    {0x64, XK_KP_4},         {0x65, XK_KP_5},         {0x66, XK_KP_6},        {0x67, XK_KP_7},
    {0x68, XK_KP_8},         {0x69, XK_KP_9},         {0x6A, XK_KP_Multiply}, {0x6B, XK_KP_Add},
    {0x6C, XK_KP_Separator}, {0x6D, XK_KP_Subtract},  {0x6E, XK_KP_Decimal},  {0x6F, XK_KP_Divide},
    {0x70, XK_F1},           {0x71, XK_F2},           {0x72, XK_F3},          {0x73, XK_F4},
    {0x74, XK_F5},           {0x75, XK_F6},           {0x76, XK_F7},          {0x77, XK_F8},
    {0x78, XK_F9},           {0x79, XK_F10},          {0x7A, XK_F11},         {0x7B, XK_F12},
    {0x90, XK_Num_Lock},     {0x91, XK_Scroll_Lock},  {0xA0, XK_Shift_L},     {0xA1, XK_Shift_R},
    {0xA2, XK_Control_L},    {0xA3, XK_Control_R},    {0xA4, XK_Alt_L},       {0xA5, XK_Alt_R},
    {0xBA, XK_semicolon},    {0xBB, XK_equal},        {0xBC, XK_comma},       {0xBD, XK_minus},
    {0xBE, XK_period},       {0xBF, XK_slash},        {0xC0, XK_grave},       {0xDB, XK_bracketleft},
    {0xDC, XK_backslash},    {0xDD, XK_bracketright}, {0xDE, XK_apostrophe},  {0xE2, XK_less},
};

const KeyEntry VIRTUAL_KEYSYM_ENTRIES[] = {
    {0x5D, XK_Menu}, {0x7C, XK_F13}, {0x7D, XK_F14}, {0x7E, XK_F15}, {0x7F, XK_F16}, {0x80, XK_F17},
    {0x81, XK_F18},  {0x82, XK_F19}, {0x83, XK_F20}, {0x84, XK_F21}, {0x85, XK_F22}, {0x86, XK_F23},
    {0x87, XK_F24},  {0x88, XK_F25}, {0x89, XK_F26}, {0x8A, XK_F27}, {0x8B, XK_F28}, {0x8C, XK_F29},
    {0x8D, XK_F30},  {0x8E, XK_F31}, {0x8F, XK_F32},
};

// Key positions of a US keyboard, whatever layout the desktop applies to them.
const KeyEntry VK_EVDEV_ENTRIES[] = {
    {0x08, KEY_BACKSPACE}, {0x09, KEY_TAB},        {0x0D, KEY_ENTER},      {0x10, KEY_LEFTSHIFT},
    {0x11, KEY_LEFTCTRL},  {0x12, KEY_LEFTALT},    {0x13, KEY_PAUSE},      {0x14, KEY_CAPSLOCK},
    {0x1B, KEY_ESC},       {0x20, KEY_SPACE},      {0x21, KEY_PAGEUP},     {0x22, KEY_PAGEDOWN},
    {0x23, KEY_END},       {0x24, KEY_HOME},       {0x25, KEY_LEFT},       {0x26, KEY_UP},
    {0x27, KEY_RIGHT},     {0x28, KEY_DOWN},       {0x2C, KEY_SYSRQ},      {0x2D, KEY_INSERT},
    {0x2E, KEY_DELETE},    {0x5B, KEY_LEFTMETA},   {0x5C, KEY_RIGHTMETA},  {0x5D, KEY_COMPOSE},
    {0x60, KEY_KP0},       {0x61, KEY_KP1},        {0x62, KEY_KP2},        {0x63, KEY_KP3},
    {0x64, KEY_KP4},       {0x65, KEY_KP5},        {0x66, KEY_KP6},        {0x67, KEY_KP7},
    {0x68, KEY_KP8},       {0x69, KEY_KP9},        {0x6A, KEY_KPASTERISK}, {0x6B, KEY_KPPLUS},
    {0x6C, KEY_KPCOMMA},   {0x6D, KEY_KPMINUS},    {0x6E, KEY_KPDOT},      {0x6F, KEY_KPSLASH},
    {0x70, KEY_F1},        {0x71, KEY_F2},         {0x72, KEY_F3},         {0x73, KEY_F4},
    {0x74, KEY_F5},        {0x75, KEY_F6},         {0x76, KEY_F7},         {0x77, KEY_F8},
    {0x78, KEY_F9},        {0x79, KEY_F10},        {0x7A, KEY_F11},        {0x7B, KEY_F12},
    {0x7C, KEY_F13},       {0x7D, KEY_F14},        {0x7E, KEY_F15},        {0x7F, KEY_F16},
    {0x80, KEY_F17},       {0x81, KEY_F18},        {0x82, KEY_F19},        {0x83, KEY_F20},
    {0x84, KEY_F21},       {0x85, KEY_F22},        {0x86, KEY_F23},        {0x87, KEY_F24},
    {0x90, KEY_NUMLOCK},   {0x91, KEY_SCROLLLOCK}, {0xA0, KEY_LEFTSHIFT},  {0xA1, KEY_RIGHTSHIFT},
    {0xA2, KEY_LEFTCTRL},  {0xA3, KEY_RIGHTCTRL},  {0xA4, KEY_LEFTALT},    {0xA5, KEY_RIGHTALT},
    {0xBA, KEY_SEMICOLON}, {0xBB, KEY_EQUAL},      {0xBC, KEY_COMMA},      {0xBD, KEY_MINUS},
    {0xBE, KEY_DOT},       {0xBF, KEY_SLASH},      {0xC0, KEY_GRAVE},      {0xDB, KEY_LEFTBRACE},
    {0xDC, KEY_BACKSLASH}, {0xDD, KEY_RIGHTBRACE}, {0xDE, KEY_APOSTROPHE}, {0xE2, KEY_102ND},
};

const KeyEntry VIRTUAL_EVDEV_ENTRIES[] = {
    {0x7C, KEY_F13},         {0x7D, KEY_F14},       {0x7E, KEY_F15},      {0x7F, KEY_F16},
    {0x80, KEY_F17},         {0x81, KEY_F18},       {0x82, KEY_F19},      {0x83, KEY_F20},
    {0x84, KEY_F21},         {0x85, KEY_F22},       {0x86, KEY_F23},      {0x87, KEY_F24},
    {0xA6, KEY_BACK},        {0xA7, KEY_FORWARD},   {0xA8, KEY_REFRESH},  {0xA9, KEY_STOP},
    {0xAA, KEY_SEARCH},      {0xAB, KEY_FAVORITES}, {0xAC, KEY_HOMEPAGE}, {0xB4, KEY_EMAIL},
    {0xB5, KEY_MEDIA},       {0xB6, KEY_PROG1},     {0xB7, KEY_PROG2},    {0xFA, KEY_PLAYPAUSE},
    {0xFB, KEY_FULL_SCREEN},
};

} // namespace

const KeyTable VK_KEYSYMS = table(VK_KEYSYM_ENTRIES);
const KeyTable VIRTUAL_KEYSYMS = table(VIRTUAL_KEYSYM_ENTRIES);
const KeyTable VK_EVDEV = table(VK_EVDEV_ENTRIES);
const KeyTable VIRTUAL_EVDEV = table(VIRTUAL_EVDEV_ENTRIES);

const int mapAZ[26] = {KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I,
                       KEY_J, KEY_K, KEY_L, KEY_M, KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R,
                       KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z};
const int map09[10] = {KEY_0, KEY_1, KEY_2, KEY_3, KEY_4, KEY_5, KEY_6, KEY_7, KEY_8, KEY_9};

const uint8_t SET1_CODES[22] = {0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
                                0x0D, 0x1A, 0x1B, 0x27, 0x28, 0x29, 0x2B, 0x33, 0x34, 0x35, 0x56};

KeySpace keySpaceOf(int32_t keyType) {
    if (keyType == 3) return KeySpace::SET1;
    if (keyType == 2) return KeySpace::VIRTUAL;
    return KeySpace::VK;
}

long lookupKey(const KeyTable& table, uint8_t code, long unmapped) {
    for (const KeyEntry& entry : table)
        if (entry.code == code) return long(entry.value);
    return unmapped;
}

bool isSet1Code(uint8_t sc) {
    for (const uint8_t code : SET1_CODES)
        if (code == sc) return true;
    return false;
}

uint32_t vkLayoutKeysym(uint8_t vk) {
    // Letters and digits are their own keysyms (XK_A..XK_Z, XK_0..XK_9).
    if ((vk >= 0x41 && vk <= 0x5A) || (vk >= 0x30 && vk <= 0x39)) return vk;
    if (vk >= 0xBA && vk <= 0xE2) return uint32_t(lookupKey(VK_KEYSYMS, vk, 0));
    return 0;
}

int vkToEvdev(uint8_t vk) {
    if (vk >= 0x41 && vk <= 0x5A) return mapAZ[vk - 0x41];
    if (vk >= 0x30 && vk <= 0x39) return map09[vk - 0x30];
    return int(lookupKey(VK_EVDEV, vk, -1));
}

int virtualToEvdev(uint8_t code) {
    if (code >= 0x88 && code <= 0x8F) {
        logErr("[WayLand] F25 - F32 keys are not supported.");
        return -1;
    }
    return int(lookupKey(VIRTUAL_EVDEV, code, -1));
}

int set1ToEvdev(uint8_t sc) {
    return isSet1Code(sc) ? sc : -1;
}
