// The Qt window host on Qt's offscreen platform: the window built from the layout table,
// the controls' operations, the timers, nesting and closing, the message box.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <string>
#include <vector>

#include "keys/key_table.h"
#include "platform/qt/qt_host.h"
#include "window/form1.h"
#include "window/layout.h"

namespace wigwag {
namespace {

struct SentKey {
    std::uint8_t vk;
    bool up;
    bool operator==(const SentKey&) const = default;
};

class RecordingKeys final : public KeyDevice {
  public:
    void Send(std::uint8_t vk, bool up) override { sent.push_back({vk, up}); }
    KeyPoll Poll(std::uint8_t vk) override {
        polled.push_back(vk);
        return next;
    }
    void Restore() override {}
    std::vector<SentKey> sent;
    std::vector<std::uint8_t> polled;
    KeyPoll next;
};

class RecordingSink final : public FormEvents {
  public:
    void OnTimer(Timer timer) override {
        ticks.push_back(timer);
        if (onTimer) onTimer(timer);
    }
    void OnClick(Control control) override { clicks.push_back(control); }
    void OnClose() override {
        ++closes;
        log.push_back("close");
    }
    std::vector<Timer> ticks;
    std::vector<Control> clicks;
    std::vector<std::string> log;
    int closes = 0;
    std::function<void(Timer)> onTimer;
};

class QtHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host.CreateForm();
        host.SetEventSink(&sink);
    }
    template <typename T>
    T* Get(Control c) {
        return qobject_cast<T*>(host.Widget(c));
    }
    void WaitUntil(double deadline) {
        while (host.Clock() < deadline) host.WaitEvents(deadline);
    }
    std::string FocusName() {
        QWidget* w = QApplication::focusWidget();
        return w ? w->objectName().toStdString() : "";
    }

    RecordingKeys keys;
    RecordingSink sink;
    QtHost host{keys};
};

int Px(int twips) {
    return twips / 15;
}

TEST_F(QtHostTest, WindowAndControlsFollowTheLayoutTable) {
    QWidget* window = host.Window();
    EXPECT_EQ(window->windowTitle().toStdString(), kForm1.caption);
    EXPECT_EQ(window->minimumSize(), QSize(192, 167));
    EXPECT_EQ(window->maximumSize(), QSize(192, 167));
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(window->palette().color(QPalette::Window), QColor(0, 0, 0));
    EXPECT_FALSE(window->windowIcon().isNull());

    for (const ControlLayout& item : kControls) {
        SCOPED_TRACE(item.name);
        QWidget* w = host.Widget(item.id);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->objectName().toStdString(), item.name);
        EXPECT_EQ(w->geometry(),
                  QRect(Px(item.left), Px(item.top), Px(item.width), Px(item.height)));
        EXPECT_EQ(w->toolTip().toStdString(), item.toolTip ? item.toolTip : "");
        if (item.font != FontRole::None) {
            const FontStyle& f = FontFor(item.font);
            const QFontInfo info(w->font());
            EXPECT_TRUE(info.family() == f.face || info.family() == f.fallbackFace)
                << info.family().toStdString();
            EXPECT_EQ(w->font().pixelSize(), static_cast<int>(f.points * 96 / 72 + 0.5));
            EXPECT_EQ(w->font().bold(), f.weight >= 700);
            EXPECT_EQ(w->font().underline(), f.underline);
        }
        if (item.paint != Paint::System) {
            const QColor fg(item.foreground.r, item.foreground.g, item.foreground.b);
            EXPECT_EQ(w->palette().color(QPalette::WindowText), fg);
        }
        if (item.paint == Paint::OnBackground) {
            // Beyond the caption, the box shows its own background colour.
            const QImage image = w->grab().toImage();
            const QColor bg(item.background.r, item.background.g, item.background.b);
            EXPECT_EQ(image.pixelColor(image.width() - 2, 1).rgb(), bg.rgb());
        }
    }
    // The two lists lie wholly right of the client area.
    EXPECT_GE(host.Widget(Control::lstStart)->x(), window->width());
    EXPECT_GE(host.Widget(Control::lstKeys)->x(), window->width());
}

TEST_F(QtHostTest, PicturesShowTheirAssetsAtNaturalSize) {
    auto* banner = Get<QLabel>(Control::Image1);
    auto* website = Get<QLabel>(Control::Image2);
    ASSERT_NE(banner, nullptr);
    ASSERT_NE(website, nullptr);
    EXPECT_EQ(banner->pixmap().size(), QSize(278, 61));
    EXPECT_EQ(website->pixmap().size(), QSize(73, 13));
}

TEST_F(QtHostTest, ControlsStartAtTheirDesignTimeValues) {
    EXPECT_EQ(host.Caption(Control::lblStatus), "Not Running");
    EXPECT_EQ(host.Caption(Control::Label1), "Start/Stop Key:");
    for (Control box : {Control::cbFlash, Control::cbSiren, Control::cbHazards})
        EXPECT_EQ(host.Value(box), 0);
    for (Control list : {Control::cboStartKey, Control::cboFlash, Control::cboSiren,
                         Control::lstStart, Control::lstKeys}) {
        EXPECT_EQ(host.ListCount(list), 0);
        EXPECT_EQ(host.ListIndex(list), -1);
    }
    for (Control combo : {Control::cboStartKey, Control::cboFlash, Control::cboSiren})
        EXPECT_FALSE(Get<QComboBox>(combo)->isEditable());
    for (std::size_t i = 0; i < kTimerCount; ++i)
        EXPECT_FALSE(host.TimerEnabled(static_cast<Timer>(i)));
}

TEST_F(QtHostTest, CreateFillsTheKeyListsWithoutSelectingAnything) {
    Form1 form(host);
    form.Create();
    for (Control combo : {Control::cboStartKey, Control::cboFlash, Control::cboSiren}) {
        ASSERT_EQ(host.ListCount(combo), kKeyCount);
        EXPECT_EQ(host.ListIndex(combo), -1);
        for (int i = 0; i < kKeyCount; ++i)
            EXPECT_EQ(host.ListItem(combo, i), kKeyTable[static_cast<std::size_t>(i)].name);
    }
    ASSERT_EQ(host.ListCount(Control::lstKeys), kKeyCount);
    for (int i = 0; i < kKeyCount; ++i)
        EXPECT_EQ(host.ListItem(Control::lstKeys, i),
                  CodeText(kKeyTable[static_cast<std::size_t>(i)].code));
    EXPECT_EQ(host.ListCount(Control::lstStart), 0);
    EXPECT_TRUE(host.TimerEnabled(Timer::tmStart));
    EXPECT_EQ(host.TimerInterval(Timer::tmStart), 100);
    EXPECT_EQ(host.TimerInterval(Timer::tmFlash), 400);
    EXPECT_EQ(host.TimerInterval(Timer::tmHazards), 1000);
}

TEST_F(QtHostTest, ListOperations) {
    host.AddItem(Control::cboFlash, "A");
    host.AddItem(Control::cboFlash, "B");
    EXPECT_EQ(host.ListIndex(Control::cboFlash), -1);
    host.SetListIndex(Control::cboFlash, 1);
    EXPECT_EQ(host.ListIndex(Control::cboFlash), 1);
    EXPECT_EQ(Get<QComboBox>(Control::cboFlash)->currentText(), "B");
    host.SetListIndex(Control::cboFlash, -1);
    EXPECT_EQ(host.ListIndex(Control::cboFlash), -1);

    // Settings lines are bytes; every byte comes back as it went in.
    const std::string bytes = "1|0|\xe9\xff|\t ";
    host.AddItem(Control::lstStart, bytes);
    EXPECT_EQ(host.ListItem(Control::lstStart, 0), bytes);
    host.Clear(Control::lstStart);
    EXPECT_EQ(host.ListCount(Control::lstStart), 0);

    host.SetCaption(Control::lblStatus, "Running");
    EXPECT_EQ(host.Caption(Control::lblStatus), "Running");
    EXPECT_EQ(Get<QLabel>(Control::lblStatus)->text(), "Running");
}

TEST_F(QtHostTest, CheckBoxesHoldThreeStatesButClicksOnlyTickAndClear) {
    auto* box = Get<QCheckBox>(Control::cbSiren);
    host.ShowForm();
    host.SetValue(Control::cbSiren, 2);
    EXPECT_EQ(host.Value(Control::cbSiren), 2);
    EXPECT_EQ(box->checkState(), Qt::PartiallyChecked);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    EXPECT_EQ(host.Value(Control::cbSiren), 1);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    EXPECT_EQ(host.Value(Control::cbSiren), 0);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    EXPECT_EQ(host.Value(Control::cbSiren), 1);
    EXPECT_TRUE(sink.clicks.empty());  // no control operation raises a program event
}

TEST_F(QtHostTest, TabWalksTheFocusOrder) {
    host.ShowForm();
    QApplication::setActiveWindow(host.Window());
    ASSERT_TRUE(QTest::qWaitForWindowActive(host.Window()));
    EXPECT_EQ(FocusName(), "cboStartKey");
    std::vector<std::string> order;
    for (int i = 0; i < 8; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order.push_back(FocusName());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"cbFlash", "cbSiren", "cbHazards", "lstStart",
                                               "lstKeys", "cboFlash", "cboSiren", "cboStartKey"}));
}

TEST_F(QtHostTest, SettingsFileCanGreyACheckBox) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string old = QDir::currentPath().toStdString();
    ASSERT_EQ(chdir(dir.path().toLocal8Bit().constData()), 0);
    {
        std::ofstream cfg("wigwag.cfg", std::ios::binary);
        cfg << "2|1|0|4|31|26|\r\n---------------\r\nWigwag Config File.\r\n"
               "Created By Vantor\r\n";
    }
    Form1 form(host);
    form.Create();
    form.Form_Load();
    EXPECT_EQ(host.Value(Control::cbFlash), 2);
    EXPECT_EQ(Get<QCheckBox>(Control::cbFlash)->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(host.Value(Control::cbSiren), 1);
    EXPECT_EQ(host.ListIndex(Control::cboStartKey), 4);
    EXPECT_EQ(Get<QComboBox>(Control::cboStartKey)->currentText(), "BACKSPACE");
    EXPECT_EQ(host.ListItem(Control::lstStart, 0), "2|1|0|4|31|26|");
    ASSERT_EQ(chdir(old.c_str()), 0);
}

TEST_F(QtHostTest, TimerTicksComeNoEarlierThanTheirInterval) {
    host.SetTimerInterval(Timer::tmSiren, 100);
    const double enabled = host.Clock();
    std::vector<double> at;
    sink.onTimer = [&](Timer) { at.push_back(host.Clock()); };
    host.SetTimerEnabled(Timer::tmSiren, true);
    WaitUntil(enabled + 0.35);
    ASSERT_FALSE(at.empty());
    EXPECT_LE(at.size(), 3u);
    for (std::size_t i = 0; i < at.size(); ++i) EXPECT_GE(at[i], enabled + 0.1 * (i + 1));
    for (Timer t : sink.ticks) EXPECT_EQ(t, Timer::tmSiren);
}

TEST_F(QtHostTest, TimerDisabledBeforeItsIntervalNeverTicks) {
    host.SetTimerInterval(Timer::tmFlash, 100);
    host.SetTimerEnabled(Timer::tmFlash, true);
    host.SetTimerEnabled(Timer::tmFlash, false);
    WaitUntil(host.Clock() + 0.25);
    EXPECT_TRUE(sink.ticks.empty());
}

TEST_F(QtHostTest, CloseDuringANestedPauseLetsTheHandlerFinish) {
    host.ShowForm();
    host.SetTimerInterval(Timer::tmFlash, 50);
    host.SetTimerInterval(Timer::tmSiren, 20);
    double pauseEnd = 0;
    sink.onTimer = [&](Timer t) {
        if (t != Timer::tmFlash) return;
        sink.log.push_back("flash");
        QTimer::singleShot(30, host.Window(), [&] { host.Window()->close(); });
        pauseEnd = host.Clock() + 0.2;
        WaitUntil(pauseEnd);
        sink.log.push_back("flash end");
    };
    host.SetTimerEnabled(Timer::tmFlash, true);
    host.SetTimerEnabled(Timer::tmSiren, true);
    EXPECT_EQ(host.RunEventLoop(), 0);
    EXPECT_GE(host.Clock(), pauseEnd);
    EXPECT_EQ(sink.log, (std::vector<std::string>{"flash", "close", "flash end"}));
    EXPECT_EQ(sink.closes, 1);
    EXPECT_FALSE(host.TimerEnabled(Timer::tmFlash));
    EXPECT_FALSE(host.TimerEnabled(Timer::tmSiren));
    EXPECT_FALSE(host.Window()->isVisible());
    const std::size_t ticks = sink.ticks.size();
    host.WaitEvents(host.Clock() + 0.1);
    EXPECT_EQ(sink.ticks.size(), ticks);  // no tick after the close
}

TEST_F(QtHostTest, CloseRequestedWhileLoadingWaitsForShowForm) {
    host.RequestClose();
    EXPECT_EQ(sink.closes, 0);
    host.ShowForm();
    EXPECT_EQ(sink.closes, 1);
    EXPECT_TRUE(host.Closed());
    EXPECT_FALSE(host.Window()->isVisible());
    EXPECT_EQ(host.RunEventLoop(), 0);
}

TEST_F(QtHostTest, MessageBoxIsAModalWarningWithOkAndTicksGoOn) {
    host.SetTimerInterval(Timer::tmStart, 50);
    host.SetTimerEnabled(Timer::tmStart, true);
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QString title, text;
    bool modal = false;
    std::size_t ticksWhileOpen = 0;
    QTimer::singleShot(300, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        icon = box->icon();
        buttons = box->standardButtons();
        title = box->windowTitle();
        text = box->text();
        modal = box->isModal();
        ticksWhileOpen = sink.ticks.size();
        box->accept();
    });
    host.ShowMessageBox("Unable to Continue", "An error occurred loading file:\r\nwigwag.cfg");
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(buttons, QMessageBox::Ok);
    EXPECT_TRUE(modal);
    EXPECT_EQ(title, "Unable to Continue");
    EXPECT_EQ(text, "An error occurred loading file:\nwigwag.cfg");
    EXPECT_GE(ticksWhileOpen, 1u);
}

TEST_F(QtHostTest, PictureClicksReachTheProgramLabelClicksDoNot) {
    host.ShowForm();
    QTest::mouseClick(host.Widget(Control::Image1), Qt::LeftButton, {}, QPoint(100, 10));
    QTest::mouseClick(host.Widget(Control::Label1), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseClick(host.Widget(Control::Image2), Qt::LeftButton, {}, QPoint(10, 5));
    QTest::mouseClick(host.Widget(Control::Image2), Qt::LeftButton, {}, QPoint(10, 5));
    EXPECT_EQ(sink.clicks,
              (std::vector<Control>{Control::Image1, Control::Image2, Control::Image2}));
    // A press that ends outside the picture is no click.
    QTest::mousePress(host.Widget(Control::Image2), Qt::LeftButton, {}, QPoint(10, 5));
    QTest::mouseRelease(host.Widget(Control::Image2), Qt::LeftButton, {}, QPoint(200, 5));
    EXPECT_EQ(sink.clicks.size(), 3u);
}

TEST_F(QtHostTest, KeyEventsAndPollsGoToTheKeyDevice) {
    host.SendKeyEvent(66, 0, 0, 0);
    host.SendKeyEvent(66, 0, kKeyUp, 0);
    EXPECT_EQ(keys.sent, (std::vector<SentKey>{{66, false}, {66, true}}));
    keys.next = {false, true};
    const KeyPoll poll = host.PollKey(46);
    EXPECT_TRUE(poll.pressed);
    EXPECT_FALSE(poll.down);
    EXPECT_EQ(keys.polled, std::vector<std::uint8_t>{46});
}

}  // namespace
}  // namespace wigwag

int main(int argc, char** argv) {
    // Widgets without a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
