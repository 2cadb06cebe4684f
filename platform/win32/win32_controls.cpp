// The main window's controls: made from the layout table in the focus order, their tool
// tips, what a click on each does, and their values, lists and captions.
#include "platform/win32/win32_host.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "engine/engine.h"
#include "platform/win32/control_ids.h"
#include "window/layout.h"

namespace wigwag::win32 {

namespace {

bool IsCombo(Control list) {
    return LayoutOf(list).kind == ControlKind::DropDownList;
}

}  // namespace

void Win32Host::CreateControls() {
    // Creation order is the focus order: controls with a place in it first, by place.
    std::vector<const ControlLayout*> order;
    for (const ControlLayout& entry : kControls) order.push_back(&entry);
    std::stable_sort(
        order.begin(), order.end(), [](const ControlLayout* a, const ControlLayout* b) {
            const int ka = a->tabIndex < 0 ? std::numeric_limits<int>::max() : a->tabIndex;
            const int kb = b->tabIndex < 0 ? std::numeric_limits<int>::max() : b->tabIndex;
            return ka < kb;
        });

    for (const ControlLayout* entry : order) {
        const wchar_t* cls = L"STATIC";
        DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
        DWORD exStyle = 0;
        std::wstring text;
        switch (entry->kind) {
            case ControlKind::Picture:
                style |= SS_BITMAP;
                if (entry->id == Control::Image2) style |= SS_NOTIFY;
                break;
            case ControlKind::Label:
                style |= SS_NOPREFIX | (entry->align == Align::Center ? SS_CENTER : SS_LEFT);
                text = Widen(entry->text);
                break;
            case ControlKind::DropDownList:
                cls = WC_COMBOBOXW;
                style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
                break;
            case ControlKind::CheckBox:
                cls = L"BUTTON";
                style |= BS_AUTO3STATE | WS_TABSTOP;
                text = Widen(entry->text);
                break;
            case ControlKind::List:
                cls = L"LISTBOX";
                style |= LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP;
                exStyle = WS_EX_CLIENTEDGE;
                break;
            case ControlKind::Button:
                cls = L"BUTTON";
                style |= BS_PUSHBUTTON | WS_TABSTOP;
                text = Widen(entry->text);
                break;
        }
        const std::size_t i = static_cast<std::size_t>(entry->id);
        controls_[i] =
            CreateWindowExW(exStyle, cls, text.c_str(), style, 0, 0, 0, 0, window_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(entry->id))),
                            instance_, nullptr);
        if (!controls_[i]) throw std::runtime_error("A control could not be created.");
        if (entry->kind == ControlKind::CheckBox) {
            // Themed check boxes draw their text in the theme's colour; unthemed ones take
            // the colour the window gives them.
            SetWindowTheme(controls_[i], L"", L"");
        }
        if (entry->paint == Paint::OnBackground)
            controlBrushes_[i] = CreateSolidBrush(ToColorRef(entry->background));
        if (entry->kind == ControlKind::Picture) {
            const std::wstring asset = Widen(entry->text);
            sourcePictures_[i] = static_cast<HBITMAP>(
                LoadImageW(instance_, asset.c_str(), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        }
    }
    // Labels lie under the controls that take input, and pictures under everything: where
    // they overlap, a label draws the banner behind its text itself.
    for (ControlKind kind : {ControlKind::Label, ControlKind::Picture})
        for (const ControlLayout& entry : kControls)
            if (entry.kind == kind)
                SetWindowPos(Handle(entry.id), HWND_BOTTOM, 0, 0, 0, 0,
                             SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Win32Host::AddToolTips() {
    toolTip_ =
        CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
    if (!toolTip_) return;
    for (const ControlLayout& entry : kControls) {
        if (!entry.toolTip) continue;
        const std::size_t i = static_cast<std::size_t>(entry.id);
        toolTipTexts_[i] = Widen(entry.toolTip);
        TOOLINFOW ti{};
        ti.cbSize = sizeof ti;
        ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        ti.hwnd = window_;
        ti.uId = reinterpret_cast<UINT_PTR>(controls_[i]);
        ti.lpszText = toolTipTexts_[i].data();
        SendMessageW(toolTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    }
}

int Win32Host::ControlIndex(HWND child) const {
    for (std::size_t i = 0; i < controls_.size(); ++i)
        if (controls_[i] == child) return static_cast<int>(i);
    return -1;
}

void Win32Host::Clicked(HWND child) {
    const ControlLayout& entry = kControls[static_cast<std::size_t>(ControlIndex(child))];
    if (entry.kind == ControlKind::CheckBox) {
        // The box has just stepped on by itself (clear, ticked, greyed); a click of the user
        // only ticks or clears: a ticked box clears, any other ticks.
        const int now = static_cast<int>(SendMessageW(child, BM_GETCHECK, 0, 0));
        const int before = (now + 2) % 3;
        const int wanted = before == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
        if (now != wanted) SendMessageW(child, BM_SETCHECK, WPARAM(wanted), 0);
    } else if ((entry.kind == ControlKind::Picture || entry.kind == ControlKind::Button) && sink_) {
        sink_->OnClick(entry.id);
    }
}

// --- values, lists and captions --------------------------------------------------------

int Win32Host::Value(Control checkBox) {
    const HWND h = Handle(checkBox);
    return h ? static_cast<int>(SendMessageW(h, BM_GETCHECK, 0, 0)) : 0;
}

void Win32Host::SetValue(Control checkBox, int value) {
    if (const HWND h = Handle(checkBox)) SendMessageW(h, BM_SETCHECK, WPARAM(value), 0);
}

int Win32Host::ListIndex(Control list) {
    const HWND h = Handle(list);
    if (!h) return -1;
    return static_cast<int>(SendMessageW(h, IsCombo(list) ? CB_GETCURSEL : LB_GETCURSEL, 0, 0));
}

void Win32Host::SetListIndex(Control list, int index) {
    if (const HWND h = Handle(list))
        SendMessageW(h, IsCombo(list) ? CB_SETCURSEL : LB_SETCURSEL, WPARAM(index), 0);
}

int Win32Host::ListCount(Control list) {
    const HWND h = Handle(list);
    if (!h) return 0;
    return static_cast<int>(SendMessageW(h, IsCombo(list) ? CB_GETCOUNT : LB_GETCOUNT, 0, 0));
}

std::string Win32Host::ListItem(Control list, int index) {
    const HWND h = Handle(list);
    if (!h) return {};
    const bool combo = IsCombo(list);
    const LRESULT length =
        SendMessageW(h, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, WPARAM(index), 0);
    if (length < 0) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT got = SendMessageW(h, combo ? CB_GETLBTEXT : LB_GETTEXT, WPARAM(index),
                                     reinterpret_cast<LPARAM>(text.data()));
    text.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return Narrow(text);
}

void Win32Host::AddItems(Control list, const std::vector<std::string>& items) {
    const HWND h = Handle(list);
    if (!h) return;
    const bool combo = IsCombo(list);
    // Room for all of them at once, and one repaint at the end.
    SendMessageW(h, WM_SETREDRAW, FALSE, 0);
    SendMessageW(h, combo ? CB_INITSTORAGE : LB_INITSTORAGE, items.size(), 0);
    for (const std::string& text : items) {
        const std::wstring item = Widen(text);
        SendMessageW(h, combo ? CB_ADDSTRING : LB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(item.c_str()));
    }
    SendMessageW(h, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(h, nullptr, TRUE);
}

void Win32Host::Clear(Control list) {
    if (const HWND h = Handle(list))
        SendMessageW(h, IsCombo(list) ? CB_RESETCONTENT : LB_RESETCONTENT, 0, 0);
}

std::string Win32Host::Caption(Control label) {
    const HWND h = Handle(label);
    if (!h) return {};
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(h, text.data(), int(text.size()))));
    if (LayoutOf(label).kind != ControlKind::Button) return Narrow(text);
    std::wstring shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
        shown += text[i];
        if (text[i] == L'&' && i + 1 < text.size() && text[i + 1] == L'&') ++i;
    }
    return Narrow(shown, CP_UTF8);
}

void Win32Host::SetCaption(Control label, std::string_view text) {
    const HWND h = Handle(label);
    if (!h) return;
    if (label == Control::lblStatus) running_ = text == kRunning;
    if (LayoutOf(label).kind != ControlKind::Button) {
        SetWindowTextW(h, Widen(text).c_str());
        return;
    }
    // A push button's caption may carry a controller's name, in UTF-8, and its "&" marks the
    // access key: the name shows as it is.
    std::wstring shown;
    for (wchar_t c : Widen(text, CP_UTF8)) shown.append(c == L'&' ? 2 : 1, c);
    SetWindowTextW(h, shown.c_str());
}

}  // namespace wigwag::win32
