// End-to-end cases for wigwag.exe under Wine (or on Windows): the program runs in a scratch
// directory, the driver reads its controls through window messages, presses keys as another
// program would, and reads what the receiver window got.
//
//   wigwag_e2e <settings|timeline|own_keys|instance|layout|wheel|wheel_latency> <wigwag.exe>
//              <receiver.exe> <output dir>
//
// The wheel cases run under the test bed of wheel_bed.py, which reads their output.
#include <cmath>
#include <map>
#include <tuple>

#include "tests/win32/e2e_support.h"

#include <sddl.h>  // after windows.h

using namespace e2e;
using wigwag::Control;

namespace {

constexpr std::uint8_t kDelete = 0x2E, kInsert = 0x2D, kBackspace = 0x08, kB = 0x42, kG = 0x47;
constexpr double kTolerance = 0.075;  // seconds: any key event's time, against 0.1 s ticks
constexpr const char* kDefaults = "0|0|0|0|31|26|";
std::wstring wigwagExe, receiverExe, outputDir;

std::string Config(const std::string& dataLine) {
    return dataLine + "\r\n---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n";
}

bool StartReceiver(Receiver& r, const std::wstring& dir) {
    const bool ok = r.Start(receiverExe, L"", dir) && r.Find("Wigwag receiver", 60, false, true);
    Check(ok, "the receiver has the focus");
    return ok;
}

// Starts wigwag.exe in `dir` and waits for its window; with a settings file of this data line,
// for the window to be shown, and if asked starts the receiver there.
bool Launch(Wigwag& w, const char* line, Receiver* r = nullptr,
            const std::wstring& dir = MakeScratchDirectory()) {
    if (line) WriteBytes(dir + L"\\wigwag.cfg", Config(line));
    const bool ok =
        w.Start(wigwagExe, L"", dir) && w.Find(wigwag::kForm1.caption, 180, line != nullptr);
    Check(ok, "wigwag.exe started");
    return ok && (!r || StartReceiver(*r, dir));
}

// The check boxes' values and the start, flash and horn lists' choices, as in the file.
std::string Choices(const Wigwag& w) {
    std::string s;
    for (Control c : {Control::cbFlash, Control::cbSiren, Control::cbHazards})
        s += std::to_string(SendMessageW(w.Control(c), BM_GETCHECK, 0, 0)) + "|";
    for (Control c : {Control::cboStartKey, Control::cboFlash, Control::cboSiren})
        s += std::to_string(SendMessageW(w.Control(c), CB_GETCURSEL, 0, 0)) + "|";
    return s;
}

// Waits for the message box of this title, checks its text and OK button and presses OK;
// whether the window was shown meanwhile.
bool Dismiss(const Wigwag& w, const char* title, const std::string& text) {
    HWND box = nullptr;
    WaitUntil([&] { return (box = FindProcessWindow(w.id, title)); }, 60);
    const std::string shown = Text(GetDlgItem(box, 0xFFFF)), button = Text(GetDlgItem(box, IDOK));
    Check(box && shown == text && button == "OK", std::string(title) + ": " + shown + " " + button);
    const bool visible = IsWindowVisible(w.window);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return visible;
}

// A settings file that could not be read: the load's message box, the window hidden while it
// is open, then the window with the defaults.
void LoadFails(Wigwag& w) {
    Check(!Dismiss(w, "Unable to Continue", "An error occurred loading file:\r\nwigwag.cfg"),
          "window hidden while the message box is open");
    Check(w.Find(wigwag::kForm1.caption, 30, true), "window shown after OK");
    Check(Choices(w) == kDefaults, "defaults: " + Choices(w));
}

// Taps `vk` for `hold` seconds and checks the status `wait` seconds later; when the tap began.
double Switch(const Wigwag& w, std::uint8_t vk, double hold, double wait, const std::string& status,
              bool repeats = false) {
    const double start = Now();
    Tap(vk, hold, repeats);
    SleepSeconds(wait);
    Check(w.Status() == status, status + " after a press of " + std::to_string(hold) + " s" +
                                    (repeats ? " repeating" : ""));
    return start;
}

// First run without a settings file, ended with the Windows session while running; then a
// file of unusual values read and written back.
void Settings() {
    Wigwag w;
    Receiver r;
    if (!Launch(w, nullptr)) return;
    LoadFails(w);
    Check(w.Status() == "Not Running", "status " + w.Status());
    // Switched on, then the Windows session ends: the settings are saved and every key is let
    // go before the program is ended.
    if (!StartReceiver(r, w.dir)) return;
    Switch(w, kDelete, 0.06, 0.4, "Running");
    Check(w.EndSession(), "agreed to end the session");
    Check(DownNow().empty(), "keys still down after the end of the session: " + DownNow());
    const std::string keys = Events(r.Stop()), saved = ReadBytes(w.dir + L"\\wigwag.cfg");
    Check(keys == "u66 u71 u57 d48 d8 u66 u71 u57 u8 u48 ", "keys sent: " + keys);
    Check(saved == Config(kDefaults), "settings file saved as\n" + saved);

    // A greyed box, a list without a choice and the last key of the list; a temporary file
    // left by a save that was killed goes, and none stays.
    const std::string unusual = "1|2|0|-1|62|9|";
    Wigwag u;
    if (!Launch(u, unusual.c_str())) return;
    Check(!FindProcessWindow(u.id, "Unable to Continue"), "no message box");
    Check(Choices(u) == unusual, "loaded: " + Choices(u));
    WriteBytes(u.dir + L"\\wigwag.cfg.new", "half a file");
    Check(u.Close() == 0, "closed with exit code 0");
    Check(ReadBytes(u.dir + L"\\wigwag.cfg") == Config(unusual), "settings file written back");
    Check(!Exists(u.dir + L"\\wigwag.cfg.new"), "no temporary file left");

    // A settings file that cannot be opened (a folder of that name): the defaults after the
    // load's message box, and at close a warning instead of a save; the folder stays.
    Wigwag f;
    const std::wstring dir = MakeScratchDirectory(), folder = dir + L"\\wigwag.cfg";
    CreateDirectoryW(folder.c_str(), nullptr);
    if (!Launch(f, nullptr, nullptr, dir)) return;
    LoadFails(f);
    PostMessageW(f.window, WM_CLOSE, 0, 0);
    Dismiss(f, "Unable to Save",
            "The settings file could not be read when Wigwag started, so it was not "
            "replaced:\r\nwigwag.cfg");
    Check(f.Wait(30) == 0, "ended after OK");
    Check(Exists(folder) && (GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY),
          "folder stays");
}

// The run that a switch-over burst at keys[from] starts, up to the next release of B (the
// stop's burst): the horn every 0.1 s after the burst, the hazards every second, held over
// a horn tick, each event on time within the tolerance, then the stop's burst. Where the
// run ends; keys.end() when it does not.
std::vector<KeyRecord>::const_iterator CheckRun(const std::vector<KeyRecord>& keys,
                                                std::size_t from, const std::string& burst,
                                                const std::string& what) {
    const std::size_t length = std::size_t(std::count(burst.begin(), burst.end(), ' '));
    if (keys.size() < from + length) {
        Check(false, what + ": no burst");
        return keys.end();
    }
    const auto start = keys.begin() + long(from + length);
    const double t0 = (start - 1)->time;
    const auto stop = std::find_if(start, keys.end(), [](auto& k) { return k.up && k.vk == kB; });
    const double run = stop == keys.end() ? 0 : stop->time - t0;
    std::string want = burst;
    for (long tick = 1; tick < std::lround(run / 0.1); ++tick)
        want += tick % 10 == 0               ? "d66 d8 d57 d8 "
                : tick % 10 == 1 && tick > 1 ? "d66 d8 u57 "
                                             : "d66 d8 ";
    want += burst;
    const auto end = stop == keys.end() ? stop : std::min(stop + long(length), keys.end());
    const std::string got = Events({keys.begin() + long(from), end});
    Check(stop != keys.end() && got == want,
          what + ": in " + std::to_string(run) + " s:\n" + got + "\nexpected\n" + want);
    // The events of the horn's n-th tick (and the hazards' inside it) n x 0.1 s after the burst.
    long tick = 0;
    for (auto k = start; k < stop; ++k) {
        tick += !k->up && k->vk == kB ? 1 : 0;
        Check(std::fabs(k->time - t0 - 0.1 * double(tick)) < kTolerance,
              what + ": horn tick " + std::to_string(tick) + " at " + std::to_string(k->time - t0) +
                  " s");
    }
    return end;
}

// The horn and the hazards, with Insert as the flash key (an extended key, released in each
// burst): every key event the receiver gets, in order, each on time within the tolerance. The
// headlights stay off: their ticks fall due with the horn's, and which of two presses inside
// each other's pauses comes first then depends on microseconds.
void Timeline() {
    Wigwag w;
    Receiver r;
    if (!Launch(w, "0|1|1|0|3|26|", &r)) return;
    SleepSeconds(0.3);
    const double tap = Switch(w, kDelete, 0.06, 0.4, "Running");
    SleepSeconds(1.05);  // the stop falls between the hazard ticks at 1 s and 2 s
    Switch(w, kDelete, 0.06, 0.6, "Not Running");
    // Ended while stopped by a WM_QUIT: the end lets go of the 0 key and Backspace of the
    // switches.
    Check(w.Close(WM_QUIT) == 0, "ended with exit code 0");
    Check(DownNow().empty(), "keys still down after the end: " + DownNow());
    const std::vector<KeyRecord> keys = r.Stop();
    if (keys.size() < 6) return Check(false, "no burst after the start key");
    Check(keys[0].time > tap && keys[0].time < tap + 0.25, "the burst within a poll of the key");
    const auto end = CheckRun(keys, 0, "u66 u71 u57 u45 d48 d8 ", "the run");
    const double run = end == keys.end() ? 0 : (end - 1)->time - keys[5].time;
    Check(run > 1.2 && run < 1.9 && Events({end, keys.end()}) == "u8 u48 ",
          "a run of " + std::to_string(run) + " s, then " + Events({end, keys.end()}));
    for (const KeyRecord& k : keys)
        Check(((k.lParam >> 16) & 0xFF) == MapVirtualKeyW(k.vk, MAPVK_VK_TO_VSC) &&
                  ((k.lParam >> 24) & 1) == (k.vk == kInsert),
              "scan code and extended flag of key " + std::to_string(k.vk));
}

// Start/stop on Backspace, which the program itself presses with every horn and headlight
// tick.
void OwnKeys() {
    Wigwag w;
    Receiver r;
    if (!Launch(w, "1|1|0|4|31|26|", &r)) return;
    // Short taps and keys held for 2 s, also one repeating its key-down as a held keyboard key
    // does, switch once each; the program's own Backspaces never.
    const std::tuple<double, bool, double, std::string> steps[] = {
        {0.02, false, 1.5, "Running"},
        {0.02, false, 0.4, "Not Running"},
        {2.0, false, 0.4, "Running"},
        {2.0, true, 0.4, "Not Running"},
        {0.02, false, 0.4, "Running"}};
    for (const auto& [hold, repeats, wait, status] : steps) {
        SleepSeconds(0.3);
        Switch(w, kBackspace, hold, wait, status, repeats);
    }
    // Closed while running, inside the headlights' pause after the first of a tick's two
    // presses of G: every key the program pressed is let go, those of the tick that goes on
    // after the close too.
    const auto flashes = [&] {
        const std::vector<KeyRecord> keys = r.Keys();
        return std::count_if(keys.begin(), keys.end(), [](auto& k) { return !k.up && k.vk == kG; });
    };
    Check(WaitUntil([&] { return flashes() % 2 == 1; }, 2), "the headlights flash");
    Check(w.Close() == 0, "closed with exit code 0");
    Check(DownNow().empty(), "keys still down after the close: " + DownNow());
    const std::vector<KeyRecord> keys = r.Stop();
    bool down[256] = {};
    for (const KeyRecord& k : keys) down[k.vk] = !k.up;
    const std::string held = KeysWhere([&](int vk) { return down[vk]; });
    Check(held.empty(), "keys left down by the program: " + held);
    std::size_t bursts = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) bursts += IsBurstAt(keys, i) ? 1 : 0;
    Check(bursts == 5, std::to_string(bursts) + " switch-over bursts, expected 5");
}

// The pipe of the running wigwag.exe, named as the program names it: session and user.
std::wstring PipeName() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    GetTokenInformation(token, TokenUser, user.data(), size, &size);
    CloseHandle(token);
    wchar_t* sid = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid);
    std::wstring name = L"\\\\.\\pipe\\wigwag-" + std::to_wstring(session) + L"-" + sid;
    LocalFree(sid);
    return name;
}

// Bytes straight into the pipe; what came back before the program let the connection go.
std::string Talk(const std::string& bytes) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const std::wstring name = PipeName();
    WaitUntil(
        [&] {
            pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
            return pipe != INVALID_HANDLE_VALUE;
        },
        10);
    if (pipe == INVALID_HANDLE_VALUE) return "(no pipe)";
    DWORD written = 0;
    if (!bytes.empty()) WriteFile(pipe, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    std::string answer = ReadAll(pipe);
    CloseHandle(pipe);
    return answer;
}

// One wigwag.exe: a second start brings it forward and ends; commands from other starts
// switch it as its start/stop key does and say the run state; anything else on its pipe is
// refused without effect.
void Squatted(const std::wstring& dir);

void Instance() {
    Wigwag w;
    Receiver r;
    if (!Launch(w, "0|1|1|0|31|26|", &r)) return;
    const std::wstring other = MakeScratchDirectory();
    const Ran second = Run(wigwagExe, L"", other);
    Check(second.code == 0, "a second start ended with " + std::to_string(second.code));
    int windows = 0;
    for (HWND h = nullptr; (h = FindWindowExA(nullptr, h, nullptr, wigwag::kForm1.caption));)
        windows += IsWindowVisible(h) ? 1 : 0;
    Check(windows == 1, "one Wigwag window");
    Check(GetForegroundWindow() == w.window, "the running window brought to the front");
    Check(!Exists(other + L"\\wigwag.cfg"), "a settings file from the second start");
    SetForegroundWindow(r.window);
    Check(WaitUntil([&] { return GetForegroundWindow() == r.window; }, 10), "focus back");

    const std::pair<const wchar_t*, std::string> steps[] = {
        {L"--stop", "Not Running"}, {L"--status", "Not Running"}, {L"--toggle", "Running"},
        {L"--start", "Running"},    {L"--status", "Running"},     {L"--toggle", "Not Running"},
        {L"--stop", "Not Running"}};
    std::vector<Ran> toggles;
    for (const auto& [option, answer] : steps) {
        const Ran ran = Run(wigwagExe, option, other);
        const std::string what = "wigwag.exe " + std::string(option, option + wcslen(option));
        Check(ran.code == 0 && ran.out == answer + "\r\n" && ran.err.empty(),
              what + ": " + std::to_string(ran.code) + " \"" + ran.out + ran.err + "\"");
        Check(w.Status() == answer, what + ": status " + w.Status());
        if (std::wstring(option) == L"--toggle") toggles.push_back(ran);
        SleepSeconds(toggles.size() == 1 ? 1.3 : 0.3);  // hazards 1 s after the switch-over
    }

    // Garbage, a line too long, an idle connection and a megabyte: refused or dropped.
    const std::size_t sent = r.Keys().size();
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
    Check(r.Keys().size() == sent && w.Status() == "Not Running", "garbage changed nothing");

    Check(w.Close() == 0, "closed with exit code 0");
    const Ran gone = Run(wigwagExe, L"--status", other);
    Check(gone.code == 3 && gone.out.empty() && gone.err == "wigwag: Wigwag is not running\r\n",
          "with none running: " + std::to_string(gone.code) + " \"" + gone.err + "\"");

    // The receiver saw each --toggle as a press of the start/stop key: the burst (by the
    // time the command had its answer), the horn and hazards, the burst again.
    const std::vector<KeyRecord> keys = r.Stop();
    std::vector<double> bursts;
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (IsBurstAt(keys, i)) bursts.push_back(keys[i].time);
    if (bursts.size() != 2 || toggles.size() != 2)
        return Check(false, std::to_string(bursts.size()) + " bursts:\n" + Events(keys));
    for (std::size_t n = 0; n < 2; ++n)
        Check(bursts[n] > toggles[n].start &&
                  bursts[n] < toggles[n].start + toggles[n].seconds + 0.05,
              "burst " + std::to_string(n) + " " + std::to_string(bursts[n] - toggles[n].start) +
                  " s after its command, which took " + std::to_string(toggles[n].seconds) + " s");
    const std::string events = Events(keys);
    const std::string burst = "u66 u71 u57 d48 d8 ";
    Check(events.starts_with(burst + "d66 d8 d66 d8 ") &&
              events.find("d57 d8 ") != std::string::npos && events.ends_with(burst + "u8 u48 "),
          "keys sent: " + events);
    Squatted(other);
}

// The pipe's name made first by another owner (LocalSystem here, with an entry that lets
// everyone in, as Wine runs every process as one user): the program starts and runs without
// commands, a command fails without a word to that pipe.
void Squatted(const std::wstring& dir) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:P(A;;GA;;;WD)", SDDL_REVISION_1,
                                                         &descriptor, nullptr);
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    struct Instance {
        HANDLE pipe;
        OVERLAPPED io;
    } squatter[4] = {};
    for (Instance& instance : squatter) {
        instance.pipe =
            CreateNamedPipeW(PipeName().c_str(),
                             PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                 (&instance == squatter ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                             PIPE_TYPE_BYTE, 4, 256, 256, 0, &security);
        instance.io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ConnectNamedPipe(instance.pipe, &instance.io);
    }
    LocalFree(descriptor);
    Check(squatter[0].pipe != INVALID_HANDLE_VALUE, "the other owner's pipe made first");
    {
        Wigwag w;
        if (Launch(w, "0|1|1|0|31|26|")) {
            const Ran status = Run(wigwagExe, L"--status", dir);
            Check(status.code == 1 && status.out.empty() &&
                      status.err == "wigwag: the command pipe belongs to another user\r\n",
                  "--status with the pipe another owner's: " + std::to_string(status.code) + " \"" +
                      status.out + status.err + "\"");
            Check(w.Close() == 0, "closed with exit code 0");
        }
    }
    for (Instance& instance : squatter) {
        DWORD bytes = 0;
        Check(!PeekNamedPipe(instance.pipe, nullptr, 0, nullptr, &bytes, nullptr) || bytes == 0,
              "the other owner's pipe was told something");
        CloseHandle(instance.io.hEvent);
        CloseHandle(instance.pipe);
    }
}

// --- the wheel button, with wheels on the test bed of wheel_bed.py ---------------------------

// A line for the test bed, which reads the driver's output: "plug 2", "down 1 18" ...
void Bed(const std::string& command) {
    std::printf("bed %s\n", command.c_str());
    std::fflush(stdout);
}

// Presses button `number` of wheel `wheel` for `hold` seconds, or leaves it down; when the
// press began.
double PressButton(int wheel, int number, double hold, bool release = true) {
    const std::string which = std::to_string(wheel) + " " + std::to_string(number);
    const double start = Now();
    Bed("down " + which);
    SleepSeconds(hold);
    if (release) Bed("up " + which);
    return start;
}

std::wstring WideText(HWND hwnd) {
    wchar_t text[256] = L"";
    SendMessageW(hwnd, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text));
    return text;
}

// A click of the mouse's left button in the middle of a control, through the system's input.
void Click(HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    INPUT input[2]{};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, input, sizeof input[0]);
}

bool FocusReceiver(const Receiver& r) {
    SetForegroundWindow(r.window);
    const bool ok = WaitUntil([&] { return GetForegroundWindow() == r.window; }, 10);
    Check(ok, "the receiver has the focus back");
    return ok;
}

// A click on cmdWheel, which starts choosing the wheel button (its caption counts the
// seconds left), and the focus back to the receiver.
bool ChooseButton(const Wigwag& w, const Receiver& r) {
    const HWND wheel = w.Control(Control::cmdWheel);
    Click(wheel);
    Check(WaitUntil([&] { return WideText(wheel).starts_with(L"Press a wheel button..."); }, 5),
          "choosing after a click: " + Text(wheel));
    return FocusReceiver(r);
}

// wigwag.exe with the first wheel (which the test bed plugs in before Wine starts) and the
// receiver; the wheel button being chosen.
bool StartWithWheel(Wigwag& w, Receiver& r) {
    if (!Launch(w, "0|1|1|0|31|26|", &r)) return false;
    Check(WideText(w.Control(Control::cmdWheel)) == L"Set Wheel Button...",
          "no wheel button at first");
    SleepSeconds(0.5);
    return ChooseButton(w, r);
}

constexpr const wchar_t* kWheelCaption = L"Button 18 \u00B7 Race && Rally Wheel";
constexpr const char* kBurst = "u66 u71 u57 d48 d8 ";

// The controllers listed; the wheel button chosen, pressed, tapped between two polls, on a
// wheel plugged in after the start, and held while its wheel goes away: each switches (or not) as
// the table says, the runs it switches have the start/stop key's timeline, and the choice is saved.
void WheelButton() {
    // The controllers, one line each, printed as the commands print their answers.
    const Ran list = Run(wigwagExe, L"--list-devices", MakeScratchDirectory());
    Check(list.code == 0 && list.err.empty() &&
              list.out.starts_with("046d:c24f  Race & Rally Wheel  20 buttons  readable  (") &&
              list.out.find('\n') + 1 == list.out.size(),
          "--list-devices: " + std::to_string(list.code) + " \"" + list.out + list.err + "\"");
    Wigwag w;
    Receiver r;
    if (!StartWithWheel(w, r)) return;
    const HWND wheel = w.Control(Control::cmdWheel);
    // Test bed lines, a click on cmdWheel when `choose`, `settle` seconds from the first line,
    // then a press of `button` on `wheel` for `hold` seconds (left down without `release`),
    // and the status 0.4 s later.
    struct Step {
        const char* what;
        const char* before;
        bool choose;
        double settle;
        int wheel, button;
        double hold;
        bool release;
        const char* status;
    };
    // Wheels come and go while not running: a look for controllers holds the window's thread
    // up for tens of milliseconds, and the runs' timelines are checked to the millisecond.
    const Step steps[] = {
        {"the choosing press", nullptr, false, 0.3, 1, 18, 0.05, true, "Not Running"},
        {"another button", nullptr, false, 0.3, 1, 5, 0.05, true, "Not Running"},
        {"a press", nullptr, false, 0.3, 1, 18, 0.3, true, "Running"},
        {"a tap between two polls", nullptr, false, 0.3, 1, 18, 0.02, true, "Not Running"},
        // A wheel plugged in is used within two seconds: its press chooses the button.
        {"a wheel plugged in after the start", "plug 2", true, 2.0, 2, 18, 0.05, true,
         "Not Running"},
        {"its press", nullptr, false, 0.3, 2, 18, 0.05, true, "Running"},
        {"its button held", nullptr, false, 0.3, 2, 18, 0.05, false, "Not Running"},
        {"another wheel after the held one went", "unplug 2;plug 3", false, 2.5, 3, 18, 0.05, true,
         "Running"},
        {"the first wheel again", nullptr, false, 0.3, 1, 18, 0.05, true, "Not Running"},
    };
    std::vector<double> switches;  // when each press that switched began
    std::string before = w.Status();
    for (const Step& step : steps) {
        const double from = Now();
        // Half a second between test bed lines, as between a player's hands.
        std::istringstream lines(step.before ? step.before : "");
        bool first = true;
        for (std::string line; std::getline(lines, line, ';'); first = false) {
            if (!first) SleepSeconds(0.5);
            Bed(line);
        }
        if (step.choose) ChooseButton(w, r);
        SleepSeconds(from + step.settle - Now());
        const double start = PressButton(step.wheel, step.button, step.hold, step.release);
        SleepSeconds(0.4);
        Check(w.Status() == step.status, std::string(step.what) + ": " + w.Status());
        Check(WideText(wheel) == kWheelCaption,
              std::string(step.what) + ": caption " + Text(wheel));
        if (w.Status() != before) switches.push_back(start);
        before = w.Status();
    }
    // Then the start/stop key.
    switches.push_back(Switch(w, kDelete, 0.06, 0.6, "Running"));
    switches.push_back(Switch(w, kDelete, 0.06, 0.4, "Not Running"));
    Check(w.Close() == 0, "closed with exit code 0");
    Check(ReadBytes(w.dir + L"\\wigwag.cfg") == Config("0|1|1|0|31|26|046d:c24f:18|"),
          "saved:\n" + ReadBytes(w.dir + L"\\wigwag.cfg"));

    // Every switch a burst within a poll of its press, every run the start/stop key's.
    const std::vector<KeyRecord> keys = r.Stop();
    std::vector<std::size_t> bursts;
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (IsBurstAt(keys, i)) bursts.push_back(i);
    if (bursts.size() != switches.size())
        return Check(false, std::to_string(bursts.size()) + " bursts for " +
                                std::to_string(switches.size()) + " switches:\n" + Events(keys));
    for (std::size_t n = 0; n < bursts.size(); ++n) {
        const double late = keys[bursts[n]].time - switches[n];
        Check(late > 0 && late < 0.25,
              "switch " + std::to_string(n) + " after " + std::to_string(late) + " s");
        if (n % 2 == 0) CheckRun(keys, bursts[n], kBurst, "run " + std::to_string(n / 2));
    }
}

// The time from a press of the wheel button to the burst's first key over 50 presses,
// printed (not checked).
void WheelLatency() {
    Wigwag w;
    Receiver r;
    if (!StartWithWheel(w, r)) return;
    PressButton(1, 18, 0.05);
    SleepSeconds(0.5);
    std::vector<double> presses;
    for (int n = 0; n < 50; ++n) {
        presses.push_back(PressButton(1, 18, 0.05));
        SleepSeconds(0.25 + 0.01 * (n % 10));  // presses fall all over the poll's period
    }
    Check(w.Close() == 0, "closed with exit code 0");
    const std::vector<KeyRecord> keys = r.Stop();
    std::vector<double> late;
    std::size_t next = 0;
    for (std::size_t i = 0; i < keys.size() && next < presses.size(); ++i)
        if (IsBurstAt(keys, i)) late.push_back(keys[i].time - presses[next++]);
    if (late.size() != presses.size())
        return Check(false, std::to_string(late.size()) + " bursts for 50 presses");
    std::sort(late.begin(), late.end());
    std::printf("wheel button to burst over %zu presses: median %.1f ms, worst %.1f ms\n",
                late.size(), 500 * (late[24] + late[25]), 1000 * late.back());
}

std::string Str(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " to " + std::to_string(r.right) +
           "," + std::to_string(r.bottom);
}

// The client area and every control where the layout table puts them, 15 twips a pixel;
// then a screenshot of the window.
void Layout() {
    Wigwag w;
    if (!Launch(w, "1|1|0|0|31|26|")) return;
    RECT r{}, want{0, 0, wigwag::kForm1.clientWidth / 15, wigwag::kForm1.clientHeight / 15};
    GetClientRect(w.window, &r);
    Check(EqualRect(&r, &want), "client area " + Str(r) + ", expected " + Str(want));
    for (const wigwag::ControlLayout& c : wigwag::kControls) {
        GetWindowRect(w.Control(c.id), &r);
        MapWindowPoints(HWND_DESKTOP, w.window, reinterpret_cast<POINT*>(&r), 2);
        want = {c.left / 15, c.top / 15, (c.left + c.width) / 15, (c.top + c.height) / 15};
        Check(EqualRect(&r, &want), std::string(c.name) + " at " + Str(r) + ", not " + Str(want));
    }

    SetForegroundWindow(w.window);
    SleepSeconds(1.0);
    GetWindowRect(w.window, &r);
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
    Check(w.Close() == 0, "closed with exit code 0");
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
