// The tray icon component: notification sequences, the tooltip, icon indexes and cycling, against a
// recording shell.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPixmap>
#include <QSignalSpy>
#include <QWidget>
#include <memory>
#include <vector>

#include "ui/app_events.h"
#include "ui/application.h"
#include "ui/cool_tray_icon.h"

namespace signposter::ui {
namespace {

using namespace tray_message;

struct ShellCall {
    enum Op { Add, Modify, Delete } op;
    TrayEntry entry;
};

class RecordingShell final : public TrayShell {
public:
    explicit RecordingShell(std::vector<ShellCall>& calls) : m_calls(calls) {}
    void Add(const TrayEntry& entry) override { m_calls.push_back({ShellCall::Add, entry}); }
    void Modify(const TrayEntry& entry) override { m_calls.push_back({ShellCall::Modify, entry}); }
    void Delete() override { m_calls.push_back({ShellCall::Delete, {}}); }

private:
    std::vector<ShellCall>& m_calls;
};

QIcon SolidIcon(Qt::GlobalColor color) {
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

QRgb IconColour(const QIcon& icon) {
    return icon.pixmap(16, 16).toImage().pixel(8, 8);
}

class TrayIconTest : public ::testing::Test {
protected:
    TrayIconTest() : tray(new TCoolTrayIcon(&owner, std::make_unique<RecordingShell>(calls))) {}

    std::vector<ShellCall> calls;  // outlives `owner`, whose tray still removes its entry
    QWidget owner;
    TCoolTrayIcon* tray;  // owned by `owner`
};

TEST_F(TrayIconTest, LoadingRefreshesThenAddsAndDestructionRemoves) {
    tray->Loaded();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, ShellCall::Modify);
    EXPECT_EQ(calls[1].op, ShellCall::Add);

    tray->SetIconVisible(false);
    EXPECT_EQ(calls.back().op, ShellCall::Delete);
    tray->SetIconVisible(true);
    EXPECT_EQ(calls.back().op, ShellCall::Add);

    calls.clear();
    delete tray;
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].op, ShellCall::Delete);
}

TEST_F(TrayIconTest, ClickNeedsADownOnTheIconFirst) {
    QSignalSpy clicks(tray, &TCoolTrayIcon::OnClick);
    QSignalSpy ups(tray, &TCoolTrayIcon::OnMouseUp);

    // Pressed elsewhere, released over the icon.
    tray->HandleNotification(kLButtonUp);
    EXPECT_EQ(clicks.count(), 0);
    EXPECT_EQ(ups.count(), 1);

    tray->HandleNotification(kLButtonDown);
    tray->HandleNotification(kLButtonUp);
    EXPECT_EQ(clicks.count(), 1);
    // The pending click is consumed by its up.
    tray->HandleNotification(kLButtonUp);
    EXPECT_EQ(clicks.count(), 1);
}

TEST_F(TrayIconTest, DoubleClickRaisesOneClickAndOneDoubleClick) {
    QSignalSpy clicks(tray, &TCoolTrayIcon::OnClick);
    QSignalSpy doubleClicks(tray, &TCoolTrayIcon::OnDblClick);

    for (unsigned message : {kLButtonDown, kLButtonUp, kLButtonDblClk, kLButtonUp}) {
        tray->HandleNotification(message);
    }
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(doubleClicks.count(), 1);

    // The same through Qt's activations.
    tray->HandleActivation(QSystemTrayIcon::Trigger);
    tray->HandleActivation(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(clicks.count(), 2);
    EXPECT_EQ(doubleClicks.count(), 2);
}

TEST_F(TrayIconTest, ActivationsBecomeButtonSequences) {
    QSignalSpy downs(tray, &TCoolTrayIcon::OnMouseDown);
    QSignalSpy ups(tray, &TCoolTrayIcon::OnMouseUp);
    QSignalSpy clicks(tray, &TCoolTrayIcon::OnClick);

    tray->HandleActivation(QSystemTrayIcon::Context);
    tray->HandleActivation(QSystemTrayIcon::MiddleClick);
    ASSERT_EQ(downs.count(), 2);
    ASSERT_EQ(ups.count(), 2);
    EXPECT_EQ(clicks.count(), 0);
    EXPECT_EQ(downs[0][1].value<TMouseButton>(), TMouseButton::mbRight);
    EXPECT_TRUE(downs[0][2].value<TShiftState>() & ssRight);
    EXPECT_EQ(ups[1][1].value<TMouseButton>(), TMouseButton::mbMiddle);
    EXPECT_TRUE(ups[1][2].value<TShiftState>() & ssMiddle);

    tray->HandleActivation(QSystemTrayIcon::Trigger);
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(downs[2][1].value<TMouseButton>(), TMouseButton::mbLeft);
    EXPECT_TRUE(downs[2][2].value<TShiftState>() & ssLeft);
}

TEST_F(TrayIconTest, DisabledDropsEverythingWithoutTouchingThePendingClick) {
    QSignalSpy clicks(tray, &TCoolTrayIcon::OnClick);
    QSignalSpy downs(tray, &TCoolTrayIcon::OnMouseDown);
    QSignalSpy moves(tray, &TCoolTrayIcon::OnMouseMove);

    tray->SetEnabled(false);
    for (unsigned message : {kMouseMove, kLButtonDown, kLButtonUp, kLButtonDblClk, kRButtonDown, kRButtonUp,
                             kMButtonDown, kMButtonUp}) {
        tray->HandleNotification(message);
    }
    EXPECT_EQ(clicks.count(), 0);
    EXPECT_EQ(downs.count(), 0);
    EXPECT_EQ(moves.count(), 0);

    // A down while enabled stays pending across dropped notifications.
    tray->SetEnabled(true);
    tray->HandleNotification(kLButtonDown);
    tray->SetEnabled(false);
    tray->HandleNotification(kLButtonUp);
    tray->SetEnabled(true);
    tray->HandleNotification(kLButtonUp);
    EXPECT_EQ(clicks.count(), 1);
}

TEST_F(TrayIconTest, TooltipNeedsShowHintAndKeeps63Characters) {
    tray->SetHint("Signposter");
    EXPECT_EQ(calls.back().op, ShellCall::Modify);
    EXPECT_TRUE(calls.back().entry.tip.isEmpty());

    tray->SetShowHint(true);
    EXPECT_EQ(calls.back().entry.tip, "Signposter");

    const QString longHint = QString(62, 'a') + "bc" + QString(10, 'd');
    tray->SetHint(longHint);
    EXPECT_EQ(calls.back().entry.tip, QString(62, 'a') + "b");
    EXPECT_EQ(tray->Hint(), longHint);

    tray->SetShowHint(false);
    EXPECT_TRUE(calls.back().entry.tip.isEmpty());
}

TEST_F(TrayIconTest, IconIndexFollowsTheList) {
    tray->SetIconIndex(5);
    EXPECT_EQ(tray->IconIndex(), 0);

    auto* list = new TImageList(&owner);
    list->Add(SolidIcon(Qt::red));
    list->Add(SolidIcon(Qt::green));
    list->Add(SolidIcon(Qt::blue));
    tray->SetIconList(list);
    EXPECT_EQ(tray->IconIndex(), 0);
    EXPECT_EQ(IconColour(tray->Icon()), QColor(Qt::red).rgb());

    tray->SetIconIndex(7);
    EXPECT_EQ(tray->IconIndex(), 2);
    EXPECT_EQ(IconColour(tray->Icon()), QColor(Qt::blue).rgb());
    EXPECT_EQ(IconColour(calls.back().entry.icon), QColor(Qt::blue).rgb());

    tray->SetIconIndex(-3);
    EXPECT_EQ(tray->IconIndex(), 0);

    delete list;
    EXPECT_EQ(tray->IconList(), nullptr);
    tray->SetIconIndex(2);
    EXPECT_EQ(tray->IconIndex(), 0);
}

TEST_F(TrayIconTest, CycleStepsThroughTheListAndWraps) {
    TImageList list;
    list.Add(SolidIcon(Qt::red));
    list.Add(SolidIcon(Qt::green));
    list.Add(SolidIcon(Qt::blue));
    tray->SetIconList(&list);
    QSignalSpy cycles(tray, &TCoolTrayIcon::OnCycle);

    std::vector<int> indexes;
    for (int i = 0; i < 4; ++i) {
        tray->CycleStep();
        indexes.push_back(tray->IconIndex());
    }
    EXPECT_EQ(indexes, (std::vector<int>{1, 2, 0, 1}));
    ASSERT_EQ(cycles.count(), 4);
    EXPECT_EQ(cycles[2][1].toInt(), 0);
    EXPECT_EQ(IconColour(tray->Icon()), QColor(Qt::green).rgb());
    tray->SetIconList(nullptr);
}

TEST_F(TrayIconTest, CyclingAnEmptyListOrWithoutAPeriodStaysCalm) {
    tray->SetIcon(SolidIcon(Qt::red));
    TImageList empty;
    tray->SetIconList(&empty);
    tray->CycleStep();
    ASSERT_FALSE(tray->Icon().isNull());
    EXPECT_EQ(IconColour(calls.back().entry.icon), QColor(Qt::red).rgb());

    // With the default period of 0 the cycle must not run on every pass of the event loop.
    TImageList list;
    list.Add(SolidIcon(Qt::red));
    list.Add(SolidIcon(Qt::green));
    tray->SetIconList(&list);
    QSignalSpy cycles(tray, &TCoolTrayIcon::OnCycle);
    tray->SetCycleIcons(true);
    for (int pass = 0; pass < 200; ++pass) {
        QCoreApplication::processEvents();
    }
    tray->SetCycleIcons(false);
    EXPECT_LT(cycles.count(), 100);
    tray->SetIconList(nullptr);
}

TEST_F(TrayIconTest, StartMinimizedTurnsOffTheMainWindowAtStart) {
    TApplication::Instance().SetShowMainForm(true);
    tray->SetStartMinimized(true);
    tray->Loaded();
    EXPECT_FALSE(TApplication::Instance().ShowMainForm());
    TApplication::Instance().SetShowMainForm(true);
}

TEST_F(TrayIconTest, MinimisingHidesTheOwnerOnlyWithMinimizeToTray) {
    owner.show();
    owner.setWindowState(Qt::WindowMinimized);
    QCoreApplication::processEvents();
    EXPECT_TRUE(owner.isVisible());

    owner.setWindowState(Qt::WindowNoState);
    tray->SetMinimizeToTray(true);
    calls.clear();
    owner.setWindowState(Qt::WindowMinimized);
    QCoreApplication::processEvents();
    EXPECT_FALSE(owner.isVisible());
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().op, ShellCall::Add);

    // Shown again by the program, it comes back restored.
    owner.show();
    EXPECT_FALSE(owner.windowState() & Qt::WindowMinimized);
}

TEST(AppEventsTest, ValuesReachTheApplicationWhenLoadedAndSettersCopyAtOnceAfterwards) {
    TApplication& application = TApplication::Instance();
    application.SetShowMainForm(true);
    TAppEvents events;
    events.SetShowMainForm(false);
    events.SetMouseDragThreshold(7);
    // The window's stored values are all applied before loading ends.
    EXPECT_TRUE(application.ShowMainForm());

    events.Loaded();
    EXPECT_FALSE(application.ShowMainForm());
    EXPECT_EQ(QApplication::startDragDistance(), 7);
    EXPECT_EQ(application.HintPause(), 500);

    events.SetHintHidePause(4000);
    EXPECT_EQ(application.HintHidePause(), 4000);
    events.SetShowMainForm(true);
    EXPECT_TRUE(application.ShowMainForm());
    events.SetMouseDragThreshold(5);
    events.SetHintHidePause(2500);
}

TEST(ActivationSequencerTest, SecondPressOfADoubleClickIsNotAClick) {
    std::vector<QSystemTrayIcon::ActivationReason> delivered;
    ActivationSequencer sequencer(
        [&](QSystemTrayIcon::ActivationReason reason) { delivered.push_back(reason); });

    sequencer.Activated(QSystemTrayIcon::Trigger);
    QCoreApplication::processEvents();
    // Qt's report of the second press: a click and the double click in the same event.
    sequencer.Activated(QSystemTrayIcon::Trigger);
    sequencer.Activated(QSystemTrayIcon::DoubleClick);
    QCoreApplication::processEvents();
    EXPECT_EQ(delivered, (std::vector{QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick}));

    delivered.clear();
    sequencer.Activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(delivered.empty());
    sequencer.Activated(QSystemTrayIcon::Context);
    EXPECT_EQ(delivered, (std::vector{QSystemTrayIcon::Trigger, QSystemTrayIcon::Context}));
    QCoreApplication::processEvents();
    EXPECT_EQ(delivered.size(), 2u);
}

}  // namespace
}  // namespace signposter::ui
