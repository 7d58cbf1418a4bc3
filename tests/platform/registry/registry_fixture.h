#pragma once
// A registry in a fresh temporary database, with the identity chosen per test.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/win32/registry.h"

namespace keld::test {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/keld-registry-XXXXXX";
    directory_ = mkdtemp(pattern);
    win32::useRegistryDatabase(directory_ + "/registry.db");
    win32::setRegistryIdentity(win32::RegistryIdentity::System);
  }
  void TearDown() override {
    win32::setRegistryIdentity(std::nullopt);
    win32::useRegistryDatabase("");
    std::filesystem::remove_all(directory_);
  }
  std::string databasePath() const { return directory_ + "/registry.db"; }

 private:
  std::string directory_;
};

}  // namespace keld::test
