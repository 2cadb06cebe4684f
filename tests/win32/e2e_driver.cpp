// End-to-end cases for wigwag.exe, run under Wine (or on Windows): the program runs in a
// scratch directory, the driver reads its controls through window messages, presses keys
// as another program would, and reads what the receiver window got.
//
//   wigwag_e2e <case> <wigwag.exe> <wigwag_receiver.exe> <output directory>
#include "tests/win32/e2e_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <commctrl.h>

#include "keys/key_table.h"
#include "platform/win32/control_ids.h"
#include "tests/win32/e2e_support.h"
#include "window/layout.h"

using namespace e2e;
using wigwag::Control;

namespace {

const std::string kTrailer = "---------------\r\nWigwag Config File.\r\nCreated By Vantor\r\n";
std::string Config(const std::string& dataLine) {
    return dataLine + "\r\n" + kTrailer;
}

std::wstring wigwagExe, receiverExe, outputDir;

constexpr std::uint8_t kDelete = 0x2E, kBackspace = 0x08, kB = 0x42, kG = 0x47, kNine = 0x39;

std::string Num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4f", v);
    return buf;
}

void CheckControls(const Wigwag& w, std::array<int, 3> checks, std::array<int, 3> keys,
                   const std::string& when) {
    const Control boxes[] = {Control::cbFlash, Control::cbSiren, Control::cbHazards};
    const Control lists[] = {Control::cboStartKey, Control::cboFlash, Control::cboSiren};
    for (int i = 0; i < 3; ++i) {
        const int v = w.CheckValue(boxes[i]);
        Check(v == checks[std::size_t(i)], when + ": " + wigwag::LayoutOf(boxes[i]).name + " is " +
                                               std::to_string(v) + ", expected " +
                                               std::to_string(checks[std::size_t(i)]));
        const int k = w.ListIndex(lists[i]);
        Check(k == keys[std::size_t(i)], when + ": " + wigwag::LayoutOf(lists[i]).name +
                                             " index is " + std::to_string(k) + ", expected " +
                                             std::to_string(keys[std::size_t(i)]));
    }
}

bool Launch(Wigwag& w, const std::string* config) {
    const std::wstring dir = MakeScratchDirectory();
    if (config) WriteBytes(dir + L"\\wigwag.cfg", *config);
    if (!StartWigwag(w, wigwagExe, dir)) {
        Check(false, "wigwag.exe started and created its window");
        return false;
    }
    return true;
}

// Starts with a settings file and waits for the window; no message box may come up.
bool LaunchLoaded(Wigwag& w, const std::string& config) {
    if (!Launch(w, &config)) return false;
    const bool shown = WaitShown(w, 60);
    Check(shown, "window shown");
    Check(!FindProcessWindow(w.process.id, L"Unable to Continue"),
          "no message box for a readable settings file");
    return shown;
}

void CloseAndCheckFile(Wigwag& w, const std::string& expected, const std::string& what) {
    const int code = w.Close();
    Check(code == 0, what + ": exit code " + std::to_string(code));
    std::string saved;
    Check(ReadBytes(w.dir + L"\\wigwag.cfg", saved), what + ": settings file written");
    Check(saved == expected, what + ": saved " + Quote(saved) + ", expected " + Quote(expected));
}

// --- first run: the message box, the controls before and after the defaults, the file ------

struct BoxContents {
    std::vector<std::wstring> texts, buttons;
    std::vector<HWND> icons, buttonWindows;
};

BOOL CALLBACK CollectBox(HWND child, LPARAM lp) {
    auto* box = reinterpret_cast<BoxContents*>(lp);
    const std::wstring cls = ClassOf(child);
    if (_wcsicmp(cls.c_str(), L"Button") == 0) {
        box->buttons.push_back(WindowText(child));
        box->buttonWindows.push_back(child);
    } else if (_wcsicmp(cls.c_str(), L"Static") == 0) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            box->icons.push_back(child);
        else
            box->texts.push_back(WindowText(child));
    }
    return TRUE;
}

// Pixels of a screen rectangle as 24-bit RGB, rows top to bottom.
std::vector<std::uint8_t> Capture(const RECT& area) {
    const int width = area.right - area.left, height = area.bottom - area.top;
    std::vector<std::uint8_t> rgb;
    if (width <= 0 || height <= 0) return rgb;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, dib);
    BitBlt(mem, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    rgb.resize(std::size_t(width) * std::size_t(height) * 3);
    const auto* p = static_cast<const std::uint8_t*>(bits);
    for (std::size_t i = 0; i < std::size_t(width) * std::size_t(height); ++i) {
        rgb[i * 3] = p[i * 4 + 2];
        rgb[i * 3 + 1] = p[i * 4 + 1];
        rgb[i * 3 + 2] = p[i * 4];
    }
    SelectObject(mem, old);
    DeleteObject(dib);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return rgb;
}

void FirstRun() {
    Wigwag w;
    if (!Launch(w, nullptr)) return;
    HWND box = nullptr;
    WaitUntil(
        [&] {
            return (box = FindProcessWindow(w.process.id, L"Unable to Continue", L"#32770")) !=
                   nullptr;
        },
        60);
    Check(box != nullptr, "message box \"Unable to Continue\" shown");
    if (!box) {
        w.process.Kill();
        return;
    }
    Check(!IsWindowVisible(w.form), "main window still hidden while the settings load");

    BoxContents contents;
    EnumChildWindows(box, CollectBox, reinterpret_cast<LPARAM>(&contents));
    const std::wstring text = L"An error occurred loading file:\r\nwigwag.cfg";
    Check(std::find(contents.texts.begin(), contents.texts.end(), text) != contents.texts.end(),
          "message box text");
    Check(contents.buttons.size() == 1 && contents.buttons[0] == L"OK",
          "message box has one button, OK");
    Check(contents.icons.size() == 1, "message box shows an icon");
    if (contents.icons.size() == 1) {
        // The exclamation icon is a yellow warning sign (the other icons are blue or red).
        RECT r{};
        GetWindowRect(contents.icons[0], &r);
        const std::vector<std::uint8_t> rgb = Capture(r);
        std::size_t yellow = 0;
        for (std::size_t i = 0; i + 2 < rgb.size(); i += 3)
            if (rgb[i] > 200 && rgb[i + 1] > 120 && rgb[i + 2] < 90) ++yellow;
        Check(yellow > 40, "the icon is the yellow exclamation sign (" + std::to_string(yellow) +
                               " yellow pixels)");
    }

    // The controls as created, before the load has chosen any key.
    CheckControls(w, {0, 0, 0}, {-1, -1, -1}, "while the message box is open");
    Check(w.Text(Control::lblStatus) == "Not Running", "status while loading");
    Check(w.ListCount(Control::lstKeys) == wigwag::kKeyCount, "lstKeys filled at creation");
    Check(w.ListCount(Control::lstStart) == 0, "lstStart empty after the failed read");
    // Ticks that fall due meanwhile change nothing.
    SleepSeconds(0.5);
    CheckControls(w, {0, 0, 0}, {-1, -1, -1}, "half a second later, box still open");
    Check(!IsWindowVisible(w.form), "main window hidden until the box is dismissed");

    PostMessageW(contents.buttonWindows[0], BM_CLICK, 0, 0);
    Check(WaitShown(w, 30), "window shown after OK");
    Check(!IsWindow(box), "message box gone");
    CheckControls(w, {0, 0, 0}, {wigwag::kDeleteIndex, wigwag::kGIndex, wigwag::kBIndex},
                  "defaults");
    Check(w.Text(Control::lblStatus) == "Not Running", "status after loading");
    Check(Narrow(WindowText(w.form)) == wigwag::kForm1.caption, "window caption");

    for (Control combo : {Control::cboStartKey, Control::cboFlash, Control::cboSiren}) {
        Check(w.ListCount(combo) == wigwag::kKeyCount,
              std::string(wigwag::LayoutOf(combo).name) + " holds every key");
        for (int i = 0; i < wigwag::kKeyCount; ++i) {
            const std::string item = w.ListItem(combo, i);
            if (item != wigwag::kKeyTable[std::size_t(i)].name) {
                Check(false, std::string(wigwag::LayoutOf(combo).name) + " item " +
                                 std::to_string(i) + " is " + Quote(item));
                break;
            }
        }
    }
    for (int i = 0; i < wigwag::kKeyCount; ++i) {
        const std::string item = w.ListItem(Control::lstKeys, i);
        if (item != wigwag::CodeText(wigwag::kKeyTable[std::size_t(i)].code)) {
            Check(false, "lstKeys item " + std::to_string(i) + " is " + Quote(item));
            break;
        }
    }
    CloseAndCheckFile(w, Config("0|0|0|0|31|26|"), "first close");
}

// While the load's message box is open the timers tick, but no tick acts: a press of the
// start key then switches nothing.
void LoadBox() {
    Wigwag w;
    if (!Launch(w, nullptr)) return;
    HWND box = nullptr;
    WaitUntil(
        [&] { return (box = FindProcessWindow(w.process.id, L"Unable to Continue")) != nullptr; },
        60);
    Check(box != nullptr, "message box shown");
    SleepSeconds(0.3);
    Tap(kDelete, 0.06);
    SleepSeconds(0.8);
    Check(IsWindow(box) != FALSE, "message box still open");
    Check(w.Text(Control::lblStatus) == "Not Running", "no tick acted while the box was open");
    CheckControls(w, {0, 0, 0}, {-1, -1, -1}, "box open");
    w.process.Kill();
}

// --- settings through the real program ----------------------------------------------------

void Click(const Wigwag& w, Control c) {
    SendMessageW(w.Control(c), BM_CLICK, 0, 0);
}

void Settings() {
    {
        Wigwag w;
        if (!LaunchLoaded(w, Config("2|1|0|5|3|40|"))) return;
        CheckControls(w, {2, 1, 0}, {5, 3, 40}, "loaded");
        Check(w.ListCount(Control::lstStart) == 4, "lstStart holds the file's four lines");
        Check(w.ListItem(Control::lstStart, 0) == "2|1|0|5|3|40|", "lstStart item 0");
        Check(w.ListItem(Control::lstStart, 3) == "Created By Vantor", "lstStart item 3");

        // A user's click ticks a greyed or clear box and clears a ticked one.
        Click(w, Control::cbFlash);
        Check(w.CheckValue(Control::cbFlash) == 1, "click on a greyed box ticks it");
        Click(w, Control::cbSiren);
        Check(w.CheckValue(Control::cbSiren) == 0, "click on a ticked box clears it");
        Click(w, Control::cbHazards);
        Check(w.CheckValue(Control::cbHazards) == 1, "click on a clear box ticks it");
        Click(w, Control::cbHazards);
        Check(w.CheckValue(Control::cbHazards) == 0, "second click clears it");
        Click(w, Control::cbHazards);
        Check(w.CheckValue(Control::cbHazards) == 1, "third click ticks it again");

        SendMessageW(w.Control(Control::cboStartKey), CB_SETCURSEL, 9, 0);
        SendMessageW(w.Control(Control::cboFlash), CB_SETCURSEL, 0, 0);
        SendMessageW(w.Control(Control::cboSiren), CB_SETCURSEL, 62, 0);
        Check(w.Text(Control::lblStatus) == "Not Running", "choices change no run state");
        CloseAndCheckFile(w, Config("1|0|1|9|0|62|"), "after changes");
    }
    {
        Wigwag w;
        if (!LaunchLoaded(w, Config("1|0|1|9|0|62|"))) return;
        CheckControls(w, {1, 0, 1}, {9, 0, 62}, "saved choices read back");
        CloseAndCheckFile(w, Config("1|0|1|9|0|62|"), "unchanged round trip");
    }
    {
        Wigwag w;
        if (!LaunchLoaded(w, Config("1|1|1"))) return;
        CheckControls(w, {1, 1, 1}, {0, 31, 26}, "three fields, key defaults");
        CloseAndCheckFile(w, Config("1|1|1|0|31|26|"), "defaults written back");
    }
    {
        Wigwag w;
        if (!LaunchLoaded(w, Config("0|2|0|-1|x|26|"))) return;
        CheckControls(w, {0, 2, 0}, {-1, -1, 26}, "no choice and an unreadable field");
        CloseAndCheckFile(w, Config("0|2|0|-1|-1|26|"), "lists without a choice");
    }
}

// --- the run timeline ----------------------------------------------------------------------

struct Span {
    std::size_t begin, end;  // [begin, end) in the key list
};

std::vector<KeyRecord> Only(const std::vector<KeyRecord>& keys, std::uint8_t vk, double from,
                            double to) {
    std::vector<KeyRecord> out;
    for (const KeyRecord& k : keys)
        if (k.vk == vk && k.time >= from && k.time < to) out.push_back(k);
    return out;
}

std::vector<std::size_t> Bursts(const std::vector<KeyRecord>& keys, std::size_t extraUps) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (IsBurstAt(keys, i, extraUps)) at.push_back(i);
    return at;
}

// Every key-down of the program is followed at once by a key-down of Backspace.
void CheckBackspaceAfterDowns(const std::vector<KeyRecord>& keys) {
    std::size_t downs = 0, backspaces = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].up) continue;
        if (keys[i].vk == kBackspace) {
            ++backspaces;
            continue;
        }
        ++downs;
        const bool followed =
            i + 1 < keys.size() && !keys[i + 1].up && keys[i + 1].vk == kBackspace;
        Check(followed, "key-down " + Describe(keys[i]) + " followed by a Backspace key-down");
    }
    Check(downs == backspaces, "as many Backspace key-downs (" + std::to_string(backspaces) +
                                   ") as other key-downs (" + std::to_string(downs) + ")");
}

void CheckScanCodes(const std::vector<KeyRecord>& keys, const std::vector<std::uint8_t>& extended) {
    std::map<std::uint8_t, int> wrong;
    for (const KeyRecord& k : keys) {
        const int scan = int(MapVirtualKeyW(k.vk, MAPVK_VK_TO_VSC));
        const bool ext = std::find(extended.begin(), extended.end(), k.vk) != extended.end();
        if (k.Scan() != scan || k.Extended() != ext || scan == 0) ++wrong[k.vk];
    }
    for (auto [vk, n] : wrong)
        Check(false, std::to_string(n) + " events of key " + std::to_string(vk) +
                         " without its scan code " +
                         std::to_string(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC)) + " and flag");
}

constexpr double kTolerance = 0.050;

// The ticks of one effect: groups of key events of one key (`pattern` says which are ups),
// each group starting on the timer's schedule. A tick starts late only when the one before
// it was still running; the holds and gaps inside a tick last 0.1 s, longer only when a tick
// of another pausing effect ran nested inside them.
void CheckTicks(const std::vector<KeyRecord>& keys, const std::vector<KeyRecord>& others,
                double origin, double period, const std::vector<bool>& pattern, double runSeconds,
                const std::string& name) {
    const std::size_t n = pattern.size();
    Check(keys.size() % n == 0, name + ": " + std::to_string(keys.size()) +
                                    " events, not whole ticks of " + std::to_string(n));
    const std::size_t ticks = keys.size() / n;
    const double expected = std::floor(runSeconds / period);
    Check(std::fabs(double(ticks) - expected) <= 1, name + ": " + std::to_string(ticks) +
                                                        " ticks in " + Num(runSeconds) +
                                                        " s, expected about " + Num(expected));
    double worstStart = 0, worstStep = 0;
    for (std::size_t t = 0; t < ticks; ++t) {
        const KeyRecord* tick = &keys[t * n];
        for (std::size_t i = 0; i < n; ++i)
            Check(tick[i].up == pattern[i], name + ": " + Describe(tick[i]) + " should be a key-" +
                                                (pattern[i] ? "up" : "down"));
        const double due = origin + double(t + 1) * period;
        const double previousEnd = t > 0 ? keys[t * n - 1].time : origin;
        const double error = tick[0].time - std::max(due, previousEnd);
        worstStart = std::max(worstStart, std::fabs(error));
        Check(std::fabs(error) <= kTolerance, name + ": tick " + std::to_string(t + 1) + " at " +
                                                  Describe(tick[0]) + " off its schedule by " +
                                                  Num(error) + " s");
        for (std::size_t i = 1; i < n; ++i) {
            const double a = tick[i - 1].time, b = tick[i].time;
            bool nested = false;
            for (const KeyRecord& o : others)
                nested = nested || (!o.up && o.time > a && o.time < b);
            const double error = b - a - 0.1;
            if (!nested) worstStep = std::max(worstStep, std::fabs(error));
            Check(error >= -kTolerance && error <= (nested ? 0.1 : 0.0) + kTolerance,
                  name + ": " + Num(b - a) + " s from " + Describe(tick[i - 1]) + " to " +
                      Describe(tick[i]) + (nested ? " (another tick nested)" : ""));
        }
    }
    std::printf("%s: %zu ticks, worst start error %.1f ms, worst hold/gap error %.1f ms\n",
                name.c_str(), ticks, worstStart * 1000, worstStep * 1000);
}

bool StartWithReceiver(Wigwag& w, Receiver& r, const std::string& config) {
    if (!LaunchLoaded(w, config)) return false;
    if (!StartReceiver(r, receiverExe, w.dir)) {
        Check(false, "receiver window has the focus");
        return false;
    }
    return true;
}

void Timeline() {
    Wigwag w;
    Receiver r;
    if (!StartWithReceiver(w, r, Config("1|1|1|0|31|26|"))) {
        w.process.Kill();
        r.process.Kill();
        return;
    }
    SleepSeconds(0.3);
    const double startTap = Now();
    Tap(kDelete, 0.06);
    SleepSeconds(0.4);
    Check(w.Text(Control::lblStatus) == "Running", "status Running after the start key");
    SleepSeconds(2.05 - 0.4);
    const double stopTap = Now();
    Tap(kDelete, 0.06);
    SleepSeconds(0.6);
    Check(w.Text(Control::lblStatus) == "Not Running", "status Not Running after the stop");
    std::vector<KeyRecord> all = r.Stop();
    const int code = w.Close();
    Check(code == 0, "exit code " + std::to_string(code));

    std::vector<KeyRecord> keys;
    for (const KeyRecord& k : all)
        if (k.vk != kDelete) keys.push_back(k);
    const std::vector<std::size_t> bursts = Bursts(keys, 0);
    Check(bursts.size() == 2, std::to_string(bursts.size()) + " switch-over bursts, expected 2");
    if (bursts.size() != 2) {
        for (const KeyRecord& k : keys) std::printf("  %s\n", Describe(k).c_str());
        return;
    }
    Check(bursts[0] == 0, "nothing sent before the start");
    const double start = keys[bursts[0]].time, stop = keys[bursts[1]].time;
    std::printf("start key seen after %.1f ms, stop after %.1f ms\n", (start - startTap) * 1000,
                (stop - stopTap) * 1000);
    // The effect timers start once the burst has been sent.
    const double enabled = keys[bursts[0] + 4].time;
    Check(start > startTap && start - startTap < 0.2, "start burst within a poll of the tap");
    Check(stop > stopTap && stop - stopTap < 0.2, "stop burst within a poll of the tap");
    const double run = stop - start;

    CheckBackspaceAfterDowns(keys);
    CheckScanCodes(keys, {});

    std::vector<KeyRecord> effects;
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (!(i >= bursts[0] && i < bursts[0] + 5) && !(i >= bursts[1] && i < bursts[1] + 5))
            effects.push_back(keys[i]);
    // B: a key-down every 100 ms and never a key-up but the bursts'.
    const std::vector<KeyRecord> horn = Only(effects, kB, start, stop);
    const std::vector<KeyRecord> flash = Only(effects, kG, start, stop + 1);
    const std::vector<KeyRecord> hazards = Only(effects, kNine, start, stop + 1);
    CheckTicks(horn, {}, enabled, 0.1, {false}, run, "horn");
    CheckTicks(flash, hazards, enabled, 0.4, {false, true, false, true}, run, "headlights");
    CheckTicks(hazards, flash, enabled, 1.0, {false, true}, run, "hazards");
    // Only a tick already under way finishes after the stop.
    for (const KeyRecord& k : effects) {
        if (k.time < stop) continue;
        Check(k.vk != kB, "no horn after the stop: " + Describe(k));
        Check(k.time - stop < 0.35, "late event after the stop: " + Describe(k));
    }
    if (failures) {
        std::printf("events, seconds after the start burst:\n");
        for (const KeyRecord& k : all)
            std::printf("  %+8.4f %-4s %3u\n", k.time - start, k.up ? "up" : "down",
                        unsigned(k.vk));
    }
}

// --- the start/stop key: taps, holds, the program's own keys -------------------------------

// Under Wine: a key pressed and released through the X server with xdotool, with the
// pointer over `over` (without a window manager the X keyboard focus follows the pointer).
bool XdoTap(HWND over, const char* keysym, double hold) {
    const std::wstring xdotool = L"Z:\\usr\\bin\\xdotool";
    if (GetFileAttributesW(xdotool.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    RECT r{};
    GetWindowRect(over, &r);
    char args[200];
    std::snprintf(args, sizeof args, "mousemove %ld %ld sleep 0.3 keydown %s sleep %.3f keyup %s",
                  (r.left + r.right) / 2, (r.top + r.bottom) / 2, keysym, hold, keysym);
    // Wine runs a Unix program without giving a process handle to wait on.
    Process p = Start(xdotool, Widen(args), L"C:\\");
    if (p.handle) p.WaitExit(20);
    SleepSeconds(1.5);
    return true;
}

void OwnKeys() {
    // Start/stop on Backspace, which the program itself presses all the time; the flash and
    // horn on Delete and Insert, which need the extended flag.
    Wigwag w;
    Receiver r;
    if (!StartWithReceiver(w, r, Config("1|1|1|4|0|3|"))) {
        w.process.Kill();
        r.process.Kill();
        return;
    }
    SleepSeconds(0.3);
    auto status = [&] { return w.Text(Control::lblStatus); };

    Tap(kBackspace, 0.06);
    SleepSeconds(1.5);
    Check(status() == "Running", "another program's tap starts; its own Backspaces do not stop");
    Tap(kBackspace, 0.06);
    SleepSeconds(0.4);
    Check(status() == "Not Running", "tap stops");

    KeyEvent(kBackspace, false);
    SleepSeconds(2.0);
    Check(status() == "Running", "held key: one switch");
    KeyEvent(kBackspace, true);
    SleepSeconds(0.4);
    Check(status() == "Running", "releasing the held key switches nothing");

    // Taps far shorter than a poll, each seen once.
    int taps = 0;
    for (int i = 0; i < 6; ++i) {
        Tap(kBackspace, 0.015);
        ++taps;
        SleepSeconds(0.3);
        const std::string expected = (taps % 2 == 1) ? "Not Running" : "Running";
        Check(status() == expected, "15 ms tap " + std::to_string(taps) + " switched");
    }
    // A tap through the X server, as from a keyboard or a remapping tool (under Wine only).
    const bool xTap = XdoTap(r.window, "BackSpace", 0.06);
    if (xTap) {
        SleepSeconds(0.4);
        Check(status() == "Not Running", "a tap through the X server switched");
    } else {
        std::printf("no xdotool: the tap through the X server is not tried\n");
    }
    SleepSeconds(0.4);
    std::vector<KeyRecord> all = r.Stop();
    const int code = w.Close();
    Check(code == 0, "exit code " + std::to_string(code));

    // The receiver also got the Backspace presses made here. Their key-ups (the program never
    // releases Backspace) can fall between the events of a burst: leave them out.
    std::vector<KeyRecord> withoutUps;
    for (const KeyRecord& k : all)
        if (!(k.up && k.vk == kBackspace)) withoutUps.push_back(k);
    const std::size_t bursts = Bursts(withoutUps, 2).size();
    const std::size_t expected = xTap ? 10 : 9;
    Check(bursts == expected,
          std::to_string(bursts) + " switch-over bursts, expected " + std::to_string(expected));
    std::vector<KeyRecord> program;
    for (const KeyRecord& k : all)
        if (k.vk == 0x2E || k.vk == 0x2D) program.push_back(k);
    Check(!Only(program, 0x2E, 0, 1e9).empty(), "flash key Delete sent");
    Check(!Only(program, 0x2D, 0, 1e9).empty(), "horn key Insert sent");
    CheckScanCodes(program, {0x2E, 0x2D});
    std::vector<KeyRecord> plain;
    for (const KeyRecord& k : all)
        if (k.vk == kB || k.vk == kG || k.vk == kNine || k.vk == 0x30) plain.push_back(k);
    CheckScanCodes(plain, {});
}

// --- window layout and focus order ----------------------------------------------------------

UINT DpiOf(HWND hwnd) {
    using Fn = UINT(WINAPI*)(HWND);
    const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (fn) return fn(hwnd);
    HDC dc = GetDC(nullptr);
    const UINT dpi = UINT(GetDeviceCaps(dc, LOGPIXELSY));
    ReleaseDC(nullptr, dc);
    return dpi;
}

HWND FocusOf(HWND form) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(form, nullptr), &info);
    return info.hwndFocus;
}

std::string NameOf(const Wigwag& w, HWND h) {
    for (const wigwag::ControlLayout& s : wigwag::kControls)
        if (w.Control(s.id) == h) return s.name;
    return h ? "another window" : "no window";
}

void Layout() {
    Wigwag w;
    if (!LaunchLoaded(w, Config("0|0|0|0|31|26|"))) return;
    const UINT dpi = DpiOf(w.form);
    auto px = [&](int twips) { return MulDiv(twips, int(dpi), wigwag::kForm1.twipsPerInch); };
    std::printf("window DPI %u\n", dpi);

    const LONG style = GetWindowLongW(w.form, GWL_STYLE);
    Check((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU), "caption and system menu");
    Check(!(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)),
          "fixed border, no minimize or maximize button");
    RECT client{};
    GetClientRect(w.form, &client);
    Check(client.right == px(wigwag::kForm1.clientWidth) &&
              client.bottom == px(wigwag::kForm1.clientHeight),
          "client area " + std::to_string(client.right) + " x " + std::to_string(client.bottom));

    for (const wigwag::ControlLayout& s : wigwag::kControls) {
        const HWND h = w.Control(s.id);
        Check(h != nullptr, std::string(s.name) + " exists");
        if (!h) continue;
        const std::wstring cls = ClassOf(h);
        const LONG cs = GetWindowLongW(h, GWL_STYLE);
        const wchar_t* expectedClass = L"Static";
        switch (s.kind) {
            case wigwag::ControlKind::Picture:
                Check((cs & SS_TYPEMASK) == SS_BITMAP, std::string(s.name) + " shows a bitmap");
                break;
            case wigwag::ControlKind::Label:
                Check(Narrow(WindowText(h)) == s.text, std::string(s.name) + " text");
                break;
            case wigwag::ControlKind::DropDownList:
                expectedClass = L"ComboBox";
                Check((cs & 3) == CBS_DROPDOWNLIST, std::string(s.name) + " is a drop-down list");
                break;
            case wigwag::ControlKind::CheckBox:
                expectedClass = L"Button";
                Check((cs & BS_TYPEMASK) == BS_AUTO3STATE, std::string(s.name) + " three-state");
                Check(Narrow(WindowText(h)) == s.text, std::string(s.name) + " text");
                break;
            case wigwag::ControlKind::List:
                expectedClass = L"ListBox";
                Check(IsWindowVisible(h) != FALSE, std::string(s.name) + " is a real list");
                Check(px(s.left) >= client.right,
                      std::string(s.name) + " lies off the client area");
                break;
        }
        Check(_wcsicmp(cls.c_str(), expectedClass) == 0,
              std::string(s.name) + " class " + Narrow(cls));
        RECT r{};
        GetWindowRect(h, &r);
        MapWindowPoints(HWND_DESKTOP, w.form, reinterpret_cast<POINT*>(&r), 2);
        const bool placed = std::abs(r.left - px(s.left)) <= 1 &&
                            std::abs(r.top - px(s.top)) <= 1 &&
                            std::abs(r.right - r.left - px(s.width)) <= 1 &&
                            std::abs(r.bottom - r.top - px(s.height)) <= 1;
        Check(placed, std::string(s.name) + " at " + std::to_string(r.left) + "," +
                          std::to_string(r.top) + " size " + std::to_string(r.right - r.left) +
                          "x" + std::to_string(r.bottom - r.top) + ", expected " +
                          std::to_string(px(s.left)) + "," + std::to_string(px(s.top)) + " size " +
                          std::to_string(px(s.width)) + "x" + std::to_string(px(s.height)));
    }
    Check((GetWindowLongW(w.Control(Control::Image2), GWL_STYLE) & SS_NOTIFY) != 0,
          "Image2 reports clicks");

    // The hover texts: one tool per control that has one.
    std::size_t tips = 0;
    for (const wigwag::ControlLayout& s : wigwag::kControls) tips += s.toolTip ? 1 : 0;
    HWND tooltip = nullptr;
    for (HWND h = FindWindowExW(nullptr, nullptr, TOOLTIPS_CLASSW, nullptr); h;
         h = FindWindowExW(nullptr, h, TOOLTIPS_CLASSW, nullptr)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        if (pid == w.process.id) tooltip = h;
    }
    Check(tooltip != nullptr, "tooltip control");
    if (tooltip)
        Check(std::size_t(SendMessageW(tooltip, TTM_GETTOOLCOUNT, 0, 0)) == tips,
              "one hover text per control that has one");

    // Focus order, with real Tab and Shift+Tab presses.
    std::vector<Control> order;
    std::vector<const wigwag::ControlLayout*> focusable;
    for (const wigwag::ControlLayout& s : wigwag::kControls)
        if (s.tabIndex >= 0 && s.kind != wigwag::ControlKind::Label) focusable.push_back(&s);
    std::sort(focusable.begin(), focusable.end(),
              [](auto* a, auto* b) { return a->tabIndex < b->tabIndex; });
    for (auto* s : focusable) order.push_back(s->id);

    SetForegroundWindow(w.form);
    WaitUntil([&] { return GetForegroundWindow() == w.form; }, 5);
    Check(WaitUntil([&] { return FocusOf(w.form) == w.Control(order[0]); }, 5),
          "focus starts on " + std::string(wigwag::LayoutOf(order[0]).name) + ", is on " +
              NameOf(w, FocusOf(w.form)));
    for (std::size_t i = 1; i <= order.size(); ++i) {
        Tap(VK_TAB, 0.02);
        const HWND want = w.Control(order[i % order.size()]);
        Check(WaitUntil([&] { return FocusOf(w.form) == want; }, 2),
              "Tab " + std::to_string(i) + " to " + NameOf(w, want) + ", is on " +
                  NameOf(w, FocusOf(w.form)));
    }
    for (std::size_t i = 1; i <= 2; ++i) {
        KeyEvent(VK_SHIFT, false);
        Tap(VK_TAB, 0.02);
        KeyEvent(VK_SHIFT, true);
        const HWND want = w.Control(order[order.size() - i]);
        Check(WaitUntil([&] { return FocusOf(w.form) == want; }, 2),
              "Shift+Tab " + std::to_string(i) + " to " + NameOf(w, want) + ", is on " +
                  NameOf(w, FocusOf(w.form)));
    }
    const int code = w.Close();
    Check(code == 0, "exit code " + std::to_string(code));
}

// --- the web-site picture ---------------------------------------------------------------------

void ClickOn(const Wigwag& w, Control c) {
    SendMessageW(w.Control(c), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(w.Control(c), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
}

std::vector<std::string> ShellStarts(const Wigwag& w) {
    std::string log;
    std::vector<std::string> lines;
    if (!ReadBytes(w.dir + L"\\shell.log", log)) return lines;
    std::size_t at = 0;
    for (std::size_t end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(log.substr(at, end - at));
    return lines;
}

void WebSite() {
    // The program starts "explorer.exe" by name; one in its working directory is found
    // before the system's, so a stand-in records each start instead of opening a browser.
    Wigwag w;
    if (!LaunchLoaded(w, Config("0|0|0|0|31|26|"))) return;
    Check(CopyFileW(receiverExe.c_str(), (w.dir + L"\\explorer.exe").c_str(), FALSE) != FALSE,
          "stand-in shell in place");
    for (Control c : {Control::Image1, Control::Label1, Control::Label2, Control::lblStatus})
        ClickOn(w, c);
    SleepSeconds(1.0);
    Check(ShellStarts(w).empty(), "clicks on the banner and the labels start nothing");

    ClickOn(w, Control::Image2);
    Check(WaitUntil([&] { return ShellStarts(w).size() == 1; }, 20), "a click starts the shell");
    ClickOn(w, Control::Image2);
    Check(WaitUntil([&] { return ShellStarts(w).size() == 2; }, 20),
          "a second click starts it again");
    SleepSeconds(1.0);
    const std::vector<std::string> starts = ShellStarts(w);
    Check(starts.size() == 2, std::to_string(starts.size()) + " starts for two clicks");
    const std::string expected =
        std::string(wigwag::kShellProgram) + " " + wigwag::kWebAddress + "|2";
    for (const std::string& line : starts)
        Check(line == expected, "started " + Quote(line) + ", expected " + Quote(expected));
    Check(w.Text(Control::lblStatus) == "Not Running", "nothing else changed");
    const int code = w.Close();
    Check(code == 0, "exit code " + std::to_string(code));
}

// --- screenshot -------------------------------------------------------------------------------

void Screenshot() {
    Wigwag w;
    if (!LaunchLoaded(w, Config("1|1|0|0|31|26|"))) return;
    SetForegroundWindow(w.form);
    SleepSeconds(1.0);
    RECT frame{};
    GetWindowRect(w.form, &frame);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    const std::vector<std::uint8_t> rgb = Capture(frame);
    // The client area: mostly black, red lettering and labels, white status text.
    POINT origin{0, 0};
    ClientToScreen(w.form, &origin);
    RECT client{};
    GetClientRect(w.form, &client);
    std::size_t black = 0, red = 0, white = 0, total = 0;
    for (int y = 0; y < client.bottom; ++y)
        for (int x = 0; x < client.right; ++x) {
            const int sx = origin.x - frame.left + x, sy = origin.y - frame.top + y;
            if (sx < 0 || sy < 0 || sx >= width || sy >= height) continue;
            const std::uint8_t* c = &rgb[(std::size_t(sy) * width + sx) * 3];
            ++total;
            if (c[0] < 24 && c[1] < 24 && c[2] < 24) ++black;
            if (c[0] > 160 && c[1] < 80 && c[2] < 80) ++red;
            if (c[0] > 230 && c[1] > 230 && c[2] > 230) ++white;
        }
    std::printf("client pixels %zu: black %zu, red %zu, white %zu\n", total, black, red, white);
    Check(total > 0 && black * 2 > total, "the window is mostly black");
    Check(red > 300, "red banner lettering and red texts");
    Check(white > 300, "white status text, web-site picture and list fields");
    const std::wstring path = outputDir + L"\\screenshot-windows.png";
    Check(WritePng(path, width, height, rgb), "screenshot written");
    std::printf("screenshot %dx%d written to %s\n", width, height, Narrow(path).c_str());
    const int code = w.Close();
    Check(code == 0, "exit code " + std::to_string(code));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::printf("usage: wigwag_e2e <case> <wigwag.exe> <receiver.exe> <output dir>\n");
        return 2;
    }
    wigwagExe = WindowsPath(argv[2]);
    receiverExe = WindowsPath(argv[3]);
    outputDir = WindowsPath(argv[4]);
    UseOwnWindowFrames();
    const std::map<std::string, void (*)()> cases{
        {"first_run", FirstRun}, {"load_box", LoadBox},      {"settings", Settings},
        {"timeline", Timeline},  {"own_keys", OwnKeys},      {"layout", Layout},
        {"web_site", WebSite},   {"screenshot", Screenshot},
    };
    const auto found = cases.find(argv[1]);
    if (found == cases.end()) {
        std::printf("no case %s\n", argv[1]);
        return 2;
    }
    found->second();
    std::printf("%s: %s (%d failed checks)\n", argv[1], failures ? "FAILED" : "passed", failures);
    return failures ? 1 : 0;
}
