// The Windows host: the main window from the layout table with standard controls, its timers
// on a high-resolution waitable timer inside the message loop, and below the table's controls
// a line of its own while a program run as administrator is in front (win32_elevation.h).
// Keys, controllers, commands and files it has as every real host has them (RealHost).
//
// One class over three files, by concern: win32_window.cpp (the window class and procedure,
// layout, DPI, fonts, pictures, drawing, the elevation line), win32_controls.cpp (the
// controls, their values, lists, captions and tool tips) and win32_loop.cpp (the message
// loop, the waits, the timers, modal loops).
#pragma once

#include "platform/win32/win32_api.h"

#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/real_host.h"
#include "platform/win32/win32_elevation.h"
#include "window/layout.h"

namespace wigwag::win32 {

// What the message loop waits on beside the window's messages and its own timer (the
// command pipe's operations): each handle is serviced on the window's thread when signalled.
class Waitable {
  public:
    virtual std::vector<HANDLE> Handles() const = 0;
    virtual void Service(HANDLE signalled) = 0;

  protected:
    ~Waitable() = default;
};

inline COLORREF ToColorRef(Rgb c) {
    return RGB(c.r, c.g, c.b);
}

class Win32Host final : public RealHost {
  public:
    // The keys go out through `keys`, which must outlive the host; they are let go when the
    // Windows session ends (the owner lets go of them at the end of the program).
    Win32Host(HINSTANCE instance, int showCommand, KeyDevice& keys);
    ~Win32Host() override;
    Win32Host(const Win32Host&) = delete;
    Win32Host& operator=(const Win32Host&) = delete;

    void CreateForm() override;
    void ShowForm() override;
    int RunEventLoop() override;

    double Clock() override;
    void WaitEvents(double deadline) override;

    void ShowMessageBox(std::string_view title, std::string_view text) override;
    bool OpenAddress(std::string_view address) override;

    int Value(Control checkBox) override;
    void SetValue(Control checkBox, int value) override;
    int ListIndex(Control list) override;
    void SetListIndex(Control list, int index) override;
    int ListCount(Control list) override;
    std::string ListItem(Control list, int index) override;
    void AddItems(Control list, const std::vector<std::string>& items) override;
    void Clear(Control list) override;
    std::string Caption(Control label) override;
    void SetCaption(Control label, std::string_view text) override;

    // Handles to wait on and service beside the window's messages (none: nothing).
    void SetWaitable(Waitable* waitable) { waitable_ = waitable; }
    // Shows the window above the others, with the focus; while the load's message box is
    // open, the box.
    void BringToFront();

  private:
    // The loop's wake-up: a high-resolution waitable timer, else a plain one with the
    // system's tick raised to 1 ms.
    struct WakeTimer {
        WakeTimer();
        ~WakeTimer();
        HANDLE handle = nullptr;
        bool coarse = false;
        double armedFor = std::numeric_limits<double>::quiet_NaN();  // when it fires
    };

    // --- win32_window.cpp
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
    void ApplyLayout(UINT dpi);
    void MakeFonts(UINT dpi);
    void ScalePictures(UINT dpi);
    UINT WindowDpi() const;
    SIZE OuterSize(UINT dpi) const;
    // The line about an elevated program in front: its height in pixels at `dpi` (0 while
    // it says nothing), its place, and its look at the program in front now.
    int FrontLineHeight(UINT dpi) const;
    void PlaceFrontLine(UINT dpi);
    void WatchFront();
    LRESULT ColorStatic(HDC dc, HWND child);
    void PaintBehind(HDC dc, HWND child);
    void Close();

    // --- win32_controls.cpp
    void CreateControls();
    void AddToolTips();
    HWND Handle(Control control) const { return controls_[static_cast<std::size_t>(control)]; }
    int ControlIndex(HWND child) const;
    // A click on a control: a check box only ticks or clears; a picture or button is the
    // program's click.
    void Clicked(HWND child);

    // --- win32_loop.cpp
    void TimersChanged() override;
    bool PumpMessages();
    bool DispatchTicks();
    bool SleepUntil(double wake);
    // Services every handle of the waitable that is signalled now.
    void ServiceSignalled();
    double NextWake(double deadline) const;
    // Inside modal loops that the system runs (a message box, moving the window) the
    // program's own wait is not running: a window timer stands in for it.
    static constexpr UINT_PTR kModalTimerId = 1;
    void ArmModalTimer();
    void ModalTick();

    HINSTANCE instance_;
    int showCommand_;
    Waitable* waitable_ = nullptr;
    HWND window_ = nullptr;
    HWND toolTip_ = nullptr;
    HWND lastFocus_ = nullptr;
    HWND frontLine_ = nullptr;
    std::wstring frontText_;
    ElevationCheck elevation_;
    bool running_ = false;      // the status says "Running"
    bool shown_ = false;        // ShowForm has shown the window
    double nextFrontLook_ = 0;  // Clock() of the next look at the window in front
    std::array<HWND, kControlCount> controls_{};
    std::array<HBITMAP, kControlCount> sourcePictures_{};
    std::array<HBITMAP, kControlCount> pictures_{};
    std::array<HFONT, 4> fonts_{};
    std::array<std::wstring, kControlCount> toolTipTexts_;
    HBRUSH background_ = nullptr;
    std::array<HBRUSH, kControlCount> controlBrushes_{};
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    UINT dpi_ = 96;

    WakeTimer wake_;
    int modalDepth_ = 0;  // inside a modal loop that is not ours (message box, moving)
    bool windowGone_ = false;
};

}  // namespace wigwag::win32
