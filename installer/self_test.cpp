// The installation self-test: one RESET CT through the CT-API library, as
// an application would send it.

#include <array>
#include <cstdint>

#include "installer/keldinst.h"
#include "platform/win32/loader.h"

namespace {

using CtInit = std::int8_t (*)(std::uint16_t ctn, std::uint16_t pn);
using CtData = std::int8_t (*)(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                               std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response);
using CtClose = std::int8_t (*)(std::uint16_t ctn);

constexpr std::uint16_t kCtn = 0;
constexpr std::uint16_t kPn = 0;

template <typename Function>
Function lookup(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(GetProcAddress(library, name));
}

}  // namespace

int32_t CheckInstallation(void) {
  HMODULE library = LoadLibraryA("keldapi");
  if (!library) return 0;
  const auto ctInit = lookup<CtInit>(library, "CT_init");
  if (!ctInit || ctInit(kCtn, kPn) < 0) {
    FreeLibrary(library);
    return 0;
  }
  int32_t result = 0;
  if (const auto ctData = lookup<CtData>(library, "CT_data")) {
    std::uint8_t dad = 1;  // the card terminal
    std::uint8_t sad = 2;  // the host
    std::array<std::uint8_t, 5> resetCt = {0x20, 0x10, 0x00, 0x00, 0x00};
    std::array<std::uint8_t, 200> response{};
    std::uint16_t lenr = response.size();
    if (ctData(kCtn, &dad, &sad, resetCt.size(), resetCt.data(), &lenr, response.data()) >= 0) result = 1;
  }
  if (const auto ctClose = lookup<CtClose>(library, "CT_close")) ctClose(kCtn);
  FreeLibrary(library);
  return result;
}

int32_t CheckFirmWare(int32_t) { return -1; }
