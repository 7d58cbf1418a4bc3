#pragma once
// The command exchange: sends one command of CT_data to the card or to the
// terminal over the T=1 link and returns its response, intercepting the
// terminal reset and the interface-parameter commands 80 60.

#include <cstdint>

namespace keldapi {

// Values parsed from the last interface-parameter command 80 60 00. Only
// newEdcMode has an effect; the others are recorded.
struct InterfaceParameters {
  std::uint16_t baudRate = 0;
  std::uint16_t dataBits = 0;
  std::uint16_t parity = 0;    // 0 none, 1 odd, 2 even
  std::uint16_t stopBits = 0;  // 0 one, 2 two
  std::int32_t newEdcMode = 1;  // 1 LRC, 0 CRC
};

// The command being sent.
struct CurrentCommand {
  std::uint16_t length = 0;
  std::uint8_t sad = 0;
  std::uint8_t dad = 0;
  const std::uint8_t* bytes = nullptr;
};

// pendingAction: the epilogue change of an interface-parameter command,
// carried out after the terminal's 90 00.
constexpr std::int32_t PENDING_NONE = 0;
constexpr std::int32_t PENDING_EDC_CHANGE = 3;
// A card reset of the card-terminal command set (20 11 01, 20 12 01) that
// newer firmware carries out itself: once answered 90 00 or 90 01 the card
// starts afresh, as after 20 10 01.
constexpr std::int32_t PENDING_CARD_RESET = 4;

extern std::int32_t pendingAction;
extern InterfaceParameters interfaceParameters;
extern CurrentCommand currentCommand;

// Puts the three values above back as at load (for tests).
void resetExchangeState();

// The CT-API code of a link result: of prepareCommand (the outcome of one
// attempt) and of fetchResponse (handing the response out).
std::int8_t attemptCode(int linkResult);
std::int8_t fetchCode(int linkResult);

// Sends `command` (lenc bytes) from *sad to *dad and takes the response into
// `response`, whose size is *lenr. Returns a CT-API code; on success *lenr is
// the response length, *sad the responder and *dad the receiver.
std::int8_t exchangeCommand(int terminal, std::uint8_t* dad, std::uint8_t* sad,
                            std::uint16_t lenc, std::uint8_t* command, std::uint16_t* lenr,
                            std::uint8_t* response);

// The steps of exchangeCommand, for tests. Results are link result codes
// unless said otherwise.
int prepareCommand(int terminal, std::uint8_t sad, std::uint8_t dad, const std::uint8_t* command,
                   std::uint16_t lenc);
int sendCommand(int terminal, std::uint8_t sad, std::uint8_t dad, const std::uint8_t* command,
                std::uint16_t lenc);
// Byte count of the last block sent (> 0), 0 when a transmit failed, or a
// negative receive result.
int sendIBlocks(int terminal);
// mode 2 receives the response, mode 1 only collects it; CT-API code.
std::int8_t collectResponse(int terminal, std::uint8_t* dad, std::uint8_t* sad,
                            std::uint16_t* lenr, std::uint8_t* response, int mode);
int fetchResponse(int terminal, std::uint8_t* sad, std::uint8_t* dad, std::uint8_t* response,
                  std::uint16_t capacity);
int takeResponse(int terminal, std::uint8_t* sad, std::uint8_t* dad, std::uint8_t* response,
                 std::uint16_t capacity);
int completeReset(int terminal);
void finishCommand(int terminal);
bool isSuccessStatus(int terminal);
bool parseInterfaceParameters(const std::uint8_t* data, std::uint16_t length);
// Answers the command in the library's name with SW1 SW2; link result -12.
int answerLocally(int terminal, std::uint8_t source, std::uint8_t sw1, std::uint8_t sw2);

}  // namespace keldapi
