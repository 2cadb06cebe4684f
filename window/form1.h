// The main window: its handlers and the one routine of its own. The controls, held by
// the host, hold the player's choices; the run state is the window's own.
#pragma once

#include "engine/engine.h"
#include "platform/host.h"

namespace wigwag {

class Form1 final : public FormEvents {
  public:
    explicit Form1(Host& host);

    // Gives the controls their design-time contents: the key lists and the timers.
    void Create();

    void Form_Load();
    void Form_Unload(int& cancel);
    void Image2_Click();
    void cmdWheel_Click();
    void cmdClear_Click();
    void tmStart_Timer();
    void tmFlash_Timer();
    void tmSiren_Timer();
    void tmHazards_Timer();

    // FormEvents
    void OnTimer(Timer timer) override;
    void OnClick(Control control) override;
    void OnClose() override;

  private:
    void ToggleRunning();

    Host& host_;
    bool loaded_ = false;      // no tick acts before Form_Load has returned
    bool closed_ = false;      // nor after the close has begun
    bool replaceable_ = true;  // the save may replace the settings file
    bool running_ = false;     // "Running", as the status label shows
    StartKeyWatch startKey_;
    WheelSwitch wheel_;
};

// Creates the window, loads it, shows it and runs it until it is closed.
int RunWigwag(Host& host);

}  // namespace wigwag
