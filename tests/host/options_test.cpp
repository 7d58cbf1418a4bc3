#include "host/options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace keld::test {
namespace {

using namespace keld::host;

ParseResult parse(std::initializer_list<std::string_view> args) {
  std::vector<std::string_view> v(args);
  return parseCommandLine(v);
}

TEST(HostOptions, NoReaderNamedMeansOneEmulatedReaderAt300WithTheDefaultCard) {
  ParseResult r = parse({});
  ASSERT_TRUE(r.config) << r.error;
  const auto readers = effectiveReaders(*r.config);
  ASSERT_EQ(readers.size(), 1u);
  EXPECT_EQ(readers[0].ioBase, 0x300);
  EXPECT_EQ(readers[0].card, CardChoice::Default);
  EXPECT_GE(readers[0].portLength, 4);
  EXPECT_FALSE(r.config->virtualTime);
  EXPECT_FALSE(r.config->foreground);
  EXPECT_EQ(r.config->logLevel, LogLevel::Info);
}

TEST(HostOptions, ReadersAndSwitchesAreTaken) {
  ParseResult r = parse({"--reader", "sim,io=0x320,firmware=4.00,card=none", "--reader=sim,card=/tmp/card.txt,irq=11",
                         "--virtual-time", "--socket", "/tmp/k.sock", "--foreground", "--log-level", "trace",
                         "--driver", "/opt/keldrin.so", "--group", "keld"});
  ASSERT_TRUE(r.config) << r.error;
  const HostConfig& c = *r.config;
  ASSERT_EQ(c.readers.size(), 2u);
  EXPECT_EQ(c.readers[0].ioBase, 0x320);
  EXPECT_EQ(c.readers[0].firmware, "4.00");
  EXPECT_EQ(c.readers[0].card, CardChoice::None);
  EXPECT_EQ(c.readers[1].ioBase, 0x300);
  EXPECT_EQ(c.readers[1].interruptVector, 11u);
  EXPECT_EQ(c.readers[1].card, CardChoice::Image);
  EXPECT_EQ(c.readers[1].cardImage, "/tmp/card.txt");
  EXPECT_TRUE(c.virtualTime);
  EXPECT_TRUE(c.foreground);
  EXPECT_EQ(c.socketPath, "/tmp/k.sock");
  EXPECT_EQ(c.logLevel, LogLevel::Trace);
  EXPECT_EQ(c.driverPath, "/opt/keldrin.so");
  EXPECT_EQ(c.socketGroup, "keld");
}

struct BadCommandLine {
  const char* name;
  std::vector<std::string_view> args;
  const char* errorContains;
};

class HostOptionErrors : public ::testing::TestWithParam<BadCommandLine> {};

TEST_P(HostOptionErrors, GiveOneLineNamingTheProblem) {
  ParseResult r = parseCommandLine(GetParam().args);
  EXPECT_FALSE(r.config);
  EXPECT_NE(r.error.find(GetParam().errorContains), std::string::npos) << r.error;
  EXPECT_EQ(r.error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostOptionErrors,
    ::testing::Values(
        BadCommandLine{"UnknownOption", {"--frobnicate"}, "unknown option '--frobnicate'"},
        BadCommandLine{"MissingValue", {"--socket"}, "needs a value"},
        BadCommandLine{"ValueOnSwitch", {"--foreground=yes"}, "takes no value"},
        BadCommandLine{"BareArgument", {"sim"}, "unexpected argument"},
        BadCommandLine{"UnknownLevel", {"--log-level", "loud"}, "unknown log level 'loud'"},
        BadCommandLine{"UnknownKind", {"--reader", "pcmcia"}, "unknown reader kind 'pcmcia'"},
        BadCommandLine{"BadIo", {"--reader", "sim,io=0xZZ"}, "reader io '0xZZ'"},
        BadCommandLine{"ZeroIo", {"--reader", "sim,io=0"}, "reader io '0'"},
        BadCommandLine{"IoAtTop", {"--reader", "sim,io=0xFFFE"}, "reader io"},
        BadCommandLine{"BadFirmware", {"--reader", "sim,firmware=2.3"}, "reader firmware '2.3'"},
        BadCommandLine{"UnknownSetting", {"--reader", "sim,speed=9600"}, "unknown reader setting 'speed'"},
        BadCommandLine{"NotKeyValue", {"--reader", "sim,io"}, "is not key=value"},
        BadCommandLine{"Twice", {"--reader", "sim,io=0x300,io=0x320"}, "given twice"},
        BadCommandLine{"EmptyCard", {"--reader", "sim,card="}, "card needs a value"},
        BadCommandLine{"Overlap", {"--reader", "sim,io=0x300", "--reader", "sim,io=0x302"}, "overlaps"},
        BadCommandLine{"MissingConfig", {"--config", "/nonexistent/keldrind.conf"}, "cannot read config file"}),
    [](const auto& info) { return info.param.name; });

TEST(HostOptions, ConfigFileSettingsAndCommandLineCombine) {
  HostConfig config;
  std::string error;
  ASSERT_TRUE(applyConfigText("# two readers\n"
                              "reader sim,io=0x300\n"
                              "reader = sim,io=0x320,card=none   # empty slot\n"
                              "\n"
                              "log-level debug\n"
                              "virtual-time\n",
                              "host.conf", config, error))
      << error;
  EXPECT_EQ(config.readers.size(), 2u);
  EXPECT_EQ(config.readers[1].card, CardChoice::None);
  EXPECT_EQ(config.logLevel, LogLevel::Debug);
  EXPECT_TRUE(config.virtualTime);

  const std::string path = ::testing::TempDir() + "keldrind_options_test.conf";
  std::ofstream(path) << "log-level warn\nreader sim,io=0x340\n";
  ParseResult r = parse({"--reader", "sim,io=0x300", "--config", path, "--log-level", "error"});
  ASSERT_TRUE(r.config) << r.error;
  EXPECT_EQ(r.config->readers.size(), 2u);
  EXPECT_EQ(r.config->logLevel, LogLevel::Error);
  std::remove(path.c_str());
}

struct BadConfig {
  const char* name;
  const char* text;
  const char* error;
};

class HostConfigErrors : public ::testing::TestWithParam<BadConfig> {};

TEST_P(HostConfigErrors, NameFileLineAndReason) {
  HostConfig config;
  std::string error;
  EXPECT_FALSE(applyConfigText(GetParam().text, "host.conf", config, error));
  EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostConfigErrors,
    ::testing::Values(
        BadConfig{"UnknownSetting", "log-level info\n\nspeed 9600\n", "host.conf:3: unknown setting 'speed'"},
        BadConfig{"MissingValue", "# c\nsocket\n", "host.conf:2: 'socket' needs a value"},
        BadConfig{"ValueOnSwitch", "foreground yes\n", "host.conf:1: 'foreground' takes no value"},
        BadConfig{"BadReader", "reader sim,io=0x300\nreader sim,firmware=x\n",
                  "host.conf:2: reader firmware 'x' is not a version like 2.32"},
        BadConfig{"HelpIsNotASetting", "help\n", "host.conf:1: unknown setting 'help'"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace keld::test
