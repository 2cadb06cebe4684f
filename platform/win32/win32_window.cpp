// The main window: its class and procedure, its size and layout at the monitor's DPI, fonts,
// pictures and what labels draw behind them, the line about an elevated program in front,
// and the web site's opening.
#include "platform/win32/win32_host.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "platform/win32/control_ids.h"
#include "window/layout.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace wigwag::win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"WigwagForm1";
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

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kFormExStyle = WS_EX_CONTROLPARENT;

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

}  // namespace

Win32Host::Win32Host(HINSTANCE instance, int showCommand, KeyDevice& keys)
    : RealHost(keys), instance_(instance), showCommand_(showCommand) {}

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
    AddToolTips();
    // Hidden until it has something to say; a label, so it takes no place in the focus order.
    frontLine_ = CreateWindowExW(
        0, L"STATIC", L"", WS_CHILD | SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL, 0, 0, 0, 0, window_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kElevationLineId)), instance_, nullptr);
    ApplyLayout(WindowDpi());
}

void Win32Host::ShowForm() {
    if (!window_) return;
    // The frame was sized for the system's DPI; the monitor the window is on may have another.
    const SIZE outer = OuterSize(dpi_);
    SetWindowPos(window_, nullptr, 0, 0, outer.cx, outer.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(window_, showCommand_ == SW_HIDE ? SW_SHOWNORMAL : showCommand_);
    shown_ = true;
    UpdateWindow(window_);
    if (const HWND first = GetNextDlgTabItem(window_, nullptr, FALSE)) SetFocus(first);
}

void Win32Host::BringToFront() {
    if (!window_ || windowGone_) return;
    // Before the load has shown the window, only its message box may come forward.
    const HWND top = GetLastActivePopup(window_);
    if (!shown_ && top == window_) return;
    if (shown_) ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(top);
}

void Win32Host::Close() {
    if (windowGone_ || !window_) return;
    if (sink_) sink_->OnClose();
    if (commands_) commands_->Stop();
    timers_.StopAll();
    DestroyWindow(window_);
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

// --- size, layout, fonts and pictures ---------------------------------------------------

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

// --- the line about an elevated program in front --------------------------------------

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

// --- drawing -----------------------------------------------------------------------------

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

// --- window messages ---------------------------------------------------------------------

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
    LRESULT result = 0;
    host->Guard([&] { result = host->HandleMessage(msg, wp, lp); });
    return result;
}

LRESULT Win32Host::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
    const HWND hwnd = window_;
    switch (msg) {
        case WM_CTLCOLORSTATIC:
            return ColorStatic(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
        case WM_COMMAND: {
            const HWND child = reinterpret_cast<HWND>(lp);
            if (!child || ControlIndex(child) < 0 || HIWORD(wp) != BN_CLICKED) break;
            Clicked(child);
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
            if (wp != kModalTimerId) break;
            ModalTick();
            return 0;
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
