#pragma once
// Runs the real `keld` through the shell, as a person or a script would.

#include <string>

namespace keld::test {

struct KeldRun {
  int exitCode;
  std::string output;  // stdout and stderr together
};

// `environment` is a list of NAME='value' words put before the program;
// `arguments` follow it as the shell splits them.
KeldRun runKeld(const std::string& environment, const std::string& arguments);

}  // namespace keld::test
