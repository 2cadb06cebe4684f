// The Linux host: the main window from the layout table in Qt Widgets, the timers on one
// precise wake-up (a timerfd) inside Qt's event loop, keys through a KeyDevice.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QWidget>
#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/real_host.h"
#include "window/layout.h"

class QMessageBox;
class QSocketNotifier;

namespace wigwag {

class QtHost;

namespace qt {

// The main window; a close request from the window system goes to the host.
class FormWindow final : public QWidget {
  public:
    explicit FormWindow(QtHost& host);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    QtHost& host_;
};

// A picture that reports clicks (press and release on it).
class Picture final : public QLabel {
  public:
    Picture(QWidget* parent, std::function<void()> onClick);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    std::function<void()> onClick_;
    bool pressed_ = false;
};

// A three-state check box whose clicks only tick or clear: greyed is the program's.
class CheckBox final : public QCheckBox {
  public:
    using QCheckBox::QCheckBox;

  protected:
    void nextCheckState() override;
};

}  // namespace qt

class QtHost final : public RealHost {
  public:
    explicit QtHost(KeyDevice& keys);
    ~QtHost() override;
    QtHost(const QtHost&) = delete;
    QtHost& operator=(const QtHost&) = delete;

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

    // A close request from outside the window (a signal), handled like the user's once the
    // window is shown; during the load the window then never opens (nothing is saved).
    // Nothing waits on the user: message boxes are dismissed, and what a later one would
    // say goes to the standard error.
    void RequestClose();
    // Shows the window (or the message box open now) above the others, with the focus.
    void BringToFront();
    bool Closed() const { return closed_; }

    QWidget* Window() const { return window_.get(); }
    QWidget* Widget(Control control) const { return widgets_[static_cast<std::size_t>(control)]; }

    // Called by the window.
    void HandleClose();
    void HandleClick(Control control);

  private:
    void TimersChanged() override;
    void CreateControl(const ControlLayout& item);
    void SetTabOrder();
    void ArmWake();
    void OnWake();

    std::unique_ptr<qt::FormWindow> window_;
    std::array<QWidget*, kControlCount> widgets_{};
    int wakeFd_ = -1;
    double armedFor_ = -1;  // the wake-up time the timerfd holds
    std::unique_ptr<QSocketNotifier> wakeNotifier_;
    std::vector<double> deadlines_;  // of the WaitEvents calls in progress, innermost last
    bool shown_ = false;
    bool closed_ = false;
    bool closeRequested_ = false;      // from outside: no box waits; before ShowForm: no window
    std::vector<QMessageBox*> boxes_;  // message boxes open now, innermost last
};

}  // namespace wigwag
