#include "platform/win32/win32_joystick.h"

#include <dbt.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "platform/say.h"

namespace wigwag::win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"WigwagGameControllers";
constexpr DWORD kBufferedEvents = 64;
// A device stack may finish setting a controller up a little after Windows announces it:
// when the first look finds nothing new, it looks again a second and two seconds later.
constexpr int kLooksForArrival = 3;
constexpr ULONGLONG kLookAgainMs = 1000;

// The device interface class of HID devices, which game controllers are.
constexpr GUID kHidInterface = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// DirectInput's properties are named by small numbers in place of a GUID's address.
const GUID& Property(std::uintptr_t number) {
    return *reinterpret_cast<const GUID*>(number);
}

// A data format of buttons only, in the controller's own order: axes and hats never enter
// the buffer.
struct ButtonFormat {
    std::array<DIOBJECTDATAFORMAT, DirectInputButtons::kMaxButtons> objects{};
    DIDATAFORMAT format{};
    ButtonFormat() {
        for (std::size_t i = 0; i < objects.size(); ++i)
            objects[i] = {nullptr, static_cast<DWORD>(i),
                          DIDFT_BUTTON | DIDFT_ANYINSTANCE | DIDFT_OPTIONAL, 0};
        format = {sizeof(DIDATAFORMAT),
                  sizeof(DIOBJECTDATAFORMAT),
                  DIDF_ABSAXIS,
                  static_cast<DWORD>(objects.size()),
                  static_cast<DWORD>(objects.size()),
                  objects.data()};
    }
};

const DIDATAFORMAT& Buttons() {
    static const ButtonFormat format;
    return format.format;
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

}  // namespace

std::unique_ptr<DirectInputButtons> DirectInputButtons::Create(HINSTANCE instance) {
    IDirectInput8W* input = nullptr;
    if (FAILED(DirectInput8Create(instance, DIRECTINPUT_VERSION, IID_IDirectInput8W,
                                  reinterpret_cast<void**>(&input), nullptr)))
        return nullptr;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);
    const HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        instance, nullptr);
    if (!window) {
        input->Release();
        return nullptr;
    }
    std::unique_ptr<DirectInputButtons> buttons(new DirectInputButtons(input, window));
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(buttons.get()));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kHidInterface;
    buttons->notify_ = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    buttons->Enumerate();
    return buttons;
}

DirectInputButtons::DirectInputButtons(IDirectInput8W* input, HWND window)
    : input_(input), window_(window) {}

DirectInputButtons::~DirectInputButtons() {
    devices_.clear();
    if (notify_) UnregisterDeviceNotification(notify_);
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
    input_->Release();
}

LRESULT CALLBACK DirectInputButtons::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<DirectInputButtons*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self && msg == WM_DEVICECHANGE && wp == DBT_DEVICEARRIVAL) self->LookSoon(kLooksForArrival);
    if (self && msg == WM_DEVICECHANGE && wp == DBT_DEVICEREMOVECOMPLETE) self->LookSoon(1);
    if (msg == WM_DEVICECHANGE) return TRUE;
    return DefWindowProcW(hwnd, msg, wp, lp);
}

void DirectInputButtons::LookSoon(int looks) {
    nextLook_ = GetTickCount64();
    looksLeft_ = std::max(looksLeft_, looks);
}

int DirectInputButtons::Enumerate() {
    std::vector<DIDEVICEINSTANCEW> found;
    input_->EnumDevices(
        DI8DEVCLASS_GAMECTRL,
        [](const DIDEVICEINSTANCEW* device, void* list) -> BOOL {
            static_cast<std::vector<DIDEVICEINSTANCEW>*>(list)->push_back(*device);
            return DIENUM_CONTINUE;
        },
        &found, DIEDFL_ATTACHEDONLY);
    // Controllers that are gone are let go; new ones are opened. The device type is not
    // looked at: wheels and button boxes also come as pads or joysticks.
    std::erase_if(devices_, [&](const std::unique_ptr<Device>& d) {
        const bool attached = std::any_of(found.begin(), found.end(), [&](const auto& f) {
            return IsEqualGUID(f.guidInstance, d->instance);
        });
        return !attached || d->gone;
    });
    int opened = 0;
    for (const DIDEVICEINSTANCEW& f : found)
        if (std::none_of(devices_.begin(), devices_.end(),
                         [&](const auto& d) { return IsEqualGUID(f.guidInstance, d->instance); })) {
            Open(f);
            ++opened;
        }
    return opened;
}

void DirectInputButtons::Open(const DIDEVICEINSTANCEW& found) {
    auto d = std::make_unique<Device>();
    d->instance = found.guidInstance;
    HRESULT hr = input_->CreateDevice(found.guidInstance, &d->device, nullptr);
    // The ids from the driver; the product GUID holds them only when it says so.
    std::optional<std::uint32_t> vidpid;
    DIPROPDWORD ids{};
    ids.diph = {sizeof ids, sizeof ids.diph, 0, DIPH_DEVICE};
    if (SUCCEEDED(hr) &&
        SUCCEEDED(d->device->GetProperty(Property(24), &ids.diph)))  // DIPROP_VIDPID
        vidpid = ids.dwData;
    std::array<std::uint8_t, 8> mark{};
    std::copy(std::begin(found.guidProduct.Data4), std::end(found.guidProduct.Data4), mark.begin());
    d->info = DirectInputIds(vidpid, found.guidProduct.Data1, mark);
    d->info.name = Narrow(found.tszProductName, CP_UTF8);
    if (FAILED(hr)) {
        d->device = nullptr;
        d->refused = true;
        d->info.problem = "DirectInput did not open it (" + Hex(hr) + ")";
        devices_.push_back(std::move(d));
        return;
    }
    DIDEVCAPS caps{};
    caps.dwSize = sizeof caps;
    if (SUCCEEDED(d->device->GetCapabilities(&caps)))
        d->info.buttons = static_cast<int>(caps.dwButtons);
    DIPROPGUIDANDPATH path{};
    path.diph = {sizeof path, sizeof path.diph, 0, DIPH_DEVICE};
    if (SUCCEEDED(d->device->GetProperty(Property(12), &path.diph)))  // DIPROP_GUIDANDPATH
        d->info.where = Narrow(path.wszPath, CP_UTF8);
    DIPROPDWORD buffer{};
    buffer.diph = {sizeof buffer, sizeof buffer.diph, 0, DIPH_DEVICE};
    buffer.dwData = kBufferedEvents;
    hr = d->device->SetDataFormat(&Buttons());
    if (SUCCEEDED(hr))
        hr = d->device->SetCooperativeLevel(window_, DISCL_BACKGROUND | DISCL_NONEXCLUSIVE);
    if (SUCCEEDED(hr)) hr = d->device->SetProperty(Property(1), &buffer.diph);  // DIPROP_BUFFERSIZE
    d->refused = FAILED(hr);
    if (d->refused)
        d->info.problem = "DirectInput refused its settings (" + Hex(hr) + ")";
    else
        Acquire(*d);
    devices_.push_back(std::move(d));
}

bool DirectInputButtons::Acquire(Device& d) {
    const HRESULT hr = d.device->Acquire();
    d.acquired = d.info.readable = SUCCEEDED(hr);
    if (!d.acquired) {
        d.info.problem = "DirectInput did not acquire it (" + Hex(hr) + ")";
        return false;
    }
    d.info.problem.clear();
    // Buttons held now are not presses; only their next press is.
    std::array<BYTE, kMaxButtons> state{};
    d.device->Poll();
    if (SUCCEEDED(d.device->GetDeviceState(static_cast<DWORD>(state.size()), state.data())))
        for (std::size_t i = 0; i < kMaxButtons; ++i) d.down[i] = (state[i] & 0x80) != 0;
    return true;
}

void DirectInputButtons::Read(Device& d, std::vector<Press>& presses) {
    if (d.gone || d.refused || (!d.acquired && !Acquire(d))) return;
    const auto press = [&](DWORD sequence, std::size_t button) {
        presses.push_back(
            {sequence,
             {{d.info.vendor, d.info.product, static_cast<int>(button) + 1}, d.info.name}});
    };
    d.device->Poll();
    DWORD last = 0;
    for (bool retried = false;;) {
        std::array<DIDEVICEOBJECTDATA, kBufferedEvents> data{};
        DWORD n = static_cast<DWORD>(data.size());
        const HRESULT hr = d.device->GetDeviceData(sizeof data[0], data.data(), &n, 0);
        if ((hr == DIERR_INPUTLOST || hr == DIERR_NOTACQUIRED) && !retried) {
            retried = true;
            if (Acquire(d)) continue;
        }
        if (FAILED(hr)) {
            // Unplugged or switched off: let go, and opened afresh when it is back, with
            // none of its buttons held.
            d.acquired = false;
            d.gone = true;
            LookSoon(1);
            return;
        }
        for (DWORD i = 0; i < n; ++i) {
            const std::size_t button = data[i].dwOfs;
            if (button >= kMaxButtons) continue;
            const bool down = (data[i].dwData & 0x80) != 0;
            if (down && !d.down[button]) press(data[i].dwSequence, button);
            d.down[button] = down;
            last = data[i].dwSequence;
        }
        if (hr == DI_BUFFEROVERFLOW) {
            // Events were lost: a button that is down now and was up counts as pressed.
            std::array<BYTE, kMaxButtons> state{};
            if (SUCCEEDED(d.device->GetDeviceState(static_cast<DWORD>(state.size()), state.data())))
                for (std::size_t i = 0; i < kMaxButtons; ++i) {
                    const bool down = (state[i] & 0x80) != 0;
                    if (down && !d.down[i]) press(last, i);
                    d.down[i] = down;
                }
            break;
        }
        if (n < data.size()) break;
    }
}

std::vector<GameButtonPress> DirectInputButtons::TakePresses() {
    // A look costs tens of milliseconds: only after Windows announced a change.
    if (nextLook_ && GetTickCount64() >= *nextLook_) {
        const bool opened = Enumerate() > 0;
        if (opened || --looksLeft_ <= 0) {
            nextLook_.reset();
            looksLeft_ = 0;
        } else {
            nextLook_ = GetTickCount64() + kLookAgainMs;
        }
    }
    std::vector<Press> presses;
    for (auto& d : devices_) Read(*d, presses);
    // DirectInput numbers the events of all devices in one sequence.
    std::stable_sort(presses.begin(), presses.end(), [](const Press& a, const Press& b) {
        return static_cast<LONG>(a.sequence - b.sequence) < 0;
    });
    std::vector<GameButtonPress> out;
    for (Press& p : presses) out.push_back(std::move(p.press));
    return out;
}

std::vector<GameController> DirectInputButtons::Controllers() {
    std::vector<GameController> out;
    for (const auto& d : devices_)
        if (!d->gone) out.push_back(d->info);
    return out;
}

int ListGameControllers(HINSTANCE instance) {
    const std::unique_ptr<DirectInputButtons> buttons = DirectInputButtons::Create(instance);
    if (!buttons) return Tell({kExitFailed, {}, "wigwag: DirectInput could not be started"});
    std::string lines;
    for (const GameController& c : buttons->Controllers()) {
        if (!lines.empty()) lines += '\n';
        lines += ControllerLine(c);
    }
    return Tell({kExitOk, lines.empty() ? "No game controllers found." : lines, {}});
}

}  // namespace wigwag::win32
