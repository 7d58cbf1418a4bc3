// A CT-API library for the self-test's tests: it logs each call to the file
// named by KELD_FAKE_CTAPI_LOG and answers as its variant says.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

#if defined(FAKE_CTAPI_NOREADER)
constexpr std::int8_t kInitResult = -10;
#else
constexpr std::int8_t kInitResult = 0;
#endif
#if defined(FAKE_CTAPI_DATAFAILS)
constexpr std::int8_t kDataResult = -10;
#else
constexpr std::int8_t kDataResult = 0;
#endif

void note(const char* call) {
  if (const char* path = std::getenv("KELD_FAKE_CTAPI_LOG")) {
    if (std::FILE* log = std::fopen(path, "a")) {
      std::fprintf(log, "%s\n", call);
      std::fclose(log);
    }
  }
}

}  // namespace

extern "C" {

std::int8_t CT_init(std::uint16_t ctn, std::uint16_t pn) {
  note(ctn == 0 && pn == 0 ? "CT_init 0 0" : "CT_init other");
  return kInitResult;
}

#if !defined(FAKE_CTAPI_NODATA)
std::int8_t CT_data(std::uint16_t, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc, std::uint8_t* command,
                    std::uint16_t* lenr, std::uint8_t* response) {
  const bool resetCt = *dad == 1 && *sad == 2 && lenc == 5 && command[0] == 0x20 && command[1] == 0x10 &&
                       command[2] == 0 && command[3] == 0 && command[4] == 0 && *lenr == 200;
  note(resetCt ? "CT_data RESET CT" : "CT_data other");
  // An error status word does not make the self-test fail.
  response[0] = 0x6F;
  response[1] = 0x00;
  *lenr = 2;
  return kDataResult;
}
#endif

std::int8_t CT_close(std::uint16_t) {
  note("CT_close");
  return 0;
}
}
