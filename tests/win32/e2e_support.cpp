#include "tests/win32/e2e_support.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/win32/control_ids.h"
#include "window/layout.h"

namespace e2e {

int failures = 0;

void Check(bool ok, const std::string& what) {
    if (ok) return;
    ++failures;
    std::printf("FAILED: %s\n", what.c_str());
    std::fflush(stdout);
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

std::wstring Widen(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring out(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.data(), int(s.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring& s) {
    if (s.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_ACP, 0, s.data(), int(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(std::size_t(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, s.data(), int(s.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring WindowsPath(const char* arg) {
    std::wstring path = Widen(arg);
    if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

double Now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) / double(f.QuadPart);
}

void SleepSeconds(double seconds) {
    if (seconds > 0) Sleep(DWORD(seconds * 1000 + 0.5));
}

bool WaitUntil(const std::function<bool()>& ready, double seconds) {
    const double end = Now() + seconds;
    for (;;) {
        if (ready()) return true;
        if (Now() > end) return false;
        Sleep(20);
    }
}

std::wstring MakeScratchDirectory() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    for (int n = 0;; ++n) {
        std::wstring dir = std::wstring(temp) + L"wigwag-e2e-" +
                           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(n);
        if (CreateDirectoryW(dir.c_str(), nullptr)) return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
    }
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
    return bool(out);
}

bool ReadBytes(const std::wstring& path, std::string& bytes) {
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    bytes = s.str();
    return true;
}

void UseOwnWindowFrames() {
    if (!GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) return;
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    const wchar_t no[] = L"N";
    RegSetValueExW(key, L"Decorated", 0, REG_SZ, reinterpret_cast<const BYTE*>(no), sizeof no);
    RegCloseKey(key);
}

bool Process::Running() const {
    return handle && WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
}

int Process::WaitExit(double seconds) {
    if (!handle) return -1;
    if (WaitForSingleObject(handle, DWORD(seconds * 1000)) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(handle, &code);
    return int(code);
}

void Process::Kill() {
    if (Running()) {
        TerminateProcess(handle, 99);
        WaitForSingleObject(handle, 5000);
    }
}

Process Start(const std::wstring& exe, const std::wstring& args, const std::wstring& dir) {
    std::wstring command = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    Process p;
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        dir.c_str(), &si, &pi))
        return p;
    CloseHandle(pi.hThread);
    p.handle = pi.hProcess;
    p.id = pi.dwProcessId;
    return p;
}

namespace {
struct Search {
    DWORD pid;
    const std::wstring* title;
    const wchar_t* cls;
    HWND found;
};
BOOL CALLBACK Visit(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<Search*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != s->pid || WindowText(hwnd) != *s->title) return TRUE;
    if (s->cls && _wcsicmp(ClassOf(hwnd).c_str(), s->cls) != 0) return TRUE;
    s->found = hwnd;
    return FALSE;
}
}  // namespace

HWND FindProcessWindow(DWORD pid, const std::wstring& title, const wchar_t* cls) {
    Search s{pid, &title, cls, nullptr};
    EnumWindows(Visit, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

std::wstring WindowText(HWND hwnd) {
    wchar_t buf[512];
    const LRESULT n = SendMessageW(hwnd, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buf));
    return std::wstring(buf, std::size_t(n > 0 ? n : 0));
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t buf[128];
    const int n = GetClassNameW(hwnd, buf, 128);
    return std::wstring(buf, std::size_t(n > 0 ? n : 0));
}

HWND Wigwag::Control(wigwag::Control c) const {
    return GetDlgItem(form, wigwag::win32::ControlId(c));
}

int Wigwag::CheckValue(wigwag::Control c) const {
    return int(SendMessageW(Control(c), BM_GETCHECK, 0, 0));
}

static bool IsCombo(wigwag::Control c) {
    return wigwag::LayoutOf(c).kind == wigwag::ControlKind::DropDownList;
}

int Wigwag::ListIndex(wigwag::Control c) const {
    return int(SendMessageW(Control(c), IsCombo(c) ? CB_GETCURSEL : LB_GETCURSEL, 0, 0));
}

int Wigwag::ListCount(wigwag::Control c) const {
    return int(SendMessageW(Control(c), IsCombo(c) ? CB_GETCOUNT : LB_GETCOUNT, 0, 0));
}

std::string Wigwag::ListItem(wigwag::Control c, int index) const {
    const HWND h = Control(c);
    const LRESULT n = SendMessageW(h, IsCombo(c) ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, index, 0);
    if (n < 0) return "<error>";
    std::wstring text(std::size_t(n) + 1, L'\0');
    const LRESULT got = SendMessageW(h, IsCombo(c) ? CB_GETLBTEXT : LB_GETTEXT, index,
                                     reinterpret_cast<LPARAM>(text.data()));
    text.resize(std::size_t(got > 0 ? got : 0));
    return Narrow(text);
}

std::string Wigwag::Text(wigwag::Control c) const {
    return Narrow(WindowText(Control(c)));
}

int Wigwag::Close() {
    PostMessageW(form, WM_CLOSE, 0, 0);
    const int code = process.WaitExit(30);
    process.Kill();
    return code;
}

bool StartWigwag(Wigwag& w, const std::wstring& exe, const std::wstring& dir) {
    w.dir = dir;
    w.process = Start(exe, L"", dir);
    if (!w.process.handle) return false;
    const std::wstring caption = Widen(wigwag::kForm1.caption);
    return WaitUntil([&] { return (w.form = FindProcessWindow(w.process.id, caption)) != nullptr; },
                     120);
}

bool WaitShown(const Wigwag& w, double seconds) {
    return WaitUntil([&] { return IsWindowVisible(w.form) != FALSE; }, seconds);
}

void KeyEvent(std::uint8_t vk, bool up) {
    const BYTE scan = BYTE(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    DWORD flags = up ? KEYEVENTF_KEYUP : 0;
    if (vk == VK_DELETE || vk == VK_INSERT || vk == VK_HOME || vk == VK_END)
        flags |= KEYEVENTF_EXTENDEDKEY;
    keybd_event(vk, scan, flags, 0);
}

void Tap(std::uint8_t vk, double holdSeconds) {
    KeyEvent(vk, false);
    SleepSeconds(holdSeconds);
    KeyEvent(vk, true);
}

bool StartReceiver(Receiver& r, const std::wstring& exe, const std::wstring& dir) {
    r.log = dir + L"\\receiver.log";
    r.process = Start(exe, L"\"" + r.log + L"\"", dir);
    if (!r.process.handle) return false;
    const bool ready = WaitUntil(
        [&] {
            r.window = FindProcessWindow(r.process.id, L"Wigwag receiver");
            return r.window && GetForegroundWindow() == r.window;
        },
        60);
    return ready;
}

std::vector<KeyRecord> Receiver::Stop() {
    PostMessageW(window, WM_CLOSE, 0, 0);
    process.WaitExit(10);
    process.Kill();
    std::vector<KeyRecord> keys;
    std::string bytes;
    if (!ReadBytes(log, bytes)) return keys;
    std::istringstream lines(bytes);
    std::string kind;
    double time;
    unsigned vk;
    unsigned long lParam;
    while (lines >> time >> kind >> vk >> std::hex >> lParam >> std::dec) {
        if (kind == "down" || kind == "up")
            keys.push_back({time, kind == "up", std::uint8_t(vk), std::uint32_t(lParam)});
    }
    return keys;
}

bool IsBurstAt(const std::vector<KeyRecord>& keys, std::size_t i, std::size_t extraUps) {
    const std::array<std::uint8_t, 3> ups{0x42, 0x47, 0x39};
    if (i + 5 + extraUps > keys.size()) return false;
    for (std::size_t k = 0; k < 3; ++k)
        if (!keys[i + k].up || keys[i + k].vk != ups[k]) return false;
    for (std::size_t k = 3; k < 3 + extraUps; ++k)
        if (!keys[i + k].up) return false;
    const KeyRecord& zero = keys[i + 3 + extraUps];
    const KeyRecord& back = keys[i + 4 + extraUps];
    return !zero.up && zero.vk == 0x30 && !back.up && back.vk == 0x08;
}

std::string Describe(const KeyRecord& k) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.3f %s %u scan %02X%s", k.time, k.up ? "up" : "down",
                  unsigned(k.vk), unsigned(k.Scan()), k.Extended() ? " ext" : "");
    return buf;
}

namespace {
std::uint32_t Crc(const std::uint8_t* data, std::size_t n, std::uint32_t crc = 0) {
    static std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
void Put32(std::string& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out += char((v >> s) & 0xFF);
}
void Chunk(std::string& out, const char* type, const std::string& data) {
    Put32(out, std::uint32_t(data.size()));
    const std::string body = std::string(type, 4) + data;
    out += body;
    Put32(out, Crc(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
}
}  // namespace

bool WritePng(const std::wstring& path, int width, int height,
              const std::vector<std::uint8_t>& rgb) {
    std::string raw;
    for (int y = 0; y < height; ++y) {
        raw += '\0';
        raw.append(reinterpret_cast<const char*>(rgb.data()) + std::size_t(y) * width * 3,
                   std::size_t(width) * 3);
    }
    // zlib stream of stored blocks.
    std::string z = "\x78\x01";
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    for (std::size_t pos = 0; pos < raw.size() || pos == 0;) {
        const std::size_t len = std::min<std::size_t>(65535, raw.size() - pos);
        const bool last = pos + len >= raw.size();
        z += char(last ? 1 : 0);
        z += char(len & 0xFF);
        z += char(len >> 8);
        z += char(~len & 0xFF);
        z += char((~len >> 8) & 0xFF);
        z.append(raw, pos, len);
        pos += len;
        if (last) break;
    }
    Put32(z, (b << 16) | a);
    std::string ihdr;
    Put32(ihdr, std::uint32_t(width));
    Put32(ihdr, std::uint32_t(height));
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);
    std::string png = "\x89PNG\r\n\x1a\n";
    Chunk(png, "IHDR", ihdr);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", "");
    return WriteBytes(path, png);
}

}  // namespace e2e
