#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/win32/loader.h"
#include "platform/win32/message_box.h"

namespace keld::test {
namespace {

TEST(Loader, ReportsMissingLibrariesAndExports) {
  unsetenv("KELD_LIBRARY_PATH");
  EXPECT_EQ(LoadLibraryA("keld-no-such-library"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryA("/nonexistent/libkeldapi.so"), nullptr);
  EXPECT_EQ(GetProcAddress(nullptr, "CT_init"), nullptr);
  EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST(MessageBox, HookReceivesTheBoxInsteadOfAPerson) {
  win32::MessageBoxCall seen;
  win32::setMessageBoxHook([&](const win32::MessageBoxCall& call) {
    seen = call;
    return IDOK;
  });
  EXPECT_EQ(MessageBoxA(nullptr, "text", nullptr, MB_ICONERROR), IDOK);
  win32::setMessageBoxHook({});
  EXPECT_EQ(seen.text, "text");
  EXPECT_EQ(seen.caption, "Error");
  EXPECT_EQ(seen.type, MB_ICONERROR);
  EXPECT_FALSE(seen.hasOwner);
}

}  // namespace
}  // namespace keld::test
