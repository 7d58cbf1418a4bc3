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
  return failures == 0 ? 0 : 1;
}
