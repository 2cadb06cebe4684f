// The Qt window host on Qt's offscreen platform: the window built from the layout table,
// its contents once created, the focus order, the three-state check boxes, and the end of
// the event loop after a close inside a pause.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QTest>
#include <QTimer>
#include <string>
#include <vector>

#include "keys/key_table.h"
#include "platform/qt/qt_host.h"
#include "window/form1.h"

namespace wigwag {

struct NoKeys final : KeyDevice {
    void Send(std::uint8_t, bool) override {}
    KeyPoll Poll(std::uint8_t) override { return {}; }
    void Restore() override {}
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

TEST_F(QtHostTest, CreatedWindowIsNotRunningAndOffersTheKeysUnselected) {
    EXPECT_EQ(host.Caption(Control::lblStatus), "Not Running");
    for (Control box : {Control::cbFlash, Control::cbSiren, Control::cbHazards})
        EXPECT_EQ(host.Value(box), 0);
    for (Control combo : {Control::cboStartKey, Control::cboFlash, Control::cboSiren}) {
        EXPECT_EQ(host.ListIndex(combo), -1);
        ASSERT_EQ(host.ListCount(combo), 63);
        for (int i = 0; i < 63; ++i)
            EXPECT_EQ(host.ListItem(combo, i), kKeyTable[static_cast<std::size_t>(i)].name);
    }
}

TEST_F(QtHostTest, ControlsSitWhereTheLayoutTablePutsThem) {
    for (const ControlLayout& item : kControls) {
        SCOPED_TRACE(item.name);
        EXPECT_EQ(host.Widget(item.id)->objectName().toStdString(), item.name);
        EXPECT_EQ(host.Widget(item.id)->geometry(),
                  QRect(item.left / 15, item.top / 15, item.width / 15, item.height / 15));
    }
}

TEST_F(QtHostTest, TabWalksTheFocusOrder) {
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
}

TEST_F(QtHostTest, GreyedCheckBoxShowsItAndClicksOnlyTickAndClear) {
    host.ShowForm();
    auto* box = qobject_cast<QCheckBox*>(host.Widget(Control::cbSiren));
    host.SetValue(Control::cbSiren, 2);
    EXPECT_EQ(host.Value(Control::cbSiren), 2);
    EXPECT_EQ(box->checkState(), Qt::PartiallyChecked);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    EXPECT_EQ(host.Value(Control::cbSiren), 1);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    EXPECT_EQ(host.Value(Control::cbSiren), 0);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    EXPECT_EQ(host.Value(Control::cbSiren), 1);  // never greyed by a click
}

TEST_F(QtHostTest, CloseInsideAPauseOfATickDueBeforeTheLoopWaitsEndsTheLoop) {
    // A tick that pauses 0.2 s as keys/ Pause does, counting its waits.
    struct PausingTick final : FormEvents {
        explicit PausingTick(QtHost& h) : host(h) {}
        void OnTimer(Timer) override {
            ++ticks;
            const double deadline = host.Clock() + 0.2;
            while (host.Clock() < deadline) {
                ++waits;
                host.WaitEvents(deadline);
            }
        }
        void OnClick(Control) override {}
        void OnClose() override { closedAt = host.Clock(); }
        QtHost& host;
        int ticks = 0, waits = 0;
        double closedAt = 0;
    } sink(host);
    host.SetEventSink(&sink);
    host.ShowForm();
    host.SetTimerInterval(Timer::tmStart, 20);
    QTest::qSleep(60);  // the tick is due when the loop starts: it runs before the first wait
    QTimer::singleShot(0, host.Window(), [this] { host.Window()->close(); });  // in the pause
    QTimer watchdog;  // wakes a wait that nothing else would end
    bool stuck = false;
    QObject::connect(&watchdog, &QTimer::timeout, [&stuck] { stuck = true; });
    watchdog.start(3000);

    const double start = host.Clock();
    EXPECT_EQ(host.RunEventLoop(), 0);
    const double end = host.Clock();
    EXPECT_FALSE(stuck) << "the loop waited on after the close";
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
