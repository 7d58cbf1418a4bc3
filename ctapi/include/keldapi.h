/* Keldapi: the CT-API library of the Keldmatic PC-Card smart-card reader.
 *
 * An application opens a card terminal with CT_init, exchanges command and
 * response APDUs with the terminal or the card in it through CT_data, and
 * closes it with CT_close. The prototypes are those of the CT-API standard,
 * so a program written against any standard CT-API header links against this
 * library as well. Every function returns one of the codes below. */
#ifndef KELDAPI_H
#define KELDAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* CT-API return codes. */
enum {
  OK = 0,            /* done; a CT_data response ends with a two-byte status word */
  ERR_INVALID = -1,  /* terminal not open, bad address or length, bad CT_init arguments */
  ERR_CT = -8,       /* terminal busy for 20 s, or the reader did not take the command */
  ERR_TRANS = -10,   /* no reader device, or the transmission to the reader failed */
  ERR_MEMORY = -11,  /* response buffer too small (or below 2 bytes), command too long */
  ERR_HOST = -127,   /* the calling thread received WM_QUIT while the library waited */
  ERR_HTSI = -128    /* any other failure, among them an ended card-event wait */
};

/* Addresses for CT_data's dad and sad. */
enum {
  CT_ADDRESS_ICC = 0x00,         /* the card */
  CT_ADDRESS_CT = 0x01,          /* the card terminal */
  CT_ADDRESS_HOST = 0x02,        /* the host (this application) */
  CT_ADDRESS_REMOTE_HOST = 0x05  /* a remote host */
};

/* Opens card terminal `ctn` (the application's own number) on the reader
 * chosen by `pn`: 1 to 7 select the reader at I/O base 0x300 + 0x20 * (pn - 1),
 * 0 takes the first reader that answers. Up to seven terminals at once.
 * Returns OK, ERR_INVALID (ctn already open, table full, pn above 7),
 * ERR_TRANS (no such reader) or ERR_MEMORY. */
int8_t CT_init(uint16_t ctn, uint16_t pn);

/* Sends `lenc` command bytes to `*dad` (0 the card, 1 the terminal) from
 * `*sad` (2 the host, 5 a remote host). On entry `*lenr` is the size of
 * `response`; on return it holds the response length, and `*dad` / `*sad`
 * name the receiver and sender of the response. The library may change
 * bytes of `command` in place (older reader firmware).
 * Returns OK (the response ends with its status word), ERR_INVALID,
 * ERR_CT, ERR_TRANS, ERR_MEMORY, ERR_HOST or ERR_HTSI. */
int8_t CT_data(uint16_t ctn, uint8_t *dad, uint8_t *sad, uint16_t lenc, uint8_t *command,
               uint16_t *lenr, uint8_t *response);

/* Closes terminal `ctn`, waiting up to 20 s while a call still works on it.
 * Returns OK, ERR_INVALID (not open), ERR_CT (still busy) or ERR_HOST. */
int8_t CT_close(uint16_t ctn);

/* Copies the library's version text (21 bytes with its terminating zero)
 * into `buffer` for selector 1, 2 or 3 and returns 1; returns 0 otherwise.
 * The buffer must hold at least 21 bytes. */
int16_t Get_VersionString(char *buffer, int16_t selector);

/* Not supported: always returns ERR_HTSI. */
int8_t CT_IccStatus(int32_t reserved1, int32_t reserved2, int32_t reserved3);

#ifdef __cplusplus
}
#endif

#endif /* KELDAPI_H */
