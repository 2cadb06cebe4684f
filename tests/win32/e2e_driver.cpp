// End-to-end cases for the real wigwag.exe under Wine (or on Windows), on the harness of
// e2e_support.h; the wheel cases under the test bed of wheel_bed.py, which reads their output.
//   wigwag_e2e <case> <wigwag.exe> <receiver.exe> <output dir>
#include <cmath>
#include <map>

#include "tests/win32/e2e_support.h"

#include <sddl.h>  // after windows.h

using namespace e2e;

namespace {

constexpr std::uint8_t kInsert = 0x2D, kB = 0x42, kG = 0x47;
constexpr double kTolerance = 0.075;  // seconds: any key event's time, against 0.1 s ticks
constexpr const char* kDefaults = "0|0|0|0|31|26|";
std::wstring outputDir;

// A line for the test bed: "plug 2", "down 1 18" ...
void Bed(const std::string& line) {
    std::printf("bed %s\n", line.c_str());
    std::fflush(stdout);
}

// Presses button `number` of wheel `wheel` for `hold` seconds, or leaves it down.
void Press(int wheel, int number, double hold, bool release = true) {
    const std::string which = std::to_string(wheel) + " " + std::to_string(number);
    Bed("down " + which);
    SleepSeconds(hold);
    if (release) Bed("up " + which);
}

// A click of the mouse's left button on cmdWheel, through the system's input, which starts
// choosing the wheel button (its caption counts the seconds left); then the focus back.
bool ChooseButton(Harness& s) {
    const HWND wheel = s.Control(Control::cmdWheel);
    RECT r{};
    GetWindowRect(wheel, &r);
    SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    INPUT input[2]{};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, input, sizeof input[0]);
    Check(WaitUntil([&] { return WideText(wheel).starts_with(L"Press a wheel button..."); }, 5),
          "choosing after a click: " + Text(wheel));
    return s.Receive();
}

// For each switch: when its action began, and the latest its burst may come.
using Switches = std::vector<std::pair<double, double>>;

// Plays the steps of a case, each 0.3 s after the one before, and checks the status after each
// (on: "Running", off: "Not Running"), and the wheel button's caption when given. Steps:
// "tap|repeat VK HOLD WAIT on|off" (a key, "repeat" with the keyboard's auto-repeat; the status
// WAIT s after), "press|hold WHEEL BUTTON HOLD on|off" ("hold" leaves it down), "run OPTION
// on|off" (a command, its answer), "bed LINE", "choose" (a click on cmdWheel), "sleep SECONDS".
// A key or button switches within a poll (0.25 s); a command before it has its answer.
Switches Play(Harness& s, std::initializer_list<const char*> steps, const wchar_t* caption = {}) {
    Switches switches;
    std::string before = s.Status(), verb, state;
    for (const std::string step : steps) {
        std::istringstream in(step);
        int a = 0, b = 0;  // a key; or a wheel and its button
        double hold = 0, wait = 0.4;
        in >> verb;
        if (verb == "bed") Bed(step.substr(4));
        if (verb == "choose") ChooseButton(s);
        if (verb == "sleep" && in >> hold) SleepSeconds(hold);
        if (verb == "bed" || verb == "choose" || verb == "sleep") continue;
        SleepSeconds(0.3);
        double from = Now(), latest = from + 0.25;
        if (verb == "run") {
            std::string option;
            in >> option >> state;
            const Ran ran = Run(Widen(option));
            Check(ran.code == 0 && ran.out == (state == "on" ? "Running\r\n" : "Not Running\r\n") &&
                      ran.err.empty(),
                  step + ": " + Said(ran));
            from = ran.start, latest = ran.start + ran.seconds + 0.05, wait = 0;
        } else if (verb == "press" || verb == "hold") {
            in >> a >> b >> hold >> state;
            Press(a, b, hold, verb == "press");
        } else {
            in >> a >> hold >> wait >> state;
            Tap(std::uint8_t(a), hold, verb == "repeat");
        }
        SleepSeconds(wait);
        const std::string status = state == "on" ? "Running" : "Not Running";
        Check(s.Status() == status, step + ": " + s.Status());
        if (caption)
            Check(WideText(s.Control(Control::cmdWheel)) == caption,
                  step + ": caption " + Text(s.Control(Control::cmdWheel)));
        if (status != before) switches.push_back({from, latest});
        before = status;
    }
    return switches;
}

// The run from the burst at `from` to the stop's: the horn every 0.1 s, the hazards every
// second, held over a horn tick, each event on time within the tolerance.
void CheckRun(const Keys& keys, Keys::const_iterator from, const std::string& burst,
              const std::string& what) {
    const long length = long(std::count(burst.begin(), burst.end(), ' '));
    const auto start = from + length;
    const double t0 = (start - 1)->time;
    const auto stop = std::find_if(start, keys.end(), [](auto& k) { return k.up && k.vk == kB; });
    const double run = stop == keys.end() ? 0 : stop->time - t0;
    std::string want = burst;
    for (long tick = 1; tick < std::lround(run / 0.1); ++tick)
        want += tick % 10 == 0               ? "d66 d8 d57 d8 "
                : tick % 10 == 1 && tick > 1 ? "d66 d8 u57 "
                                             : "d66 d8 ";
    want += burst;
    const std::string got = Events(from, stop + std::min(length, long(keys.end() - stop)));
    Check(stop != keys.end() && got == want,
          what + ": in " + std::to_string(run) + " s:\n" + got + "\nexpected\n" + want);
    // The events of the horn's n-th tick (and the hazards' inside it) n x 0.1 s after the burst.
    long tick = 0;
    for (auto k = start; k < stop; ++k) {
        tick += !k->up && k->vk == kB ? 1 : 0;
        Check(std::fabs(k->time - t0 - 0.1 * double(tick)) < kTolerance,
              what + ": tick " + std::to_string(tick) + " at " + std::to_string(k->time - t0));
    }
}

// One burst for each switch, in its time; with `timed`, nothing before the first and each run
// checked by CheckRun. Where the last burst ends.
Keys::const_iterator CheckSwitches(const Keys& keys, const Switches& switches,
                                   const std::string& burst = kBurst, bool timed = true) {
    const long length = long(std::count(burst.begin(), burst.end(), ' '));
    std::vector<Keys::const_iterator> bursts;
    for (std::size_t at : Bursts(keys, burst)) bursts.push_back(keys.begin() + long(at));
    Check(
        bursts.size() == switches.size() && (!timed || bursts.empty() || bursts[0] == keys.begin()),
        std::to_string(bursts.size()) + " bursts for " + std::to_string(switches.size()) +
            " switches:\n" + Events(keys.begin(), keys.end()));
    for (std::size_t n = 0; n < std::min(bursts.size(), switches.size()); ++n) {
        const auto [from, latest] = switches[n];
        Check(bursts[n]->time > from && bursts[n]->time < latest,
              "switch " + std::to_string(n) + " " + std::to_string(bursts[n]->time - from) +
                  " s after its action, " + std::to_string(latest - from) + " s allowed");
        if (timed && n % 2 == 0) CheckRun(keys, bursts[n], burst, "run " + std::to_string(n / 2));
    }
    return bursts.empty() ? keys.begin() : bursts.back() + length;
}

// The check boxes' values and the start, flash and horn lists' choices, as in the file.
std::string Choices(const Harness& s) {
    std::string c;
    for (Control id : {Control::cbFlash, Control::cbSiren, Control::cbHazards})
        c += std::to_string(SendMessageW(s.Control(id), BM_GETCHECK, 0, 0)) + "|";
    for (Control id : {Control::cboStartKey, Control::cboFlash, Control::cboSiren})
        c += std::to_string(SendMessageW(s.Control(id), CB_GETCURSEL, 0, 0)) + "|";
    return c;
}

// A settings file that could not be read: the load's message box with its text and OK, the
// window hidden while it is open, then the window with the defaults.
void LoadFails(Harness& s) {
    HWND box = nullptr;
    WaitUntil([&] { return (box = FindProcessWindow(s.w.id, "Unable to Continue")); }, 60);
    const std::string text = Text(GetDlgItem(box, 0xFFFF)), button = Text(GetDlgItem(box, IDOK));
    Check(text == "An error occurred loading file:\r\nwigwag.cfg" && button == "OK",
          "the load's box: " + text + " " + button);
    Check(!IsWindowVisible(s.w.window), "window hidden while the message box is open");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    Check(s.w.Find(wigwag::kForm1.caption, 30, true), "window shown after OK");
    Check(Choices(s) == kDefaults && s.Status() == "Not Running", "defaults: " + Choices(s));
}

// First run without a settings file, switched on and ended with the Windows session: every
// key let go and the defaults saved. Then a file of unusual values read and written back.
// (Files that cannot be read or replaced: the file service's and the settings' unit tests.)
void Settings() {
    Harness s;
    if (!s.Launch(nullptr)) return;
    LoadFails(s);
    if (!s.Receive()) return;
    Play(s, {"tap 46 0.06 0.4 on"});
    const Keys keys = s.End(0);
    Check(Events(keys.begin(), keys.end()) == std::string(kBurst) + "u66 u71 u57 u8 u48 ",
          "keys sent: " + Events(keys.begin(), keys.end()));
    Check(s.Saved() == Config(kDefaults), "settings file saved as\n" + s.Saved());

    // A greyed box, a list without a choice and the last key of the list.
    const std::string unusual = "1|2|0|-1|62|9|";
    Harness u;
    if (!u.Launch(unusual.c_str())) return;
    Check(!FindProcessWindow(u.w.id, "Unable to Continue"), "no message box");
    Check(Choices(u) == unusual, "loaded: " + Choices(u));
    u.End(WM_CLOSE);
    Check(u.Saved() == Config(unusual), "settings file written back as\n" + u.Saved());
}

// The horn and the hazards, with Insert as the flash key (an extended key, released in each
// burst): every key event, its time, scan code and extended flag. The headlights stay off:
// their ticks fall due with the horn's, and which of two presses inside each other's pauses
// comes first then depends on microseconds. The stop falls between the hazard ticks at 1 s
// and 2 s; a WM_QUIT then ends the program, which lets go of the keys of the switches.
void Timeline() {
    Harness s;
    if (!s.Open("0|1|1|0|3|26|")) return;
    const Switches switches = Play(s, {"tap 46 0.06 0.4 on", "sleep 0.75", "tap 46 0.06 0.6 off"});
    const Keys keys = s.End(WM_QUIT);
    const auto end = CheckSwitches(keys, switches, "u66 u71 u57 u45 d48 d8 ");
    Check(Events(end, keys.end()) == "u8 u48 ", "at the end: " + Events(end, keys.end()));
    for (const KeyRecord& k : keys)
        Check(((k.lParam >> 16) & 0xFF) == MapVirtualKeyW(k.vk, MAPVK_VK_TO_VSC) &&
                  ((k.lParam >> 24) & 1) == (k.vk == kInsert),
              "scan code and extended flag of key " + std::to_string(k.vk));
}

// Start/stop on Backspace, which the program itself presses with every horn and headlight
// tick: short taps and keys held for 2 s, also one repeating its key-down as a held keyboard
// key does, switch once each; the program's own Backspaces never. Then closed while running,
// inside the headlights' pause after the first of a tick's two presses of G: every key the
// program pressed is let go, those of the tick that goes on after the close too.
void OwnKeys() {
    Harness s;
    if (!s.Open("1|1|0|4|31|26|")) return;
    const Switches switches = Play(s, {"tap 8 0.02 1.5 on", "tap 8 0.02 0.4 off", "tap 8 2 0.4 on",
                                       "repeat 8 2 0.4 off", "tap 8 0.02 0.4 on"});
    const auto flashes = [&] {
        const Keys keys = s.Got();
        return std::count_if(keys.begin(), keys.end(), [](auto& k) { return !k.up && k.vk == kG; });
    };
    Check(WaitUntil([&] { return flashes() % 2 == 1; }, 2), "the headlights flash");
    CheckSwitches(s.End(WM_CLOSE), switches, kBurst, false);
}

// The pipe of the running wigwag.exe, named as the program names it: session and user.
std::wstring PipeName() {
    DWORD session = 0, size = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    alignas(TOKEN_USER) unsigned char user[256];
    GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    wchar_t* sid = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
    const std::wstring name = L"\\\\.\\pipe\\wigwag-" + std::to_wstring(session) + L"-" + sid;
    LocalFree(sid);
    return name;
}

// Bytes straight into the pipe; what came back before the program let the connection go.
std::string Talk(const std::string& bytes) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const auto open = [&] {
        pipe = CreateFileW(PipeName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
        return pipe != INVALID_HANDLE_VALUE;
    };
    if (!WaitUntil(open, 10)) return "(no pipe)";
    DWORD written = 0;
    if (!bytes.empty()) WriteFile(pipe, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    std::string answer = ReadAll(pipe);
    CloseHandle(pipe);
    return answer;
}

// The pipe's name made first by another owner (LocalSystem here, with an entry that lets
// everyone in, as Wine runs every process as one user): the program starts and runs without
// commands, a command fails without a word to that pipe.
void Squatted() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:P(A;;GA;;;WD)", SDDL_REVISION_1,
                                                         &descriptor, nullptr);
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    HANDLE pipes[4];
    OVERLAPPED io[4] = {};
    for (int i = 0; i < 4; ++i) {
        pipes[i] = CreateNamedPipeW(PipeName().c_str(),
                                    PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                        (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                    PIPE_TYPE_BYTE, 4, 256, 256, 0, &security);
        io[i].hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ConnectNamedPipe(pipes[i], &io[i]);
    }
    LocalFree(descriptor);
    Check(pipes[0] != INVALID_HANDLE_VALUE, "the other owner's pipe made first");
    Harness s;
    if (s.Launch("0|1|1|0|31|26|")) {
        const Ran status = Run(L"--status");
        Check(status.code == 1 && status.out.empty() &&
                  status.err == "wigwag: the command pipe belongs to another user\r\n",
              "--status with the pipe another owner's: " + Said(status));
        s.End(WM_CLOSE);
    }
    for (int i = 0; i < 4; ++i) {
        DWORD bytes = 0;
        Check(!PeekNamedPipe(pipes[i], nullptr, 0, nullptr, &bytes, nullptr) || bytes == 0,
              "the other owner's pipe was told something");
        CloseHandle(io[i].hEvent);
        CloseHandle(pipes[i]);
    }
}

// One wigwag.exe: a second start brings it forward and ends; commands from other starts
// switch it as its start/stop key does and say the run state; anything else on its pipe is
// refused without effect; with none running a command fails.
void Instance() {
    Harness s;
    if (!s.Open("0|1|1|0|31|26|")) return;
    const std::wstring other = ScratchDirectory();
    Check(Run(L"", other).code == 0, "a second start ended with exit code 0");
    int windows = 0;
    for (HWND h = nullptr; (h = FindWindowExA(nullptr, h, nullptr, wigwag::kForm1.caption));)
        windows += IsWindowVisible(h) ? 1 : 0;
    Check(windows == 1, "one Wigwag window");
    Check(GetForegroundWindow() == s.w.window, "the running window brought to the front");
    Check(ReadBytes(other + L"\\wigwag.cfg").empty(), "a settings file from the second start");
    if (!s.Receive()) return;
    // Hazards 1 s after the first switch-over.
    const Switches toggles =
        Play(s, {"run --stop off", "run --status off", "run --toggle on", "sleep 1",
                 "run --start on", "run --status on", "run --toggle off", "run --stop off"});

    // Garbage, a line too long, an idle connection and a megabyte: refused or dropped.
    const std::size_t sent = s.Got().size();
    for (const std::string& message :
         {std::string("garbage\n"), std::string("TOGGLE\n"), std::string("toggle\nstop\n"),
          std::string(40, 'x'), std::string(), std::string(1 << 20, 't')}) {
        const double start = Now();
        const std::string answer = Talk(message);
        Check(answer == "refused\n" || answer.empty(),
              "answer to " + message.substr(0, 12) + ": " + answer);
        Check(Now() - start < 5, "the pipe let go of " + message.substr(0, 12));
    }
    Check(Talk("status\n") == "Not Running\n", "the program still answers");
    Check(s.Got().size() == sent && s.Status() == "Not Running", "garbage changed nothing");

    // Each --toggle as a press of the start/stop key; the switches' keys let go at the close.
    const Keys keys = s.End(WM_CLOSE);
    CheckSwitches(keys, toggles, kBurst, false);
    const std::string events = Events(keys.begin(), keys.end());
    Check(events.starts_with(std::string(kBurst) + "d66 d8 d66 d8 ") &&
              events.find("d57 d8 ") != std::string::npos &&
              events.ends_with(std::string(kBurst) + "u8 u48 "),
          "keys sent: " + events);
    const Ran gone = Run(L"--status", other);
    Check(gone.code == 3 && gone.out.empty() && gone.err == "wigwag: Wigwag is not running\r\n",
          "with none running: " + Said(gone));
    Squatted();
}

// The client area and every control where the layout table puts them (15 twips a pixel);
// a screenshot of the window.
void Layout() {
    Harness s;
    if (!s.Launch("1|1|0|0|31|26|")) return;
    const auto str = [](const RECT& r) {
        return std::to_string(r.left) + "," + std::to_string(r.top) + " to " +
               std::to_string(r.right) + "," + std::to_string(r.bottom);
    };
    RECT r{}, want{0, 0, wigwag::kForm1.clientWidth / 15, wigwag::kForm1.clientHeight / 15};
    GetClientRect(s.w.window, &r);
    Check(EqualRect(&r, &want), "client area " + str(r) + ", expected " + str(want));
    for (const wigwag::ControlLayout& c : wigwag::kControls) {
        GetWindowRect(s.Control(c.id), &r);
        MapWindowPoints(HWND_DESKTOP, s.w.window, reinterpret_cast<POINT*>(&r), 2);
        want = {c.left / 15, c.top / 15, (c.left + c.width) / 15, (c.top + c.height) / 15};
        Check(EqualRect(&r, &want), std::string(c.name) + " at " + str(r) + ", not " + str(want));
    }

    SetForegroundWindow(s.w.window);
    SleepSeconds(1.0);
    GetWindowRect(s.w.window, &r);
    BITMAPINFOHEADER info{
        sizeof info, r.right - r.left, r.bottom - r.top, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    const HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    const HBITMAP dib = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&info),
                                         DIB_RGB_COLORS, &bits, nullptr, 0);
    SelectObject(memory, dib);
    BitBlt(memory, 0, 0, info.biWidth, info.biHeight, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD size = DWORD((info.biWidth * 3 + 3) / 4 * 4 * info.biHeight);
    const BITMAPFILEHEADER file{0x4D42, DWORD(sizeof file + sizeof info) + size, 0, 0,
                                sizeof file + sizeof info};
    Check(WriteBytes(outputDir + L"\\screenshot-windows.bmp",
                     std::string(reinterpret_cast<const char*>(&file), sizeof file) +
                         std::string(reinterpret_cast<const char*>(&info), sizeof info) +
                         std::string(static_cast<const char*>(bits), size)),
          "screenshot written");
    DeleteDC(memory);
    DeleteObject(dib);
    ReleaseDC(nullptr, screen);
    s.End(WM_CLOSE);
}

// wigwag.exe with the first wheel (plugged in before Wine starts); the wheel button chosen.
bool StartWithWheel(Harness& s) {
    if (!s.Open("0|1|1|0|31|26|")) return false;
    Check(WideText(s.Control(Control::cmdWheel)) == L"Set Wheel Button...",
          "no wheel button at first");
    SleepSeconds(0.5);
    return ChooseButton(s);
}

// The controllers listed; the wheel button chosen, pressed, tapped between two polls, on a
// wheel plugged in after the start, held while its wheel goes away: each switches (or not) as
// the steps say, every run it switches has the start/stop key's timeline, the choice is saved.
void WheelButton() {
    const Ran list = Run(L"--list-devices");
    Check(list.code == 0 && list.err.empty() &&
              list.out.starts_with("046d:c24f  Race & Rally Wheel  24 buttons  readable  (") &&
              list.out.find('\n') + 1 == list.out.size(),
          "--list-devices: " + Said(list));
    Harness s;
    if (!StartWithWheel(s)) return;
    // Wheels come and go while not running: a look for controllers holds the window's thread
    // up for tens of milliseconds, and the runs' timelines are checked to the millisecond. A
    // wheel plugged in is used within two seconds; its press chooses the button.
    const Switches switches = Play(
        s,
        {"press 1 18 0.05 off", "press 1 5 0.05 off", "press 1 18 0.3 on", "press 1 18 0.02 off",
         "choose", "bed plug 2", "sleep 1.7", "press 2 18 0.05 off", "press 2 18 0.05 on",
         "hold 2 18 0.05 off", "bed unplug 2", "sleep 0.5", "bed plug 3", "sleep 1.7",
         "press 3 18 0.05 on", "press 1 18 0.05 off", "tap 46 0.06 0.6 on", "tap 46 0.06 0.4 off"},
        L"Button 18 \u00B7 Race && Rally Wheel");
    const Keys keys = s.End(WM_CLOSE);
    Check(s.Saved() == Config("0|1|1|0|31|26|046d:c24f:18|"), "saved:\n" + s.Saved());
    CheckSwitches(keys, switches);
}

// The time from a press of the wheel button to the burst, over 50 presses (printed).
void WheelLatency() {
    Harness s;
    if (!StartWithWheel(s)) return;
    Press(1, 18, 0.05);
    SleepSeconds(0.5);
    std::vector<double> presses;
    for (int n = 0; n < 50; ++n) {
        presses.push_back(Now());
        Press(1, 18, 0.05);
        SleepSeconds(0.25 + 0.01 * (n % 10));  // presses fall all over the poll's period
    }
    const Keys keys = s.End(WM_CLOSE);
    std::vector<double> late;
    for (std::size_t at : Bursts(keys))
        if (late.size() < presses.size()) late.push_back(keys[at].time - presses[late.size()]);
    if (late.size() != presses.size())
        return Check(false, std::to_string(late.size()) + " bursts for 50 presses");
    std::sort(late.begin(), late.end());
    std::printf("wheel button to burst over %zu presses: median %.1f ms, worst %.1f ms\n",
                late.size(), 500 * (late[24] + late[25]), 1000 * late.back());
}

}  // namespace

int main(int argc, char** argv) {
    const std::map<std::string, void (*)()> cases{
        {"settings", Settings},         {"timeline", Timeline}, {"own_keys", OwnKeys},
        {"instance", Instance},         {"layout", Layout},     {"wheel", WheelButton},
        {"wheel_latency", WheelLatency}};
    if (argc != 5 || !cases.count(argv[1])) {
        std::printf("usage: wigwag_e2e <case> <wigwag.exe> <receiver.exe> <output dir>\n");
        return 2;
    }
    wigwagExe = WindowsPath(argv[2]);
    receiverExe = WindowsPath(argv[3]);
    outputDir = WindowsPath(argv[4]);
    UseOwnWindowFrames();
    cases.at(argv[1])();
    std::printf("%s: %s (%d failed checks)\n", argv[1], failures ? "FAILED" : "passed", failures);
    return failures ? 1 : 0;
}
