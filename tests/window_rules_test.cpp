// The window rules of the application controller that front ends follow:
// where sheets go and what closing the main window does.
#include <gtest/gtest.h>

#include "scan/app_controller.h"

using kestrel::WrenfieldAppDelegate;

TEST(WindowRules, SheetsMoveDownOnlyForTheThreeKnownWindowHeights) {
    EXPECT_EQ(WrenfieldAppDelegate::windowWillPositionSheetY(500, 559), 499);
    EXPECT_EQ(WrenfieldAppDelegate::windowWillPositionSheetY(500, 537), 499);
    EXPECT_EQ(WrenfieldAppDelegate::windowWillPositionSheetY(600, 620), 522);
    for (double other : {560.0, 538.0, 621.0, 0.0}) {
        EXPECT_EQ(WrenfieldAppDelegate::windowWillPositionSheetY(500, other), 500) << other;
    }
}

TEST(WindowRules, ClosingShowsTheQuitSheetUntilFeedbackWasSentThenAsks) {
    WrenfieldAppDelegate controller;
    EXPECT_EQ(controller.windowShouldClose(), WrenfieldAppDelegate::LeaveAction::QuitSheet);
    controller.bFeedBack = true;
    EXPECT_EQ(controller.windowShouldClose(), WrenfieldAppDelegate::LeaveAction::ExitAlert);
}
