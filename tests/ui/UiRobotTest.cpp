// A short smoke test of the robot that answers boxes for the other tests: it
// answers a real message box as scripted, and reports what it did not expect.
#include "support/UiRobot.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

using namespace cfx::test;

TEST(UiRobot, AnswersWhatItExpectsAndReportsTheRest) {
    UiRobot robot;
    robot.expect(Box().caption(L"Coffrex").text(L"Go on?").icon(Icon::Warning)).answer(IDNO);
    EXPECT_EQ(MessageBoxW(nullptr, L"Go on?", L"Coffrex", MB_YESNO | MB_ICONWARNING), IDNO);
    robot.verify();
    robot.expect(Box().text(L"Never shown")).answer(IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"Surprise", L"Coffrex", MB_OKCANCEL), IDCANCEL);
    testing::TestPartResultArray results;
    {
        testing::ScopedFakeTestPartResultReporter reporter(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
        robot.verify();
    }
    ASSERT_EQ(results.size(), 2);
    EXPECT_NE(std::string(results.GetTestPartResult(0).message()).find("Surprise"),
              std::string::npos);
    EXPECT_NE(std::string(results.GetTestPartResult(1).message()).find("Never shown"),
              std::string::npos);
}
