// The key events an all-effects run is meant to send, from the program's own engine on the
// simulated host: "<ms after the switch-over> <virtual-key code> down|up" per line. The
// benchmarks hold each real run against it.
//   schedule SECONDS
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/fake/fake_host.h"
#include "window/form1.h"

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
    wigwag::FakeHost host;
    host.files["wigwag.cfg"] = "1|1|1|0|31|26|\r\n";
    host.CreateForm();
    wigwag::Form1 form{host};
    host.SetEventSink(&form);
    form.Create();
    form.Form_Load();
    host.ShowForm();
    host.PlayerTap(46, 1.0, 0.05);  // Delete
    host.RunFor(1.0 + seconds);
    double switched = -1;
    for (const auto& event : host.KeyEvents()) {
        if (switched < 0 && event.vk == 48) switched = event.time;
        if (switched >= 0)
            std::printf("%ld %d %s\n", std::lround((event.time - switched) * 1000), event.vk,
                        event.up ? "up" : "down");
    }
    return 0;
}
