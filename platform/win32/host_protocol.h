#pragma once
// The wire protocol between device access in the applications (and the
// `keld` tool) and the driver host `keldrind`, over a Unix stream socket.
//
// Every message is a FrameHeader followed by `length` bytes of payload. A
// request's type is one of MessageType; its reply carries the same type with
// REPLY_FLAG set and the same sequence number. Every reply payload starts
// with an NT status. Records are little-endian and packed by construction
// (only naturally aligned 32- and 16-bit fields); their layout is pinned
// below because both sides copy them as bytes.
//
// A connection starts with Hello, which checks the protocol version. After
// that it may open device names, send control requests on the handles it
// got, close them, and (the socket's owner only) send host commands.
//
// This header is shared by the host and the library's backend: it depends on
// neither side's stand-ins.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keld::hostproto {

constexpr std::uint32_t FRAME_MAGIC = 0x444C454B;  // "KELD" as bytes on the wire
constexpr std::uint16_t PROTOCOL_VERSION = 1;
constexpr std::uint16_t REPLY_FLAG = 0x8000;

// Limits both sides enforce. A device name is short; a control buffer is far
// larger than any reader block but small enough that a hostile length cannot
// make the host allocate much.
constexpr std::size_t MAX_NAME_LENGTH = 256;
constexpr std::size_t MAX_CONTROL_BUFFER = 64 * 1024;
constexpr std::size_t MAX_ARGUMENT_LENGTH = 4096;
constexpr std::size_t MAX_REPLY_TEXT = 64 * 1024;
constexpr std::size_t MAX_PAYLOAD = MAX_CONTROL_BUFFER + 64;

enum class MessageType : std::uint16_t {
  Hello = 1,
  Open = 2,
  Control = 3,
  Close = 4,
  Command = 5,
};

// Host commands for people and tests; only the socket's owner (or root) may send them.
enum class HostCommand : std::uint16_t {
  Status = 1,      // text: readers, devices, open handles
  InsertCard = 2,  // argument: card image path, or empty for the default T=1 card
  RemoveCard = 3,
  Suspend = 4,     // system power S3 for every reader
  Resume = 5,      // back to the working state
  Unplug = 6,      // surprise removal, then removal
  Replug = 7,      // a new add and start of an unplugged reader
  InjectFault = 8, // argument: the emulator's fault description
};

// Reader index meaning "not about one reader" (Status, Suspend, Resume).
constexpr std::uint16_t ALL_READERS = 0xFFFF;

// NT statuses that cross the socket beside the driver's own.
constexpr std::int32_t STATUS_SUCCESS = 0;
constexpr std::int32_t STATUS_UNSUCCESSFUL = static_cast<std::int32_t>(0xC0000001);
constexpr std::int32_t STATUS_INVALID_HANDLE = static_cast<std::int32_t>(0xC0000008);
constexpr std::int32_t STATUS_INVALID_PARAMETER = static_cast<std::int32_t>(0xC000000D);
constexpr std::int32_t STATUS_ACCESS_DENIED = static_cast<std::int32_t>(0xC0000022);
constexpr std::int32_t STATUS_OBJECT_NAME_INVALID = static_cast<std::int32_t>(0xC0000033);
constexpr std::int32_t STATUS_OBJECT_NAME_NOT_FOUND = static_cast<std::int32_t>(0xC0000034);
constexpr std::int32_t STATUS_SHARING_VIOLATION = static_cast<std::int32_t>(0xC0000043);
constexpr std::int32_t STATUS_REVISION_MISMATCH = static_cast<std::int32_t>(0xC0000059);
constexpr std::int32_t STATUS_INSUFFICIENT_RESOURCES = static_cast<std::int32_t>(0xC000009A);
constexpr std::int32_t STATUS_NOT_SUPPORTED = static_cast<std::int32_t>(0xC00000BB);
constexpr std::int32_t STATUS_DEVICE_DOES_NOT_EXIST = static_cast<std::int32_t>(0xC00000C0);
constexpr std::int32_t STATUS_INVALID_DEVICE_STATE = static_cast<std::int32_t>(0xC0000184);

struct FrameHeader {
  std::uint32_t magic;     // FRAME_MAGIC
  std::uint16_t version;   // PROTOCOL_VERSION
  std::uint16_t type;      // MessageType, with REPLY_FLAG on replies
  std::uint32_t length;    // payload bytes that follow, at most MAX_PAYLOAD
  std::uint32_t sequence;  // chosen by the client, echoed in the reply
};

struct HelloRequest {
  std::uint16_t version;  // the client's PROTOCOL_VERSION
  std::uint16_t reserved;
  std::uint32_t flags;    // none defined; 0
};

struct HelloReply {
  std::int32_t status;    // STATUS_REVISION_MISMATCH when the versions differ
  std::uint16_t version;  // the host's PROTOCOL_VERSION
  std::uint16_t reserved;
};

// Followed by `nameLength` bytes of the name in the host's namespace, for
// example "\DosDevices\KELDCT_0"; no terminating zero.
struct OpenRequest {
  std::uint32_t nameLength;
};

struct OpenReply {
  std::int32_t status;  // STATUS_OBJECT_NAME_NOT_FOUND: no such device; STATUS_SHARING_VIOLATION: in use
  std::uint32_t handle;
};

// Followed by `inputLength` bytes of input.
struct ControlRequest {
  std::uint32_t handle;
  std::uint32_t code;
  std::uint32_t inputLength;
  std::uint32_t outputSize;  // the caller's output buffer size
};

// Followed by `bytesReturned` bytes of output (never more than outputSize).
struct ControlReply {
  std::int32_t status;
  std::uint32_t bytesReturned;
};

struct CloseRequest {
  std::uint32_t handle;
};

struct CloseReply {
  std::int32_t status;
};

// Followed by `argumentLength` bytes of argument text.
struct CommandRequest {
  std::uint16_t command;  // HostCommand
  std::uint16_t reader;   // reader index (0 = first configured), or ALL_READERS
  std::uint32_t delayMs;  // run the command this long from now on the host's clock; 0 = at once
  std::uint32_t argumentLength;
};

// Followed by `textLength` bytes of text: the status report, or why it failed.
struct CommandReply {
  std::int32_t status;
  std::uint32_t textLength;
};

static_assert(sizeof(FrameHeader) == 16);
static_assert(offsetof(FrameHeader, version) == 4);
static_assert(offsetof(FrameHeader, type) == 6);
static_assert(offsetof(FrameHeader, length) == 8);
static_assert(offsetof(FrameHeader, sequence) == 12);
static_assert(sizeof(HelloRequest) == 8);
static_assert(offsetof(HelloRequest, flags) == 4);
static_assert(sizeof(HelloReply) == 8);
static_assert(offsetof(HelloReply, version) == 4);
static_assert(sizeof(OpenRequest) == 4);
static_assert(sizeof(OpenReply) == 8);
static_assert(offsetof(OpenReply, handle) == 4);
static_assert(sizeof(ControlRequest) == 16);
static_assert(offsetof(ControlRequest, code) == 4);
static_assert(offsetof(ControlRequest, inputLength) == 8);
static_assert(offsetof(ControlRequest, outputSize) == 12);
static_assert(sizeof(ControlReply) == 8);
static_assert(offsetof(ControlReply, bytesReturned) == 4);
static_assert(sizeof(CloseRequest) == 4);
static_assert(sizeof(CloseReply) == 4);
static_assert(sizeof(CommandRequest) == 12);
static_assert(offsetof(CommandRequest, reader) == 2);
static_assert(offsetof(CommandRequest, delayMs) == 4);
static_assert(offsetof(CommandRequest, argumentLength) == 8);
static_assert(sizeof(CommandReply) == 8);
static_assert(offsetof(CommandReply, textLength) == 4);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the wire records are little-endian");

using Bytes = std::vector<std::uint8_t>;

// ---- pure encoding and decoding -------------------------------------------

constexpr std::uint16_t replyType(MessageType type) {
  return static_cast<std::uint16_t>(static_cast<std::uint16_t>(type) | REPLY_FLAG);
}

// A whole frame: header (with `type` as given) and payload.
Bytes encodeFrame(std::uint16_t type, std::uint32_t sequence, std::span<const std::uint8_t> payload);

// A payload made of a fixed record followed by variable bytes.
template <typename Record>
Bytes encodePayload(const Record& record, std::span<const std::uint8_t> tail = {}) {
  Bytes out(sizeof(Record) + tail.size());
  std::memcpy(out.data(), &record, sizeof(Record));
  if (!tail.empty()) std::memcpy(out.data() + sizeof(Record), tail.data(), tail.size());
  return out;
}

enum class HeaderProblem { None, BadMagic, BadVersion, TooLong };

// Checks a received header; the version is checked by the caller that knows
// whether a mismatch may still be answered (Hello).
HeaderProblem checkHeader(const FrameHeader& header);

FrameHeader decodeHeader(std::span<const std::uint8_t, sizeof(FrameHeader)> bytes);

// A payload split into its fixed record and the bytes after it. Fails when
// the payload is shorter than the record or the tail's length does not match
// what the record says.
template <typename Record>
struct Decoded {
  Record record;
  std::span<const std::uint8_t> tail;
};

template <typename Record>
std::optional<Decoded<Record>> decodeFixed(std::span<const std::uint8_t> payload) {
  if (payload.size() < sizeof(Record)) return std::nullopt;
  Decoded<Record> d{};
  std::memcpy(&d.record, payload.data(), sizeof(Record));
  d.tail = payload.subspan(sizeof(Record));
  return d;
}

// Request payload checks shared by the host and the tests: each returns the
// decoded request only when every length in it is consistent and in limits.
std::optional<Decoded<OpenRequest>> decodeOpenRequest(std::span<const std::uint8_t> payload);
std::optional<Decoded<ControlRequest>> decodeControlRequest(std::span<const std::uint8_t> payload);
std::optional<Decoded<CommandRequest>> decodeCommandRequest(std::span<const std::uint8_t> payload);
// Reply checks used by the clients.
std::optional<Decoded<ControlReply>> decodeControlReply(std::span<const std::uint8_t> payload,
                                                        std::uint32_t outputSize);
std::optional<Decoded<CommandReply>> decodeCommandReply(std::span<const std::uint8_t> payload);

// The host namespace name for a user-mode device path: "\\.\KELDCT_0" is
// "\DosDevices\KELDCT_0". Names already in the namespace ("\Device\...")
// pass unchanged; anything else has no device.
std::optional<std::string> namespaceName(std::string_view userPath);

const char* commandName(HostCommand command);

}  // namespace keld::hostproto
