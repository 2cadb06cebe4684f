// The seam between Wigwag and the machine it runs on.
//
// keys/, engine/, settings/ and window/ reach the host only through `Host`. Each
// host (platform/fake for the tests, platform/win32, platform/qt + platform/x11)
// implements it once; the program's logic never includes a system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wigwag {

// Every control of the main window, in the order of the layout table.
enum class Control : std::uint8_t {
    Image1,
    Label1,
    cboStartKey,
    Label2,
    Label3,
    cbFlash,
    cboFlash,
    cbSiren,
    cboSiren,
    cbHazards,
    lblStatus,
    Image2,
    lstStart,
    lstKeys,
    cmdWheel,
    cmdClear,
};
inline constexpr std::size_t kControlCount = 16;

// The window's four timers.
enum class Timer : std::uint8_t { tmStart, tmFlash, tmSiren, tmHazards };
inline constexpr std::size_t kTimerCount = 4;

// The player's own use of one key, as seen by the host since the last query of that key.
// The program's own synthetic key events never show here; other programs' do.
struct KeyPoll {
    bool down = false;     // the key is down now
    bool pressed = false;  // an up-to-down press happened since the previous query of this key
};

// A button of a game controller (a wheel, button box, pad): the controller's USB vendor
// and product ids and the button's 1-based number in the controller's own order.
struct GameButton {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    int number = 0;
    bool operator==(const GameButton&) const = default;
};

// One press (up to down) of a game controller's button, with the controller's name as it
// gives it (any bytes).
struct GameButtonPress {
    GameButton button;
    std::string device;
};

// A command from another start of the program (`wigwag --toggle` and the like).
enum class Command : std::uint8_t { Toggle, Start, Stop, Status };

struct CommandRequest {
    Command command;
    std::uint64_t id;  // names this request to AnswerCommand
};

// What reading a whole text file gave.
struct FileRead {
    bool opened = false;   // false: the file could not be opened, `bytes` is empty
    bool missing = false;  // not opened because nothing of that name exists
    bool failed = false;   // a read failed, or the file went past the limit, after `bytes`
    std::string bytes;     // everything read before the end or the failure
};

// What replacing a file gave; `error` says why when `ok` is false.
struct FileWrite {
    bool ok = false;
    std::string error;
};

// Events the window delivers to the program. Handlers run on the one UI thread,
// possibly nested inside WaitEvents.
class FormEvents {
  public:
    virtual void OnTimer(Timer timer) = 0;
    virtual void OnClick(Control control) = 0;
    // A close request. The host removes the window after this returns.
    virtual void OnClose() = 0;

  protected:
    ~FormEvents() = default;
};

class Host {
  public:
    virtual ~Host() = default;

    // --- window lifecycle -------------------------------------------------------
    // Creates the main window and its controls from the layout table (window/layout.h),
    // hidden: captions and texts as laid out, lists empty, timers stopped.
    virtual void CreateForm() = 0;
    virtual void ShowForm() = 0;
    // Runs events until the window is gone and no handler is still running; returns
    // the process exit code.
    virtual int RunEventLoop() = 0;

    // --- keyboard -------------------------------------------------------------
    // One key-down (up = false) or key-up of a virtual-key code, for the focused window.
    virtual void SendKey(std::uint8_t vk, bool up) = 0;
    // The player's use of one key since the last query of it (see KeyPoll).
    virtual KeyPoll PollKey(std::uint8_t vk) = 0;

    // --- time and events ------------------------------------------------------
    // Seconds on a monotonic clock, with a fractional part.
    virtual double Clock() = 0;
    // Processes every pending event (input, painting, timer ticks, a close request);
    // when none is pending, sleeps until one arrives or Clock() reaches `deadline`,
    // whichever comes first, and processes what arrived. Never spins.
    virtual void WaitEvents(double deadline) = 0;

    // --- game controllers ----------------------------------------------------------
    // The presses of game controllers' buttons since the previous call, oldest first,
    // whichever window has the focus; each press once, however long it is held.
    virtual std::vector<GameButtonPress> TakeButtonPresses() = 0;
    // The name of a connected controller with these ids; empty when none is connected.
    virtual std::string GameControllerName(std::uint16_t vendor, std::uint16_t product) = 0;

    // --- commands from other starts of the program ------------------------------
    // The oldest command that came in and was not taken yet; nothing when none waits.
    virtual std::optional<CommandRequest> TakeCommand() = 0;
    // The program's one-line answer to a command it took.
    virtual void AnswerCommand(std::uint64_t id, std::string_view answer) = 0;

    // --- dialogs and the web ----------------------------------------------------
    // A modal warning box (exclamation icon, one OK button). Pending events keep being
    // processed while it is open.
    virtual void ShowMessageBox(std::string_view title, std::string_view text) = 0;
    // Opens a web address with the desktop's browser; nothing is awaited. False when no
    // browser could be started.
    virtual bool OpenAddress(std::string_view address) = 0;

    // --- files (relative names live in the current directory) -------------------
    // Reads a regular file whole, never more than `limit` bytes: a longer file gives its
    // first `limit` bytes as a read that failed. Anything but a regular file (a pipe, a
    // device, a folder) cannot be opened; opening never waits.
    virtual FileRead ReadTextFile(const std::string& name, std::size_t limit) = 0;
    // Replaces the file whole, atomically: either the new bytes or the old file remain.
    virtual FileWrite ReplaceTextFile(const std::string& name, std::string_view bytes) = 0;

    // --- the window's controls ----------------------------------------------------
    virtual void SetEventSink(FormEvents* sink) = 0;

    virtual int Value(Control checkBox) = 0;  // 0 clear, 1 ticked, 2 greyed
    virtual void SetValue(Control checkBox, int value) = 0;

    virtual int ListIndex(Control list) = 0;  // -1: no selection
    virtual void SetListIndex(Control list, int index) = 0;

    virtual int ListCount(Control list) = 0;
    virtual std::string ListItem(Control list, int index) = 0;
    // Appends the items in one batch, in order.
    virtual void AddItems(Control list, const std::vector<std::string>& items) = 0;
    virtual void Clear(Control list) = 0;

    virtual std::string Caption(Control label) = 0;
    virtual void SetCaption(Control label, std::string_view text) = 0;

    virtual bool TimerEnabled(Timer timer) = 0;
    // Enabling a stopped timer starts its interval afresh; the first tick comes one
    // interval later.
    virtual void SetTimerEnabled(Timer timer, bool enabled) = 0;
    virtual int TimerInterval(Timer timer) = 0;
    virtual void SetTimerInterval(Timer timer, int milliseconds) = 0;
};

}  // namespace wigwag
