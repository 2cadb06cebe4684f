// A way out for the Linux program's keys other than XTest: a Wayland virtual keyboard or
// the desktop's remote-desktop portal. Keys are Linux input event codes (KEY_*), at their
// positions on a US keyboard.
#pragma once

#include <string>

namespace wigwag {

class KeyOutput {
  public:
    virtual ~KeyOutput() = default;
    // What the start line calls this way out, for example "a Wayland virtual keyboard".
    virtual std::string Name() const = 0;
    // One key-down (up = false) or key-up for the focused window. False once the way is
    // gone: the desktop has let go of what it held, and Lost() says why.
    virtual bool Send(unsigned code, bool up) = 0;
    // Why the way out is gone, in a few words; empty while it works.
    virtual std::string Lost() const = 0;
};

}  // namespace wigwag
