#include "host/session.h"

#include <gtest/gtest.h>

#include "host/fake_service.h"
#include "support/hex.h"

namespace keld::test {
namespace {

using namespace keld::hostproto;
using host::Session;
using host::SessionAnswer;

Received receivedFrom(const Bytes& frame) {
  Received r;
  r.frame.header = decodeHeader(std::span<const std::uint8_t, sizeof(FrameHeader)>(frame.data(), sizeof(FrameHeader)));
  switch (checkHeader(r.frame.header)) {
    case HeaderProblem::BadMagic: r.error = ReceiveError::BadMagic; return r;
    case HeaderProblem::TooLong: r.error = ReceiveError::TooLong; return r;
    case HeaderProblem::BadVersion: r.error = ReceiveError::BadVersion; break;
    case HeaderProblem::None: break;
  }
  r.frame.payload.assign(frame.begin() + sizeof(FrameHeader), frame.end());
  return r;
}

Bytes request(MessageType type, const Bytes& payload, std::uint32_t sequence = 7) {
  return encodeFrame(static_cast<std::uint16_t>(type), sequence, payload);
}

Bytes openPayload(std::string_view name) {
  return encodePayload(OpenRequest{static_cast<std::uint32_t>(name.size())},
                       std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
}

// The reply's header and its payload's leading status.
struct Reply {
  FrameHeader header;
  std::int32_t status;
  Bytes payload;
};

Reply replyOf(const SessionAnswer& answer) {
  EXPECT_GE(answer.reply.size(), sizeof(FrameHeader) + 4);
  Received r = receivedFrom(answer.reply);
  std::int32_t status = 0;
  std::memcpy(&status, r.frame.payload.data(), 4);
  return {r.frame.header, status, r.frame.payload};
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { service.addDevice("\\DosDevices\\KELDCT_0"); }

  SessionAnswer send(Session& s, const Bytes& frame) { return s.handle(receivedFrom(frame)); }
  void greet(Session& s) {
    SessionAnswer a = send(s, request(MessageType::Hello, encodePayload(HelloRequest{PROTOCOL_VERSION, 0, 0})));
    ASSERT_EQ(replyOf(a).status, STATUS_SUCCESS);
  }
  std::uint32_t openDevice(Session& s) {
    Reply r = replyOf(send(s, request(MessageType::Open, openPayload("\\DosDevices\\KELDCT_0"))));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    auto d = decodeFixed<OpenReply>(r.payload);
    return d ? d->record.handle : 0;
  }

  FakeService service;
};

TEST_F(SessionTest, RequestsBeforeTheGreetingAreRefusedAndTheConnectionDropped) {
  Session s(service, true, 1);
  SessionAnswer a = send(s, request(MessageType::Open, openPayload("\\DosDevices\\KELDCT_0")));
  EXPECT_TRUE(a.closeAfter);
  EXPECT_EQ(replyOf(a).status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(service.openHandles(), 0);
}

TEST_F(SessionTest, AnotherProtocolVersionIsAnsweredWithOursThenDropped) {
  Session s(service, true, 1);
  SessionAnswer a = send(s, request(MessageType::Hello, encodePayload(HelloRequest{PROTOCOL_VERSION + 1, 0, 0})));
  EXPECT_TRUE(a.closeAfter);
  Reply r = replyOf(a);
  EXPECT_EQ(r.status, STATUS_REVISION_MISMATCH);
  EXPECT_EQ(r.header.type, replyType(MessageType::Hello));
  EXPECT_EQ(r.header.sequence, 7u);
  auto hello = decodeFixed<HelloReply>(r.payload);
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->record.version, PROTOCOL_VERSION);
}

TEST_F(SessionTest, ControlRequestsCarryTheCallersSizesAndReturnOnlyWhatFits) {
  Session s(service, false, 1);
  greet(s);
  const std::uint32_t handle = openDevice(s);
  const Bytes input = hex("00 00 05 01 02 03 04 05");
  Reply r = replyOf(send(s, request(MessageType::Control,
                                    encodePayload(ControlRequest{handle, 0x00312000, 8, 4}, input))));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  auto reply = decodeControlReply(r.payload, 4);
  ASSERT_TRUE(reply);
  EXPECT_EQ(toHex(reply->tail), "00 00 05 01");
}

TEST_F(SessionTest, HandlesBelongToTheClientThatOpenedThem) {
  Session owner(service, false, 1), other(service, false, 2);
  greet(owner);
  greet(other);
  const std::uint32_t handle = openDevice(owner);
  EXPECT_EQ(replyOf(send(other, request(MessageType::Open, openPayload("\\DosDevices\\KELDCT_0")))).status,
            STATUS_SHARING_VIOLATION);
  EXPECT_EQ(replyOf(send(other, request(MessageType::Control, encodePayload(ControlRequest{handle, 0, 0, 0})))).status,
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(replyOf(send(other, request(MessageType::Close, encodePayload(CloseRequest{handle})))).status,
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(service.openHandles(), 1);
  EXPECT_EQ(replyOf(send(owner, request(MessageType::Close, encodePayload(CloseRequest{handle})))).status,
            STATUS_SUCCESS);
  EXPECT_EQ(service.openHandles(), 0);
}

TEST_F(SessionTest, AClientThatGoesAwayHasItsHandlesClosed) {
  {
    Session s(service, false, 1);
    greet(s);
    openDevice(s);
    EXPECT_EQ(service.openHandles(), 1);
    SessionAnswer a = s.handle(Received{ReceiveError::Closed, {}});
    EXPECT_TRUE(a.closeAfter);
    EXPECT_TRUE(a.reply.empty());
  }
  EXPECT_EQ(service.openHandles(), 0);
}

TEST_F(SessionTest, MalformedRequestsAreRefusedAndTheSessionGoesOn) {
  Session s(service, false, 1);
  greet(s);
  const std::uint32_t handle = openDevice(s);
  // The control record says 9 bytes of input and carries 2.
  SessionAnswer bad = send(s, request(MessageType::Control, encodePayload(ControlRequest{handle, 0, 9, 4}, hex("01 02"))));
  EXPECT_FALSE(bad.closeAfter);
  EXPECT_EQ(replyOf(bad).status, STATUS_INVALID_PARAMETER);
  SessionAnswer unknown = send(s, encodeFrame(0x0042, 9, hex("00")));
  EXPECT_FALSE(unknown.closeAfter);
  EXPECT_EQ(replyOf(unknown).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(replyOf(send(s, request(MessageType::Open, openPayload("")))).status, STATUS_OBJECT_NAME_INVALID);
  Reply good = replyOf(send(s, request(MessageType::Control, encodePayload(ControlRequest{handle, 0, 1, 1}, hex("5A")))));
  EXPECT_EQ(good.status, STATUS_SUCCESS);
}

TEST_F(SessionTest, FramesThatAreNotOursOrTooLongEndTheConnection) {
  Session s(service, false, 1);
  greet(s);
  Bytes foreign = request(MessageType::Control, {});
  foreign[0] ^= 0xFF;
  SessionAnswer a = send(s, foreign);
  EXPECT_TRUE(a.closeAfter);
  EXPECT_TRUE(a.reply.empty());

  Bytes huge = request(MessageType::Control, {});
  const std::uint32_t length = MAX_PAYLOAD + 1;
  std::memcpy(huge.data() + 8, &length, 4);
  SessionAnswer b = send(s, huge);
  EXPECT_TRUE(b.closeAfter);
  EXPECT_EQ(replyOf(b).status, STATUS_INVALID_PARAMETER);
}

TEST_F(SessionTest, OneClientCannotHoldMoreThanItsShareOfHandles) {
  for (std::size_t i = 0; i <= host::MAX_HANDLES_PER_CLIENT; ++i) service.addDevice("\\Device\\D" + std::to_string(i));
  Session s(service, false, 1);
  greet(s);
  for (std::size_t i = 0; i < host::MAX_HANDLES_PER_CLIENT; ++i)
    EXPECT_EQ(replyOf(send(s, request(MessageType::Open, openPayload("\\Device\\D" + std::to_string(i))))).status,
              STATUS_SUCCESS);
  EXPECT_EQ(replyOf(send(s, request(MessageType::Open, openPayload("\\Device\\D8")))).status,
            STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(SessionTest, HostCommandsOnlyFromTheSocketsOwner) {
  const std::string card = "/tmp/card.txt";
  const Bytes payload = encodePayload(
      CommandRequest{static_cast<std::uint16_t>(HostCommand::InsertCard), 1, 250, static_cast<std::uint32_t>(card.size())},
      std::span(reinterpret_cast<const std::uint8_t*>(card.data()), card.size()));
  Session stranger(service, false, 1);
  greet(stranger);
  EXPECT_EQ(replyOf(send(stranger, request(MessageType::Command, payload))).status, STATUS_ACCESS_DENIED);
  EXPECT_TRUE(service.commands().empty());

  Session owner(service, true, 2);
  greet(owner);
  Reply r = replyOf(send(owner, request(MessageType::Command, payload)));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  auto reply = decodeCommandReply(r.payload);
  ASSERT_TRUE(reply);
  EXPECT_EQ(std::string(reply->tail.begin(), reply->tail.end()), "ok");
  EXPECT_EQ(service.commands(), std::vector<std::string>{"insert-card 1 250 /tmp/card.txt"});

  const Bytes unknown = encodePayload(CommandRequest{99, 0, 0, 0});
  EXPECT_EQ(replyOf(send(owner, request(MessageType::Command, unknown))).status, STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace keld::test
