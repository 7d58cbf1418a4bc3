#pragma once
// Runs the real `keld` through the shell, as a person or a script would.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace keld::test {

struct KeldRun {
  int exitCode;
  std::string output;  // stdout and stderr together
};

// `environment` is a list of NAME='value' words put before the program;
// `arguments` follow it as the shell splits them.
KeldRun runKeld(const std::string& environment, const std::string& arguments);

// Success when `run` ended with `exitCode` and, unless `text` is empty, its
// output holds `text`; the failure shows the whole output.
::testing::AssertionResult ended(const KeldRun& run, int exitCode, std::string_view text = {});

}  // namespace keld::test
