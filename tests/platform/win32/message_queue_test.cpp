#include "platform/win32/message_queue.h"

#include <gtest/gtest.h>

#include <thread>

namespace keld::win32 {
namespace {

class MessageQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { resetMessageQueue(); }
  void TearDown() override { resetMessageQueue(); }
};

TEST_F(MessageQueueTest, PeekTakesMessagesInOrderAndDispatchRunsTheirHandlers) {
  int seen = 0;
  setMessageHandler(WM_USER + 1, [&](const MSG& m) {
    seen += static_cast<int>(m.wParam);
    return LRESULT{7};
  });
  PostMessageA(nullptr, WM_USER + 1, 2, 0);
  PostQuitMessage(3);

  MSG message;
  ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(pendingMessages(), 2u);
  ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, WM_USER + 1);
  EXPECT_EQ(DispatchMessageA(&message), 7);
  EXPECT_EQ(seen, 2);
  ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, WM_QUIT);
  EXPECT_EQ(message.wParam, 3u);
  EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageQueueTest, QueuesBelongToThreads) {
  const DWORD self = GetCurrentThreadId();
  std::thread other([self] {
    EXPECT_NE(GetCurrentThreadId(), self);
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    PostThreadMessageA(self, WM_USER, 0, 0);
  });
  other.join();
  MSG message;
  ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, WM_USER);
}

TEST_F(MessageQueueTest, FilterSelectsARangeOfMessages) {
  PostMessageA(nullptr, WM_USER, 0, 0);
  PostMessageA(nullptr, WM_QUIT, 0, 0);
  MSG message;
  ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(message.message, WM_QUIT);
  EXPECT_EQ(pendingMessages(), 1u);
}

}  // namespace
}  // namespace keld::win32
