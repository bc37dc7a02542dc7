// Stops of tavrin.exe: console events and the end of the session (run under
// Wine; the window procedure is called directly, as the system would).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/windows/win32_process.h"

namespace tavrin {
namespace {

TEST(ConsoleEvents, TheFirstStopsTheSecondEndsAtOnce) {
  for (const DWORD event : {DWORD{CTRL_C_EVENT}, DWORD{CTRL_BREAK_EVENT}, DWORD{CTRL_CLOSE_EVENT},
                            DWORD{CTRL_LOGOFF_EVENT}, DWORD{CTRL_SHUTDOWN_EVENT}}) {
    EXPECT_EQ(ConsoleEventAction::Stop, consoleEventAction(event, false)) << event;
    EXPECT_EQ(ConsoleEventAction::EndNow, consoleEventAction(event, true)) << event;
  }
  EXPECT_EQ(ConsoleEventAction::NotOurs, consoleEventAction(7, false));
  EXPECT_EQ(ConsoleEventAction::NotOurs, consoleEventAction(7, true));
}

class SessionWindow : public ::testing::Test {
 protected:
  void TearDown() override { forgetStopForTesting(); }
};

TEST_F(SessionWindow, AskingWhetherTheSessionMayEndStopsNothing) {
  EXPECT_EQ(TRUE, sessionWindowProcedure(nullptr, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
  EXPECT_EQ(TRUE, sessionWindowProcedure(nullptr, WM_QUERYENDSESSION, 0, 0));
  // Another program refused: the session goes on, and so does the run.
  EXPECT_EQ(0, sessionWindowProcedure(nullptr, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF));
  EXPECT_FALSE(stopEventCame());
}

TEST_F(SessionWindow, AnEndingSessionStopsTheRunAndWaitsForTheRecords) {
  std::atomic<bool> returned{false};
  std::thread window([&] {
    sessionWindowProcedure(nullptr, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    returned = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!stopEventCame() && std::chrono::steady_clock::now() < deadline) Sleep(10);
  EXPECT_TRUE(stopEventCame());
  // The system may end the process once the procedure returns: not before
  // the run says its records are written.
  Sleep(100);
  EXPECT_FALSE(returned);
  runFinished();
  window.join();
  EXPECT_TRUE(returned);
}

TEST_F(SessionWindow, ShutdownToo) {
  runFinished();  // the records are written already
  EXPECT_EQ(0, sessionWindowProcedure(nullptr, WM_ENDSESSION, TRUE, 0));
  EXPECT_TRUE(stopEventCame());
}

}  // namespace
}  // namespace tavrin
