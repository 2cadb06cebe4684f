#include "platform/win32/win32_host.h"

#include <commctrl.h>
#include <mmsystem.h>
#include <uxtheme.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "engine/engine.h"
#include "platform/text_file.h"
#include "platform/win32/control_ids.h"
#include "window/layout.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace wigwag::win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"WigwagForm1";
constexpr UINT_PTR kModalTimerId = 1;
constexpr int kDropDownItems = 12;

// The line about an elevated program in front: a row under the wheel button's, as wide as
// the controls above it, there only while it has something to say (the window grows by it
// meanwhile). Twips, as the layout table's.
constexpr int kFrontLineLeft = 120, kFrontLineTop = 2925, kFrontLineWidth = 2640;
constexpr int kFrontLineBottomMargin = 90;
constexpr COLORREF kFrontLineColour = RGB(255, 204, 0);
constexpr UINT kFrontLineFormat = DT_LEFT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX;
// How often it looks at the window in front while running: at each start/stop poll.
constexpr double kFrontLookSeconds = 0.1;

COLORREF ToColorRef(Rgb c) {
    return RGB(c.r, c.g, c.b);
}

int Px(int twips, UINT dpi) {
    return MulDiv(twips, static_cast<int>(dpi), kForm1.twipsPerInch);
}

// The DPI functions of Windows 10, looked up at run time so that the program still starts
// on older systems (where it is system-DPI aware through its manifest).
template <typename Fn>
Fn User32Function(const char* name) {
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (!user32) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using GetDpiForSystemFn = UINT(WINAPI*)();
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

UINT SystemDpi() {
    if (auto fn = User32Function<GetDpiForSystemFn>("GetDpiForSystem")) return fn();
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

void SetFace(LOGFONTW& lf, const wchar_t* face) {
    std::size_t i = 0;
    for (; face[i] && i + 1 < LF_FACESIZE; ++i) lf.lfFaceName[i] = face[i];
    lf.lfFaceName[i] = L'\0';
}

int CALLBACK FontFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

bool FontInstalled(const wchar_t* face) {
    LOGFONTW lf{};
    lf.lfCharSet = DEFAULT_CHARSET;
    SetFace(lf, face);
    bool found = false;
    const HDC screen = GetDC(nullptr);
    EnumFontFamiliesExW(screen, &lf, FontFound, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, screen);
    return found;
}

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kFormExStyle = WS_EX_CONTROLPARENT;

}  // namespace

Win32Host::Win32Host(HINSTANCE instance, int showCommand, KeyDevice& keys)
    : instance_(instance), showCommand_(showCommand), keys_(keys) {
    QueryPerformanceFrequency(&frequency_);
    waitTimer_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
    if (!waitTimer_) {
        // Older systems: a plain waitable timer, with the system tick raised to 1 ms.
        waitTimer_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        coarseTimer_ = timeBeginPeriod(1) == TIMERR_NOERROR;
    }
}

Win32Host::~Win32Host() {
    if (window_) DestroyWindow(window_);
    if (toolTip_) DestroyWindow(toolTip_);
    for (HBITMAP b : pictures_)
        if (b) DeleteObject(b);
    for (HBITMAP b : sourcePictures_)
        if (b) DeleteObject(b);
    for (HFONT f : fonts_)
        if (f) DeleteObject(f);
    for (HBRUSH b : controlBrushes_)
        if (b) DeleteObject(b);
    if (background_) DeleteObject(background_);
    if (bigIcon_) DestroyIcon(bigIcon_);
    if (smallIcon_) DestroyIcon(smallIcon_);
    if (waitTimer_) CloseHandle(waitTimer_);
    if (coarseTimer_) timeEndPeriod(1);
}

// --- window lifecycle -----------------------------------------------------------------

void Win32Host::CreateForm() {
    background_ = CreateSolidBrush(ToColorRef(kForm1.background));
    const std::wstring iconName = Widen(kIconAsset);
    bigIcon_ =
        static_cast<HICON>(LoadImageW(instance_, iconName.c_str(), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance_, iconName.c_str(), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance_;
    wc.hIcon = bigIcon_;
    wc.hIconSm = smallIcon_;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = background_;
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);

    const UINT dpi = SystemDpi();
    const SIZE outer = OuterSize(dpi);
    const std::wstring caption = Widen(kForm1.caption);
    window_ =
        CreateWindowExW(kFormExStyle, kWindowClass, caption.c_str(), kFormStyle, CW_USEDEFAULT,
                        CW_USEDEFAULT, outer.cx, outer.cy, nullptr, nullptr, instance_, this);
    if (!window_) throw std::runtime_error("The main window could not be created.");
    CreateControls();
    ApplyLayout(WindowDpi());
}

void Win32Host::CreateControls() {
    // Creation order is the focus order: controls with a place in it first, by place.
    std::vector<const ControlLayout*> order;
    for (const ControlLayout& entry : kControls) order.push_back(&entry);
    std::stable_sort(
        order.begin(), order.end(), [](const ControlLayout* a, const ControlLayout* b) {
            const int ka = a->tabIndex < 0 ? std::numeric_limits<int>::max() : a->tabIndex;
            const int kb = b->tabIndex < 0 ? std::numeric_limits<int>::max() : b->tabIndex;
            return ka < kb;
        });

    for (const ControlLayout* entry : order) {
        const wchar_t* cls = L"STATIC";
        DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
        DWORD exStyle = 0;
        std::wstring text;
        switch (entry->kind) {
            case ControlKind::Picture:
                style |= SS_BITMAP;
                if (entry->id == Control::Image2) style |= SS_NOTIFY;
                break;
            case ControlKind::Label:
                style |= SS_NOPREFIX | (entry->align == Align::Center ? SS_CENTER : SS_LEFT);
                text = Widen(entry->text);
                break;
            case ControlKind::DropDownList:
                cls = WC_COMBOBOXW;
                style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
                break;
            case ControlKind::CheckBox:
                cls = L"BUTTON";
                style |= BS_AUTO3STATE | WS_TABSTOP;
                text = Widen(entry->text);
                break;
            case ControlKind::List:
                cls = L"LISTBOX";
                style |= LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP;
                exStyle = WS_EX_CLIENTEDGE;
                break;
            case ControlKind::Button:
                cls = L"BUTTON";
                style |= BS_PUSHBUTTON | WS_TABSTOP;
                text = Widen(entry->text);
                break;
        }
        const std::size_t i = static_cast<std::size_t>(entry->id);
        controls_[i] =
            CreateWindowExW(exStyle, cls, text.c_str(), style, 0, 0, 0, 0, window_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(entry->id))),
                            instance_, nullptr);
        if (!controls_[i]) throw std::runtime_error("A control could not be created.");
        if (entry->kind == ControlKind::CheckBox) {
            // Themed check boxes draw their text in the theme's colour; unthemed ones take
            // the colour the window gives them.
            SetWindowTheme(controls_[i], L"", L"");
        }
        if (entry->paint == Paint::OnBackground)
            controlBrushes_[i] = CreateSolidBrush(ToColorRef(entry->background));
        if (entry->kind == ControlKind::Picture) {
            const std::wstring asset = Widen(entry->text);
            sourcePictures_[i] = static_cast<HBITMAP>(
                LoadImageW(instance_, asset.c_str(), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        }
    }
    // Labels lie under the controls that take input, and pictures under everything: where
    // they overlap, a label draws the banner behind its text itself.
    for (ControlKind kind : {ControlKind::Label, ControlKind::Picture})
        for (const ControlLayout& entry : kControls)
            if (entry.kind == kind)
                SetWindowPos(Handle(entry.id), HWND_BOTTOM, 0, 0, 0, 0,
                             SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    toolTip_ =
        CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
    if (toolTip_) {
        for (const ControlLayout& entry : kControls) {
            if (!entry.toolTip) continue;
            const std::size_t i = static_cast<std::size_t>(entry.id);
            toolTipTexts_[i] = Widen(entry.toolTip);
            TOOLINFOW ti{};
            ti.cbSize = sizeof ti;
            ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
            ti.hwnd = window_;
            ti.uId = reinterpret_cast<UINT_PTR>(controls_[i]);
            ti.lpszText = toolTipTexts_[i].data();
            SendMessageW(toolTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
        }
    }
    // Hidden until it has something to say; a label, so it takes no place in the focus order.
    frontLine_ = CreateWindowExW(
        0, L"STATIC", L"", WS_CHILD | SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL, 0, 0, 0, 0, window_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kElevationLineId)), instance_, nullptr);
}

UINT Win32Host::WindowDpi() const {
    if (auto fn = User32Function<GetDpiForWindowFn>("GetDpiForWindow"))
        if (window_) return fn(window_);
    return SystemDpi();
}

SIZE Win32Host::OuterSize(UINT dpi) const {
    RECT r{0, 0, Px(kForm1.clientWidth, dpi), Px(kForm1.clientHeight, dpi)};
    if (const int line = FrontLineHeight(dpi))
        r.bottom = std::max<LONG>(r.bottom,
                                  Px(kFrontLineTop, dpi) + line + Px(kFrontLineBottomMargin, dpi));
    if (auto fn = User32Function<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi"))
        fn(&r, kFormStyle, FALSE, kFormExStyle, dpi);
    else
        AdjustWindowRectEx(&r, kFormStyle, FALSE, kFormExStyle);
    return {r.right - r.left, r.bottom - r.top};
}

void Win32Host::MakeFonts(UINT dpi) {
    static const bool preferredInstalled = FontInstalled(Widen(kFonts[0].face).c_str());
    for (std::size_t f = 0; f < kFonts.size(); ++f) {
        const FontStyle& entry = kFonts[f];
        LOGFONTW lf{};
        lf.lfHeight = -static_cast<LONG>(std::lround(entry.points * dpi / 72.0));
        lf.lfWeight = entry.weight;
        lf.lfUnderline = entry.underline ? TRUE : FALSE;
        lf.lfCharSet = ANSI_CHARSET;
        lf.lfQuality = CLEARTYPE_QUALITY;
        const std::wstring face = Widen(preferredInstalled ? entry.face : entry.fallbackFace);
        SetFace(lf, face.c_str());
        fonts_[f] = CreateFontIndirectW(&lf);
    }
}

void Win32Host::ScalePictures(UINT dpi) {
    const HDC screen = GetDC(nullptr);
    const HDC src = CreateCompatibleDC(screen);
    const HDC dst = CreateCompatibleDC(screen);
    for (const ControlLayout& entry : kControls) {
        const std::size_t i = static_cast<std::size_t>(entry.id);
        if (entry.kind != ControlKind::Picture || !sourcePictures_[i]) continue;
        BITMAP info{};
        GetObjectW(sourcePictures_[i], sizeof info, &info);
        const int w = Px(entry.width, dpi);
        const int h = Px(entry.height, dpi);
        const HBITMAP scaled = CreateCompatibleBitmap(screen, w, h);
        const HGDIOBJ oldSrc = SelectObject(src, sourcePictures_[i]);
        const HGDIOBJ oldDst = SelectObject(dst, scaled);
        SetStretchBltMode(dst, HALFTONE);
        SetBrushOrgEx(dst, 0, 0, nullptr);
        StretchBlt(dst, 0, 0, w, h, src, 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
        SelectObject(src, oldSrc);
        SelectObject(dst, oldDst);
        const HANDLE old = reinterpret_cast<HANDLE>(SendMessageW(
            controls_[i], STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(scaled)));
        if (old && old != scaled) DeleteObject(old);
        if (pictures_[i] && pictures_[i] != old) DeleteObject(pictures_[i]);
        pictures_[i] = scaled;
    }
    DeleteDC(src);
    DeleteDC(dst);
    ReleaseDC(nullptr, screen);
}

void Win32Host::ApplyLayout(UINT dpi) {
    dpi_ = dpi;
    const std::array<HFONT, 4> oldFonts = fonts_;
    fonts_ = {};
    MakeFonts(dpi);
    ScalePictures(dpi);
    for (const ControlLayout& entry : kControls) {
        const HWND h = Handle(entry.id);
        if (entry.font != FontRole::None)
            SendMessageW(h, WM_SETFONT,
                         reinterpret_cast<WPARAM>(fonts_[static_cast<std::size_t>(entry.font)]),
                         FALSE);
        const int x = Px(entry.left, dpi), y = Px(entry.top, dpi);
        const int w = Px(entry.width, dpi), hgt = Px(entry.height, dpi);
        if (entry.kind == ControlKind::DropDownList) {
            // The height given is that of the closed box; the drop-down list hangs below.
            const int item = static_cast<int>(SendMessageW(h, CB_GETITEMHEIGHT, 0, 0));
            SetWindowPos(h, nullptr, x, y, w, hgt + kDropDownItems * std::max(item, 1),
                         SWP_NOZORDER | SWP_NOACTIVATE);
            // The closed box's height follows its field's height plus a frame whose size
            // is only known by measuring (and which differs between systems).
            int field = static_cast<int>(SendMessageW(h, CB_GETITEMHEIGHT, WPARAM(-1), 0));
            for (int round = 0; round < 3; ++round) {
                RECT r{};
                GetWindowRect(h, &r);
                const int off = hgt - (r.bottom - r.top);
                if (off == 0 || field + off <= 0) break;
                field += off;
                SendMessageW(h, CB_SETITEMHEIGHT, WPARAM(-1), field);
            }
        } else {
            SetWindowPos(h, nullptr, x, y, w, hgt, SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    PlaceFrontLine(dpi);
    for (HFONT f : oldFonts)
        if (f) DeleteObject(f);
    InvalidateRect(window_, nullptr, TRUE);
}

int Win32Host::FrontLineHeight(UINT dpi) const {
    if (frontText_.empty()) return 0;
    const HDC screen = GetDC(nullptr);
    const HGDIOBJ old = SelectObject(screen, fonts_[static_cast<std::size_t>(FontRole::Window)]);
    RECT r{0, 0, Px(kFrontLineWidth, dpi), 0};
    DrawTextW(screen, frontText_.c_str(), static_cast<int>(frontText_.size()), &r,
              kFrontLineFormat | DT_CALCRECT);
    SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    return std::max<int>(r.bottom, 1);
}

void Win32Host::PlaceFrontLine(UINT dpi) {
    if (!frontLine_) return;
    SendMessageW(frontLine_, WM_SETFONT,
                 reinterpret_cast<WPARAM>(fonts_[static_cast<std::size_t>(FontRole::Window)]),
                 FALSE);
    SetWindowPos(frontLine_, nullptr, Px(kFrontLineLeft, dpi), Px(kFrontLineTop, dpi),
                 Px(kFrontLineWidth, dpi), FrontLineHeight(dpi), SWP_NOZORDER | SWP_NOACTIVATE);
}

// At each start/stop poll while running, and once at the stop: the line follows the program
// in front, and the window its height. Nothing is asked of the system between two polls.
void Win32Host::WatchFront() {
    if (!frontLine_ || windowGone_) return;
    if (running_) {
        const double now = Clock();
        if (now < nextFrontLook_) return;
        nextFrontLook_ = now + kFrontLookSeconds;
    }
    std::wstring text = running_ ? elevation_.FrontLine() : std::wstring();
    if (text == frontText_) return;
    frontText_ = std::move(text);
    SetWindowTextW(frontLine_, frontText_.c_str());
    PlaceFrontLine(dpi_);
    ShowWindow(frontLine_, frontText_.empty() ? SW_HIDE : SW_SHOWNA);
    const SIZE outer = OuterSize(dpi_);
    SetWindowPos(window_, nullptr, 0, 0, outer.cx, outer.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Host::ShowForm() {
    if (!window_) return;
    // The frame was sized for the system's DPI; the monitor the window is on may have another.
    const SIZE outer = OuterSize(dpi_);
    SetWindowPos(window_, nullptr, 0, 0, outer.cx, outer.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(window_, showCommand_ == SW_HIDE ? SW_SHOWNORMAL : showCommand_);
    UpdateWindow(window_);
    if (const HWND first = GetNextDlgTabItem(window_, nullptr, FALSE)) SetFocus(first);
}

int Win32Host::RunEventLoop() {
    // As WaitEvents without a deadline, but a wake by the timer takes the due ticks without
    // looking for messages first: a message that came meanwhile ends the next sleep at once.
    const double forever = std::numeric_limits<double>::infinity();
    PumpMessages();
    while (!windowGone_) {
        DispatchTicks();
        if (windowGone_) break;
        if (SleepUntil(NextWake(forever))) PumpMessages();
    }
    return 0;
}

void Win32Host::Close() {
    if (windowGone_ || !window_) return;
    if (sink_) sink_->OnClose();
    if (commands_) commands_->Stop();
    timers_.StopAll();
    DestroyWindow(window_);
}

// --- keyboard ------------------------------------------------------------------------------

void Win32Host::SendKey(std::uint8_t vk, bool up) {
    keys_.Send(vk, up);
}

KeyPoll Win32Host::PollKey(std::uint8_t vk) {
    return keys_.Poll(vk);
}

// --- time and events -------------------------------------------------------------------------

double Win32Host::Clock() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency_.QuadPart);
}

bool Win32Host::PumpMessages() {
    bool any = false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        any = true;
        if (msg.message == WM_QUIT) {
            Close();
            continue;
        }
        if (!window_ || !IsDialogMessageW(window_, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        RethrowPending();
    }
    return any;
}

bool Win32Host::DispatchTicks() {
    bool any = false;
    while (!pending_ && DispatchDueTick(timers_, Clock(), sink_)) any = true;
    if (any) WatchFront();
    return any;
}

bool Win32Host::SleepUntil(double wake) {
    // The timer first (when it is armed), then the command source's handles.
    std::vector<HANDLE> handles;
    DWORD timeout = INFINITE;
    if (std::isfinite(wake)) {
        const double left = wake - Clock();
        if (left <= 0) return false;
        if (!waitTimer_) {
            timeout = static_cast<DWORD>(std::ceil(left * 1000));
        } else {
            // A wake by a message leaves the timer set for the same moment; it is set again
            // only for another one.
            if (wake != armedFor_) {
                LARGE_INTEGER due;
                due.QuadPart = -static_cast<LONGLONG>(std::ceil(left * 1e7));  // relative, 100 ns
                SetWaitableTimer(waitTimer_, &due, 0, nullptr, nullptr, FALSE);
                armedFor_ = wake;
            }
            handles.push_back(waitTimer_);
        }
    }
    const std::size_t own = handles.size();
    if (commands_)
        for (HANDLE h : commands_->Handles()) handles.push_back(h);
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(static_cast<DWORD>(handles.size()), handles.data(), timeout,
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_TIMEOUT) return false;
    if (own == 1 && woke == WAIT_OBJECT_0) {
        armedFor_ = std::numeric_limits<double>::quiet_NaN();
        return false;
    }
    if (woke >= WAIT_OBJECT_0 + own && woke < WAIT_OBJECT_0 + handles.size())
        commands_->Service(handles[woke - WAIT_OBJECT_0]);
    return true;
}

void Win32Host::ServiceCommands() {
    if (!commands_) return;
    const std::vector<HANDLE> handles = commands_->Handles();
    if (handles.empty()) return;
    const DWORD signalled =
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, 0);
    if (signalled >= WAIT_OBJECT_0 && signalled < WAIT_OBJECT_0 + handles.size())
        commands_->Service(handles[signalled - WAIT_OBJECT_0]);
}

std::vector<GameButtonPress> Win32Host::TakeButtonPresses() {
    return buttons_ ? buttons_->TakePresses() : std::vector<GameButtonPress>{};
}

std::string Win32Host::GameControllerName(std::uint16_t vendor, std::uint16_t product) {
    return buttons_ ? buttons_->NameOf(vendor, product) : std::string();
}

std::optional<CommandRequest> Win32Host::TakeCommand() {
    return commands_ ? commands_->Take() : std::nullopt;
}

void Win32Host::AnswerCommand(std::uint64_t id, std::string_view answer) {
    if (commands_) commands_->Answer(id, answer);
}

void Win32Host::BringToFront() {
    if (!window_ || windowGone_) return;
    ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(window_);
}

double Win32Host::NextWake(double deadline) const {
    const std::optional<double> due = timers_.NextDue();
    return due ? std::min(deadline, *due) : deadline;
}

void Win32Host::WaitEvents(double deadline) {
    bool any = PumpMessages();
    any = DispatchTicks() || any;
    if (any) return;
    if (SleepUntil(NextWake(deadline))) PumpMessages();
    DispatchTicks();
}

// Inside modal loops that the system runs (a message box, moving the window) our own wait is
// not running; a plain window timer carries the ticks meanwhile.
void Win32Host::ArmModalTimer() {
    if (!window_) return;
    const std::optional<double> due = timers_.NextDue();
    if (modalDepth_ <= 0 || !due) {
        KillTimer(window_, kModalTimerId);
        return;
    }
    const double ms = std::ceil((*due - Clock()) * 1000.0);
    const UINT delay = static_cast<UINT>(std::clamp(ms, double{USER_TIMER_MINIMUM}, 60000.0));
    SetTimer(window_, kModalTimerId, delay, nullptr);
}

void Win32Host::RethrowPending() {
    if (!pending_) return;
    std::exception_ptr e = pending_;
    pending_ = nullptr;
    std::rethrow_exception(e);
}

// --- dialogs and processes ---------------------------------------------------------------------

void Win32Host::ShowMessageBox(std::string_view title, std::string_view text) {
    ++modalDepth_;
    ArmModalTimer();
    MessageBoxW(window_, Widen(text).c_str(), Widen(title).c_str(), MB_OK | MB_ICONEXCLAMATION);
    --modalDepth_;
    ArmModalTimer();
    RethrowPending();
}

bool Win32Host::OpenAddress(std::string_view address) {
    // The shell opens the address with the user's browser, its window minimized.
    std::wstring command = L"explorer.exe " + Widen(address);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINIMIZED;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// --- files ---------------------------------------------------------------------------------------

FileRead Win32Host::ReadTextFile(const std::string& name, std::size_t limit) {
    return ReadWholeFile(name, limit);
}

FileWrite Win32Host::ReplaceTextFile(const std::string& name, std::string_view bytes) {
    return ReplaceWholeFile(name, bytes);
}

// --- controls
// --------------------------------------------------------------------------------------

int Win32Host::Value(Control checkBox) {
    const HWND h = Handle(checkBox);
    return h ? static_cast<int>(SendMessageW(h, BM_GETCHECK, 0, 0)) : 0;
}

void Win32Host::SetValue(Control checkBox, int value) {
    if (const HWND h = Handle(checkBox)) SendMessageW(h, BM_SETCHECK, WPARAM(value), 0);
}

int Win32Host::ListIndex(Control list) {
    const HWND h = Handle(list);
    if (!h) return -1;
    const bool combo = LayoutOf(list).kind == ControlKind::DropDownList;
    return static_cast<int>(SendMessageW(h, combo ? CB_GETCURSEL : LB_GETCURSEL, 0, 0));
}

void Win32Host::SetListIndex(Control list, int index) {
    const HWND h = Handle(list);
    if (!h) return;
    const bool combo = LayoutOf(list).kind == ControlKind::DropDownList;
    SendMessageW(h, combo ? CB_SETCURSEL : LB_SETCURSEL, WPARAM(index), 0);
}

int Win32Host::ListCount(Control list) {
    const HWND h = Handle(list);
    if (!h) return 0;
    const bool combo = LayoutOf(list).kind == ControlKind::DropDownList;
    return static_cast<int>(SendMessageW(h, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0));
}

std::string Win32Host::ListItem(Control list, int index) {
    const HWND h = Handle(list);
    if (!h) return {};
    const bool combo = LayoutOf(list).kind == ControlKind::DropDownList;
    const LRESULT length =
        SendMessageW(h, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, WPARAM(index), 0);
    if (length < 0) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT got = SendMessageW(h, combo ? CB_GETLBTEXT : LB_GETTEXT, WPARAM(index),
                                     reinterpret_cast<LPARAM>(text.data()));
    text.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return Narrow(text);
}

void Win32Host::AddItems(Control list, const std::vector<std::string>& items) {
    const HWND h = Handle(list);
    if (!h) return;
    const bool combo = LayoutOf(list).kind == ControlKind::DropDownList;
    // Room for all of them at once, and one repaint at the end.
    SendMessageW(h, WM_SETREDRAW, FALSE, 0);
    SendMessageW(h, combo ? CB_INITSTORAGE : LB_INITSTORAGE, items.size(), 0);
    for (const std::string& text : items) {
        const std::wstring item = Widen(text);
        SendMessageW(h, combo ? CB_ADDSTRING : LB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(item.c_str()));
    }
    SendMessageW(h, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(h, nullptr, TRUE);
}

void Win32Host::Clear(Control list) {
    const HWND h = Handle(list);
    if (!h) return;
    const bool combo = LayoutOf(list).kind == ControlKind::DropDownList;
    SendMessageW(h, combo ? CB_RESETCONTENT : LB_RESETCONTENT, 0, 0);
}

std::string Win32Host::Caption(Control label) {
    const HWND h = Handle(label);
    if (!h) return {};
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(h, text.data(), int(text.size()))));
    if (LayoutOf(label).kind != ControlKind::Button) return Narrow(text);
    std::wstring shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
        shown += text[i];
        if (text[i] == L'&' && i + 1 < text.size() && text[i + 1] == L'&') ++i;
    }
    return Narrow(shown, CP_UTF8);
}

void Win32Host::SetCaption(Control label, std::string_view text) {
    const HWND h = Handle(label);
    if (!h) return;
    if (label == Control::lblStatus) running_ = text == kRunning;
    if (LayoutOf(label).kind != ControlKind::Button) {
        SetWindowTextW(h, Widen(text).c_str());
        return;
    }
    // A push button's caption may carry a controller's name, in UTF-8, and its "&" marks the
    // access key: the name shows as it is.
    std::wstring shown;
    for (wchar_t c : Widen(text, CP_UTF8)) shown.append(c == L'&' ? 2 : 1, c);
    SetWindowTextW(h, shown.c_str());
}

void Win32Host::SetTimerEnabled(Timer timer, bool enabled) {
    if (windowGone_ && enabled) return;
    timers_.SetEnabled(timer, enabled, Clock());
    ArmModalTimer();
}

void Win32Host::SetTimerInterval(Timer timer, int milliseconds) {
    timers_.SetInterval(timer, milliseconds, Clock());
    ArmModalTimer();
}

// --- window messages
// ---------------------------------------------------------------------------------

int Win32Host::ControlIndex(HWND child) const {
    for (std::size_t i = 0; i < controls_.size(); ++i)
        if (controls_[i] == child) return static_cast<int>(i);
    return -1;
}

void Win32Host::PaintBehind(HDC dc, HWND child) {
    RECT client{};
    GetClientRect(child, &client);
    FillRect(dc, &client, background_);
    RECT onForm = client;
    MapWindowPoints(child, window_, reinterpret_cast<POINT*>(&onForm), 2);
    HDC picture = nullptr;
    for (const ControlLayout& entry : kControls) {
        const std::size_t i = static_cast<std::size_t>(entry.id);
        if (entry.kind != ControlKind::Picture || !pictures_[i]) continue;
        RECT place{};
        GetWindowRect(controls_[i], &place);
        MapWindowPoints(HWND_DESKTOP, window_, reinterpret_cast<POINT*>(&place), 2);
        RECT overlap{};
        if (!IntersectRect(&overlap, &place, &onForm)) continue;
        if (!picture) picture = CreateCompatibleDC(dc);
        const HGDIOBJ old = SelectObject(picture, pictures_[i]);
        BitBlt(dc, overlap.left - onForm.left, overlap.top - onForm.top,
               overlap.right - overlap.left, overlap.bottom - overlap.top, picture,
               overlap.left - place.left, overlap.top - place.top, SRCCOPY);
        SelectObject(picture, old);
    }
    if (picture) DeleteDC(picture);
}

LRESULT Win32Host::ColorStatic(HDC dc, HWND child) {
    if (child == frontLine_) {
        SetTextColor(dc, kFrontLineColour);
        SetBkColor(dc, ToColorRef(kForm1.background));
        return reinterpret_cast<LRESULT>(background_);
    }
    const int index = ControlIndex(child);
    if (index < 0) return reinterpret_cast<LRESULT>(background_);
    const ControlLayout& entry = kControls[static_cast<std::size_t>(index)];
    switch (entry.paint) {
        case Paint::OnTransparent:
            PaintBehind(dc, child);
            SetTextColor(dc, ToColorRef(entry.foreground));
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
        case Paint::OnBackground:
            SetTextColor(dc, ToColorRef(entry.foreground));
            SetBkColor(dc, ToColorRef(entry.background));
            return reinterpret_cast<LRESULT>(controlBrushes_[static_cast<std::size_t>(index)]);
        case Paint::System:
            break;
    }
    SetBkColor(dc, ToColorRef(kForm1.background));
    return reinterpret_cast<LRESULT>(background_);
}

LRESULT CALLBACK Win32Host::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lp);
        auto* owner = static_cast<Win32Host*>(create->lpCreateParams);
        owner->window_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
    }
    auto* host = reinterpret_cast<Win32Host*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!host || host->window_ != hwnd) return DefWindowProcW(hwnd, msg, wp, lp);
    // A handler's failure must not unwind through the system's code: it is carried to the
    // program's own loop and raised there.
    try {
        return host->HandleMessage(msg, wp, lp);
    } catch (...) {
        if (!host->pending_) host->pending_ = std::current_exception();
        return 0;
    }
}

LRESULT Win32Host::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
    const HWND hwnd = window_;
    switch (msg) {
        case WM_CTLCOLORSTATIC:
            return ColorStatic(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
        case WM_COMMAND: {
            const HWND child = reinterpret_cast<HWND>(lp);
            const int index = child ? ControlIndex(child) : -1;
            if (index < 0 || HIWORD(wp) != BN_CLICKED) break;
            const ControlLayout& entry = kControls[static_cast<std::size_t>(index)];
            if (entry.kind == ControlKind::CheckBox) {
                // The box has just stepped on by itself (clear, ticked, greyed); a click of
                // the user only ticks or clears: a ticked box clears, any other ticks.
                const int now = static_cast<int>(SendMessageW(child, BM_GETCHECK, 0, 0));
                const int before = (now + 2) % 3;
                const int wanted = before == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
                if (now != wanted) SendMessageW(child, BM_SETCHECK, WPARAM(wanted), 0);
            } else if ((entry.kind == ControlKind::Picture || entry.kind == ControlKind::Button) &&
                       sink_ && !pending_) {
                sink_->OnClick(entry.id);
            }
            return 0;
        }
        case WM_SETCURSOR:
            if (reinterpret_cast<HWND>(wp) == Handle(Control::Image2)) {
                SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
                return TRUE;
            }
            break;
        case WM_ACTIVATE:
            if (LOWORD(wp) == WA_INACTIVE) {
                lastFocus_ = GetFocus();
            } else if (lastFocus_ && IsChild(hwnd, lastFocus_)) {
                SetFocus(lastFocus_);
                return 0;
            }
            break;
        case WM_ENTERSIZEMOVE:
        case WM_ENTERMENULOOP:
            ++modalDepth_;
            ArmModalTimer();
            break;
        case WM_EXITSIZEMOVE:
        case WM_EXITMENULOOP:
            --modalDepth_;
            ArmModalTimer();
            break;
        case WM_TIMER:
            if (wp == kModalTimerId) {
                // Inside a message box or a move the pipe waits for these ticks too.
                ServiceCommands();
                DispatchTicks();
                ArmModalTimer();
                return 0;
            }
            break;
        case WM_DPICHANGED: {
            const UINT dpi = HIWORD(wp);
            ApplyLayout(dpi);
            const RECT* suggested = reinterpret_cast<const RECT*>(lp);
            const SIZE outer = OuterSize(dpi);
            SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, outer.cx, outer.cy,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case WM_CLOSE:
            Close();
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            // The process may be ended as soon as this returns, even inside a pause: the keys
            // are let go now, not at the end of the program.
            if (wp) {
                Close();
                keys_.Restore();
            }
            return 0;
        case WM_DESTROY:
            KillTimer(hwnd, kModalTimerId);
            timers_.StopAll();
            windowGone_ = true;
            break;
        case WM_NCDESTROY:
            window_ = nullptr;
            toolTip_ = nullptr;
            frontLine_ = nullptr;
            controls_ = {};
            break;
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace wigwag::win32
