// The Windows host: the main window from the layout table with standard controls, the
// keys through a KeyDevice (win32_keyboard.h), and the timers on a high-resolution waitable
// timer inside the message loop. Below the table's controls, a line of its own while a
// program run as administrator is in front (win32_elevation.h).
#pragma once

#include "platform/win32/win32_api.h"

#include <array>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/game_controllers.h"
#include "platform/host.h"
#include "platform/key_device.h"
#include "platform/timer_queue.h"
#include "platform/win32/win32_elevation.h"

namespace wigwag::win32 {

// Where the commands of later starts come from (platform/win32/instance): handles that the
// message loop waits on beside its own, serviced on the window's thread when signalled.
class CommandSource {
  public:
    virtual std::optional<CommandRequest> Take() = 0;
    virtual void Answer(std::uint64_t id, std::string_view answer) = 0;
    // The window closed: no more commands are taken; a waiting one is dropped.
    virtual void Stop() = 0;
    virtual std::vector<HANDLE> Handles() const = 0;
    virtual void Service(HANDLE signalled) = 0;

  protected:
    ~CommandSource() = default;
};

class Win32Host final : public Host {
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

    void SendKey(std::uint8_t vk, bool up) override;
    KeyPoll PollKey(std::uint8_t vk) override;

    double Clock() override;
    void WaitEvents(double deadline) override;

    std::vector<GameButtonPress> TakeButtonPresses() override;
    std::string GameControllerName(std::uint16_t vendor, std::uint16_t product) override;
    std::optional<CommandRequest> TakeCommand() override;
    void AnswerCommand(std::uint64_t id, std::string_view answer) override;

    void ShowMessageBox(std::string_view title, std::string_view text) override;
    bool OpenAddress(std::string_view address) override;

    FileRead ReadTextFile(const std::string& name, std::size_t limit) override;
    FileWrite ReplaceTextFile(const std::string& name, std::string_view bytes) override;

    void SetEventSink(FormEvents* sink) override { sink_ = sink; }

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

    bool TimerEnabled(Timer timer) override { return timers_.Enabled(timer); }
    void SetTimerEnabled(Timer timer, bool enabled) override;
    int TimerInterval(Timer timer) override { return timers_.Interval(timer); }
    void SetTimerInterval(Timer timer, int milliseconds) override;

    void SetCommandSource(CommandSource* source) { commands_ = source; }
    // The game controllers whose buttons can switch (none: no controller is read).
    void SetButtonDevice(ButtonDevice* buttons) { buttons_ = buttons; }
    // Shows the window above the others, with the focus.
    void BringToFront();

  private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);

    void CreateControls();
    void ApplyLayout(UINT dpi);
    void MakeFonts(UINT dpi);
    void ScalePictures(UINT dpi);
    UINT WindowDpi() const;
    SIZE OuterSize(UINT dpi) const;
    HWND Handle(Control control) const { return controls_[static_cast<std::size_t>(control)]; }
    // The line about an elevated program in front: its height in pixels at `dpi` (0 while
    // it says nothing), its place, and its look at the program in front now.
    int FrontLineHeight(UINT dpi) const;
    void PlaceFrontLine(UINT dpi);
    void WatchFront();
    int ControlIndex(HWND child) const;
    LRESULT ColorStatic(HDC dc, HWND child);
    void PaintBehind(HDC dc, HWND child);
    void Close();

    bool PumpMessages();
    bool DispatchTicks();
    bool SleepUntil(double wake);
    // Services the command source if one of its handles is signalled now.
    void ServiceCommands();
    double NextWake(double deadline) const;
    void ArmModalTimer();
    void RethrowPending();

    HINSTANCE instance_;
    int showCommand_;
    KeyDevice& keys_;
    CommandSource* commands_ = nullptr;
    ButtonDevice* buttons_ = nullptr;
    HWND window_ = nullptr;
    HWND toolTip_ = nullptr;
    HWND lastFocus_ = nullptr;
    HWND frontLine_ = nullptr;
    std::wstring frontText_;
    ElevationCheck elevation_;
    bool running_ = false;      // the status says "Running"
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

    FormEvents* sink_ = nullptr;
    TimerQueue timers_;
    HANDLE waitTimer_ = nullptr;
    double armedFor_ = std::numeric_limits<double>::quiet_NaN();  // when waitTimer_ fires
    bool coarseTimer_ = false;  // no high-resolution waitable timer: raised system tick rate
    int modalDepth_ = 0;        // inside a modal loop that is not ours (message box, moving)
    bool windowGone_ = false;
    std::exception_ptr pending_;
    LARGE_INTEGER frequency_{};
};

}  // namespace wigwag::win32
