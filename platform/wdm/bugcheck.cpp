#include "platform/wdm/bugcheck.h"

#include <cstdio>
#include <cstdlib>

namespace keld::wdm {

void bugCheck(const char* what) {
  std::fprintf(stderr, "keldwdm: bug check: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace keld::wdm
