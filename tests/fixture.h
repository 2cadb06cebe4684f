// A loaded main window on the simulated host, and timelines to compare against.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/fake/fake_host.h"
#include "settings_cases.h"
#include "window/form1.h"

namespace wigwag {

constexpr std::uint8_t kDelete = 46;

// One key event: milliseconds of virtual time, code, 'v' down or '^' up.
struct Ev {
    long ms;
    int vk;
    char dir;
    bool operator==(const Ev&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Ev& e) {
    return os << e.ms << "ms " << e.vk << e.dir;
}

inline std::vector<Ev> Timeline(const FakeHost& host) {
    std::vector<Ev> out;
    for (const auto& e : host.KeyEvents())
        out.push_back({std::lround(e.time * 1000), e.vk, e.up ? '^' : 'v'});
    return out;
}

// The times of the 0 key's presses: when the program switched.
inline std::vector<long> Switches(const FakeHost& host) {
    std::vector<long> out;
    for (const Ev& e : Timeline(host))
        if (e.vk == 48) out.push_back(e.ms);
    return out;
}

// A command's answer: milliseconds of virtual time, command, answer.
struct Reply {
    long ms;
    Command command;
    std::string answer;
    bool operator==(const Reply&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Reply& r) {
    return os << r.ms << "ms command " << static_cast<int>(r.command) << " -> " << r.answer;
}

inline std::vector<Reply> Replies(const FakeHost& host) {
    std::vector<Reply> out;
    for (const auto& a : host.Answers())
        out.push_back({std::lround(a.time * 1000), a.command, a.answer});
    return out;
}

// A key-down followed by the Backspace key-down that every press sends.
inline std::vector<Ev> Press(long ms, int vk) {
    return {{ms, vk, 'v'}, {ms, 8, 'v'}};
}

inline std::vector<Ev> Up(long ms, int vk) {
    return {{ms, vk, '^'}};
}

inline std::vector<Ev> Cat(std::initializer_list<std::vector<Ev>> parts) {
    std::vector<Ev> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The key-ups of B, G, 9 and of `alsoUp`, all at once.
inline std::vector<Ev> Release(long ms, std::vector<int> alsoUp = {}) {
    std::vector<Ev> out{{ms, 66, '^'}, {ms, 71, '^'}, {ms, 57, '^'}};
    for (int vk : alsoUp) out.push_back({ms, vk, '^'});
    return out;
}

// The switch-over: the effect keys let go, then the 0 key pressed.
inline std::vector<Ev> Burst(long ms, std::vector<int> alsoUp = {}) {
    return Cat({Release(ms, alsoUp), Press(ms, 48)});
}

// The main window on its own simulated host.
struct Window {
    // Loads the window at virtual time 0 with these settings file bytes (none: no file).
    void Load(const std::optional<std::string>& file) {
        if (file) host.files["wigwag.cfg"] = *file;
        host.CreateForm();
        host.SetEventSink(&form);
        form.Create();
        form.Form_Load();
        host.ShowForm();
    }

    FakeHost host;
    Form1 form{host};
};

class WindowTest : public ::testing::Test, protected Window {};

}  // namespace wigwag
