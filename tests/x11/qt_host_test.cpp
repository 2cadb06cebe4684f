// The Qt window host on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <string>
#include <vector>

#include "platform/qt/qt_host.h"
#include "window/form1.h"

namespace wigwag {

struct NoKeys final : KeyDevice {
    void Send(std::uint8_t, bool) override {}
    KeyPoll Poll(std::uint8_t) override { return {}; }
    void Restore() override {}
};

// Records the clicks; a tick pauses 0.2 s as keys/ Pause does, counting its waits.
struct Sink final : FormEvents {
    explicit Sink(QtHost& h) : host(h) {}
    void OnTimer(Timer) override {
        ++ticks;
        const double deadline = host.Clock() + 0.2;
        while (host.Clock() < deadline) {
            ++waits;
            host.WaitEvents(deadline);
        }
    }
    void OnClick(Control control) override { clicks.push_back(control); }
    void OnClose() override { closedAt = host.Clock(); }
    QtHost& host;
    std::vector<Control> clicks;
    int ticks = 0, waits = 0;
    double closedAt = 0;
};

struct QtHostTest : ::testing::Test {
    void SetUp() override {
        host.CreateForm();
        form.Create();
    }
    NoKeys keys;
    QtHost host{keys};
    Form1 form{host};
};

TEST_F(QtHostTest, CreatedWindowFollowsTheLayoutTableWithNoKeySelected) {
    EXPECT_EQ(host.Caption(Control::lblStatus), "Not Running");
    for (Control combo : {Control::cboStartKey, Control::cboFlash, Control::cboSiren})
        EXPECT_EQ(host.ListIndex(combo), -1);
    for (const ControlLayout& item : kControls) {
        SCOPED_TRACE(item.name);
        const QWidget* widget = host.Widget(item.id);
        EXPECT_EQ(widget->objectName().toStdString(), item.name);
        EXPECT_EQ(widget->geometry(),
                  QRect(item.left / 15, item.top / 15, item.width / 15, item.height / 15));
        // A control without a font of its own shows the window's.
        const FontStyle& style =
            FontFor(item.font == FontRole::None ? FontRole::Window : item.font);
        const QFont& font = widget->font();
        EXPECT_EQ(font.families().value(0).toStdString(), style.face);
        EXPECT_EQ(font.pixelSize(), std::lround(style.points * 96 / 72));
        EXPECT_EQ(std::pair(font.bold(), font.underline()),
                  std::pair(style.weight == 700, style.underline));
    }
}

TEST_F(QtHostTest, ListsKeepEveryBatchAndEveryByte) {
    for (Control list : {Control::lstStart, Control::cboFlash}) {
        SCOPED_TRACE(static_cast<int>(list));
        host.Clear(list);
        host.AddItems(list, {"0|1|"});
        host.AddItems(list, {"\xff\r", ""});
        EXPECT_EQ(host.ListIndex(list), -1);
        ASSERT_EQ(host.ListCount(list), 3);
        for (int i = -1; i <= 3; ++i)
            EXPECT_EQ(host.ListItem(list, i),
                      (std::vector<std::string>{"", "0|1|", "\xff\r", "", ""}[i + 1]));
        host.SetListIndex(list, 3);  // past the end: ignored
        EXPECT_EQ(host.ListIndex(list), -1);
        host.SetListIndex(list, 2);
        host.AddItems(list, {"x"});
        EXPECT_EQ(host.ListIndex(list), 2);
        host.Clear(list);
        EXPECT_EQ(host.ListCount(list), 0);
    }
}

TEST_F(QtHostTest, ButtonCaptionIsKeptWholeAndShownAsItIs) {
    const std::string name = "Button 300 \xC2\xB7 Sim & Box with a name far too long to show";
    host.SetCaption(Control::cmdWheel, name);
    EXPECT_EQ(host.Caption(Control::cmdWheel), name);
    const QString shown = qobject_cast<QPushButton*>(host.Widget(Control::cmdWheel))->text();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Button 300 \u00B7 Sim && Box")))
        << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
}

TEST_F(QtHostTest, TabWalksTheFocusOrderAndClicksReachTheProgram) {
    Sink sink(host);
    host.SetEventSink(&sink);
    host.ShowForm();
    QApplication::setActiveWindow(host.Window());
    ASSERT_TRUE(QTest::qWaitForWindowActive(host.Window()));
    std::vector<std::string> order;
    for (int i = 0; i < 11; ++i) {
        order.push_back(QApplication::focusWidget()->objectName().toStdString());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"cboStartKey", "cbFlash", "cbSiren", "cbHazards",
                                               "lstStart", "lstKeys", "cboFlash", "cboSiren",
                                               "cmdWheel", "cmdClear", "cboStartKey"}));
    for (Control control : {Control::cmdWheel, Control::cmdClear, Control::Image2})
        QTest::mouseClick(host.Widget(control), Qt::LeftButton, {}, QPoint(4, 4));
    QTest::mouseClick(host.Widget(Control::Image2), Qt::RightButton, {}, QPoint(4, 4));
    EXPECT_EQ(sink.clicks,
              (std::vector<Control>{Control::cmdWheel, Control::cmdClear, Control::Image2}));
}

TEST_F(QtHostTest, GreyedCheckBoxShowsItAndClicksOnlyTickAndClear) {
    host.ShowForm();
    auto* box = qobject_cast<QCheckBox*>(host.Widget(Control::cbSiren));
    host.SetValue(Control::cbSiren, 2);
    EXPECT_EQ(box->checkState(), Qt::PartiallyChecked);
    std::vector<int> values{host.Value(Control::cbSiren)};
    for (int i = 0; i < 3; ++i) {
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
        values.push_back(host.Value(Control::cbSiren));
    }
    EXPECT_EQ(values, (std::vector<int>{2, 1, 0, 1}));  // never greyed by a click
}

TEST_F(QtHostTest, CloseInsideAPauseOfATickDueBeforeTheLoopWaitsEndsTheLoop) {
    Sink sink(host);
    host.SetEventSink(&sink);
    host.ShowForm();
    host.SetTimerInterval(Timer::tmStart, 20);
    QTest::qSleep(60);  // the tick is due when the loop starts: it runs before the first wait
    QTimer::singleShot(0, host.Window(), [this] { host.Window()->close(); });  // in the pause
    bool stuck = false;  // a wait that nothing else would end
    QTimer::singleShot(3000, [&stuck] { stuck = true; });
    const double start = host.Clock();
    EXPECT_EQ(host.RunEventLoop(), 0);
    const double end = host.Clock();
    EXPECT_FALSE(stuck);
    EXPECT_EQ(sink.ticks, 1);
    EXPECT_GT(sink.closedAt, start);
    EXPECT_LT(sink.closedAt, start + 0.2);
    // The pause slept to its deadline after the close instead of spinning or breaking off.
    EXPECT_GE(end - start, 0.2);
    EXPECT_LT(end - start, 1.0);
    EXPECT_LE(sink.waits, 10);
}

}  // namespace wigwag

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
