#include "platform/win32/win32_keyboard.h"

#include "platform/win32/control_ids.h"

#include <vector>

namespace wigwag::win32 {

namespace {

Win32Keyboard* hookOwner = nullptr;

constexpr wchar_t kNoteKey[] = L"Software\\Wigwag";

std::wstring NoteName() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return L"Keys held in session " + std::to_wstring(session);
}

// The codes of the keys in the note; none when there is no note or it is not one.
std::vector<BYTE> ReadNote(const std::wstring& name) {
    std::vector<BYTE> keys(256);
    DWORD size = static_cast<DWORD>(keys.size());
    if (RegGetValueW(HKEY_CURRENT_USER, kNoteKey, name.c_str(), RRF_RT_REG_BINARY, nullptr,
                     keys.data(), &size) != ERROR_SUCCESS)
        return {};
    keys.resize(size);
    return keys;
}

// Writes the noted keys' codes; without any, removes the note, and the registry key with it
// when nothing else is left in it.
void WriteNote(const std::wstring& name, const std::array<bool, 256>& noted) {
    std::vector<BYTE> keys;
    for (unsigned vk = 1; vk < noted.size(); ++vk)
        if (noted[vk]) keys.push_back(static_cast<BYTE>(vk));
    HKEY key = nullptr;
    if (!keys.empty()) {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kNoteKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &key, nullptr) != ERROR_SUCCESS)
            return;
        RegSetValueExW(key, name.c_str(), 0, REG_BINARY, keys.data(),
                       static_cast<DWORD>(keys.size()));
        RegCloseKey(key);
        return;
    }
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kNoteKey, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, name.c_str());
    DWORD subkeys = 1, values = 1;
    const bool counted =
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (counted && subkeys == 0 && values == 0) RegDeleteKeyW(HKEY_CURRENT_USER, kNoteKey);
}

// Keys whose scan code comes with the E0 prefix; without the extended flag a game reading
// scan codes would see the numeric keypad's twin of the key.
bool IsExtendedKey(std::uint8_t vk) {
    switch (vk) {
        case VK_PRIOR:
        case VK_NEXT:
        case VK_END:
        case VK_HOME:
        case VK_LEFT:
        case VK_UP:
        case VK_RIGHT:
        case VK_DOWN:
        case VK_INSERT:
        case VK_DELETE:
        case VK_SNAPSHOT:
        case VK_DIVIDE:
        case VK_NUMLOCK:
        case VK_LWIN:
        case VK_RWIN:
        case VK_APPS:
        case VK_RCONTROL:
        case VK_RMENU:
            return true;
        default:
            return vk >= VK_BROWSER_BACK && vk <= VK_LAUNCH_APP2;
    }
}

}  // namespace

Win32Keyboard::Win32Keyboard() : noteName_(NoteName()) {
    // Each noted key's key-up goes out as the program's own, and strikes it off the note.
    for (BYTE vk : ReadNote(noteName_))
        if (vk) noted_[vk] = true;
    for (unsigned vk = 1; vk < noted_.size(); ++vk)
        if (noted_[vk]) Send(static_cast<std::uint8_t>(vk), true);
    WriteNote(noteName_, noted_);  // also a note that was not one
    hookOwner = this;
    hook_ = SetWindowsHookExW(WH_KEYBOARD_LL, Hook, GetModuleHandleW(nullptr), 0);
}

Win32Keyboard::~Win32Keyboard() {
    Restore();
    if (hook_) UnhookWindowsHookEx(hook_);
    if (hookOwner == this) hookOwner = nullptr;
}

void Win32Keyboard::Send(std::uint8_t vk, bool up) {
    if (!up) Note(vk, true);  // noted before it can be down
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = (up ? KEYEVENTF_KEYUP : 0) | (IsExtendedKey(vk) ? KEYEVENTF_EXTENDEDKEY : 0);
    input.ki.dwExtraInfo = static_cast<ULONG_PTR>(kOwnEventMarker);
    // An event the system refused changes nothing: a key-up that did not go out is tried
    // again by Restore().
    if (SendInput(1, &input, sizeof input) == 1) held_[vk] = !up;
    Note(vk, held_[vk]);
}

void Win32Keyboard::Note(std::uint8_t vk, bool down) {
    if (noted_[vk] == down) return;
    noted_[vk] = down;
    WriteNote(noteName_, noted_);
}

void Win32Keyboard::Restore() {
    for (unsigned vk = 0; vk < held_.size(); ++vk)
        if (held_[vk]) Send(static_cast<std::uint8_t>(vk), true);
}

KeyPoll Win32Keyboard::Poll(std::uint8_t vk) {
    if (!hook_) {
        // The system's view, the program's own events included: a key the program holds does
        // not count, and neither does a key-down repeated while the key stays down.
        const SHORT state = GetAsyncKeyState(vk);
        const bool down = (state & 0x8000) != 0 && !held_[vk];
        const KeyPoll poll{down, (state & 1) != 0 && !held_[vk] && !polledDown_[vk]};
        polledDown_[vk] = down;
        return poll;
    }
    const KeyPoll poll{playerDown_[vk], playerPressed_[vk]};
    playerPressed_[vk] = false;
    return poll;
}

// A key held down arrives as repeated key-downs without a key-up: only the first is a press.
void Win32Keyboard::PlayerKey(DWORD vk, bool up) {
    auto note = [&](DWORD code) {
        const std::size_t k = code & 0xFF;
        if (!up && !playerDown_[k]) playerPressed_[k] = true;
        playerDown_[k] = !up;
    };
    note(vk);
    switch (vk) {
        case VK_LSHIFT:
        case VK_RSHIFT:
            note(VK_SHIFT);
            break;
        case VK_LCONTROL:
        case VK_RCONTROL:
            note(VK_CONTROL);
            break;
        case VK_LMENU:
        case VK_RMENU:
            note(VK_MENU);
            break;
        default:
            break;
    }
}

LRESULT CALLBACK Win32Keyboard::Hook(int code, WPARAM wp, LPARAM lp) {
    if (code == HC_ACTION && hookOwner) {
        const auto* key = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lp);
        if (key->dwExtraInfo != static_cast<ULONG_PTR>(kOwnEventMarker))
            hookOwner->PlayerKey(key->vkCode, (key->flags & LLKHF_UP) != 0);
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

}  // namespace wigwag::win32
