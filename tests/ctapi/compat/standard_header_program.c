/* Uses only the standard CT-API header. With no reader reachable, opening a
 * terminal must fail with ERR_TRANS at once, and the terminal stays closed. */
#include <ctapi.h>
#include <stdio.h>

static int check(const char *what, int got, int expected) {
  if (got == expected) return 0;
  fprintf(stderr, "%s returned %d, expected %d\n", what, got, expected);
  return 1;
}

int main(void) {
  int failures = 0;
  failures += check("CT_init(1, 1)", CT_init(1, 1), ERR_TRANS);
  failures += check("CT_close(1)", CT_close(1), ERR_INVALID);

  uint8_t dad = CT, sad = HOST;
  uint8_t command[] = {0x20, 0x12, 0x01, 0x00, 0x00};
  uint8_t response[64];
  uint16_t lenr = sizeof response;
  failures += check("CT_data on a closed terminal", CT_data(1, &dad, &sad, sizeof command, command, &lenr, response),
                    ERR_INVALID);
  failures += check("dad after the failed call", dad, HOST);
  failures += check("sad after the failed call", sad, CT);
  return failures == 0 ? 0 : 1;
}
