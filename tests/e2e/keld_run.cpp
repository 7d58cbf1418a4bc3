#include "e2e/keld_run.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>

namespace keld::test {

KeldRun runKeld(const std::string& environment, const std::string& arguments) {
  const std::string command = environment + " '" KELD_PATH "' " + arguments + " 2>&1";
  KeldRun run{-1, {}};
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  std::array<char, 512> buffer;
  while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) run.output += buffer.data();
  const int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

::testing::AssertionResult ended(const KeldRun& run, int exitCode, std::string_view text) {
  if (run.exitCode != exitCode)
    return ::testing::AssertionFailure() << "exit code " << run.exitCode << ", expected " << exitCode << "; output:\n"
                                         << run.output;
  if (!text.empty() && run.output.find(text) == std::string::npos)
    return ::testing::AssertionFailure() << "output lacks \"" << text << "\":\n" << run.output;
  return ::testing::AssertionSuccess();
}

}  // namespace keld::test
