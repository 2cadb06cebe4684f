// The settings file through the whole window on the simulated host, from any bytes. An
// input's first byte says how the read goes (0: whole; n > 0: it breaks off after
// (n - 1) * size / 255 bytes), the rest is wigwag.cfg. Whatever it holds, the load leaves
// every control at a valid value and shows a box only when the read broke off; the close
// saves those values in the file's four-line form, and that file loads back to the same
// values and saves to the same bytes. (What each kind of line loads to is the unit tests'
// settings table.)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <utility>

#include "platform/fake/fake_host.h"
#include "settings/settings.h"
#include "tests/settings_cases.h"
#include "window/form1.h"

namespace wigwag {
namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "\nsettings fuzz: %s\n", what);  // libFuzzer writes the input out
    __builtin_trap();
}

// The six values and the seventh field, as the close writes them.
bool SavedForm(const std::string& saved, const Values& values) {
    static const std::regex form("(-?[0-9]+\\|){6}([0-9a-f]{4}:[0-9a-f]{4}:[1-9][0-9]{0,2}\\|)?");
    std::string line;
    for (int v : values) line += std::to_string(v) + "|";
    const std::size_t end = saved.size() - std::min(saved.size(), DataFile("").size());
    return saved.starts_with(line) && saved == DataFile(saved.substr(0, end)) &&
           std::regex_match(saved.substr(0, end), form);
}

// Loads `file` as the program starts and closes the window: the values and the file saved.
std::pair<Values, std::string> LoadAndClose(const std::string& file,
                                            std::optional<std::size_t> failsAfter) {
    FakeHost host;
    Form1 form{host};
    host.files[kSettingsFile] = file;
    if (failsAfter) host.readFailsAfter[kSettingsFile] = *failsAfter;
    host.CreateForm();
    host.SetEventSink(&form);
    form.Create();
    form.Form_Load();
    host.ShowForm();
    const bool whole = std::min({failsAfter.value_or(file.size()), kSettingsReadLimit,
                                 file.size()}) == file.size();
    Check(host.MessageBoxes().size() == (whole ? 0u : 1u), "the load's boxes");
    const Control order[]{Control::cbFlash,     Control::cbSiren,  Control::cbHazards,
                          Control::cboStartKey, Control::cboFlash, Control::cboSiren};
    Values values{};
    for (std::size_t n = 0; n < values.size(); ++n) {
        values[n] = n < 3 ? host.Value(order[n]) : host.ListIndex(order[n]);
        Check(n < 3 ? values[n] >= 0 && values[n] <= 2 : values[n] >= -1 && values[n] <= 62,
              "a control out of range");
    }
    host.RequestClose();
    Check(host.MessageBoxes().size() == (whole ? 0u : 1u), "the close showed a box");
    Check(SavedForm(host.files[kSettingsFile], values), "the file saved");
    return {values, host.files[kSettingsFile]};
}

}  // namespace
}  // namespace wigwag

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace wigwag;
    const std::string file(reinterpret_cast<const char*>(data) + (size ? 1 : 0),
                           size ? size - 1 : 0);
    std::optional<std::size_t> failsAfter;
    if (size && data[0]) failsAfter = (data[0] - 1u) * file.size() / 255u;
    const auto [values, saved] = LoadAndClose(file, failsAfter);
    const auto [again, savedAgain] = LoadAndClose(saved, std::nullopt);
    Check(again == values && savedAgain == saved, "the saved file loads otherwise");
    return 0;
}
