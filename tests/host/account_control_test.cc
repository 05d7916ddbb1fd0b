#include "account/control_frame.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "../support/reason_of.h"
#include "account/idle_account_record.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

TEST(ControlFrame, EncodesNineLittleEndianWordsAfterTheMagic) {
  AdoptTerms terms;
  terms.sequence = 3;
  terms.workId = 0x0102030405060709u;
  terms.workDeadline = 0x1123;
  terms.volumeSerial = 0xA1B2C3D5u;
  terms.fileIndex = fileIndexWord(0x11111111u, 0x22222223u);
  terms.nonce = 0xFFEEDDCCBBAA9989u;
  terms.signalHandle = 0x1F5;
  const ControlBytes bytes = encodeControlFrame(adoptFrame(terms));
  const std::vector<std::uint8_t> expected = {
      'N',  'U',  'V',  'R',  'A',  'C',  'P',  '1',   //
      2,    0,    0,    0,    0,    0,    0,    0,     // kind
      3,    0,    0,    0,    0,    0,    0,    0,     // sequence
      0x09, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // work id
      0x23, 0x11, 0,    0,    0,    0,    0,    0,     // deadline
      0xD5, 0xC3, 0xB2, 0xA1, 0,    0,    0,    0,     // volume, zero-extended
      0x23, 0x22, 0x22, 0x22, 0x11, 0x11, 0x11, 0x11,  // file index, high word above
      0x89, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF,  // nonce
      0xF5, 0x01, 0,    0,    0,    0,    0,    0,     // signal handle
  };
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), expected);
  EXPECT_EQ(decodeControlFrame(bytes), adoptFrame(terms));
  ControlBytes wrong = bytes;
  wrong[7] = '2';
  EXPECT_EQ(reasonOf([&] { decodeControlFrame(wrong); }), "profile_account_control_reply");
}

TEST(ControlFrame, RevokeCarriesOnlyWorkIdAndNonce) {
  const ControlFrame revoke = revokeFrame(3, 77, 9);
  EXPECT_EQ(revoke, (ControlFrame{4, 3, 77, 0, 0, 0, 9, 0}));
  EXPECT_EQ(replyFrame(ControlKind::ready, 0, 9), (ControlFrame{1, 0, 0, 0, 0, 0, 9, 0}));
}

TEST(ControlReply, AvailableBytesMustBeExactlyOneFrame) {
  struct Case {
    std::uint64_t available;
    const char* reason;
    bool ready;
  };
  const Case cases[] = {{0, "", false},
                        {72, "", true},
                        {40, "profile_account_control_frame", false},
                        {144, "profile_account_control_frame", false},
                        {71, "profile_account_control_frame", false}};
  for (const Case& c : cases) {
    bool ready = false;
    EXPECT_EQ(reasonOf([&] { ready = replyReady(c.available); }), c.reason) << c.available;
    EXPECT_EQ(ready, c.ready) << c.available;
  }
}

TEST(ControlReply, ComparesOnlyMagicKindSequenceAndNonce) {
  const auto bytesOf = [](const ControlFrame& frame) {
    const ControlBytes bytes = encodeControlFrame(frame);
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  };
  struct Case {
    std::vector<std::uint8_t> bytes;
    const char* reason;
  };
  const Case cases[] = {
      {bytesOf({1, 0, 0, 0, 0, 0, 9, 0}), ""},
      {bytesOf({1, 0, 55, 66, 77, 88, 9, 99}), ""},
      {bytesOf({1, 1, 0, 0, 0, 0, 9, 0}), "profile_account_control_reply"},
      {bytesOf({1, 0, 0, 0, 0, 0, 8, 0}), "profile_account_control_reply"},
      {bytesOf({3, 0, 0, 0, 0, 0, 9, 0}), "profile_account_control_reply"},
      {std::vector<std::uint8_t>(72, 0), "profile_account_control_reply"},
      {std::vector<std::uint8_t>(71, 0), "profile_account_control_reply"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reasonOf([&] { checkReply(c.bytes, ControlKind::ready, 0, 9); }), c.reason);
  }
}

TEST(ControlSequence, StopsBeforeWrapping) {
  EXPECT_EQ(nextAdoptSequence(0), 1u);
  EXPECT_EQ(nextAdoptSequence(std::numeric_limits<std::uint64_t>::max() - 1),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(reasonOf([] { nextAdoptSequence(std::numeric_limits<std::uint64_t>::max()); }),
            "profile_account_sequence");
}

TEST(ControlFrameReader, GivesTheSameFramesWhateverTheSplit) {
  const ControlBytes first = encodeControlFrame(replyFrame(ControlKind::adopted, 1, 5));
  const ControlBytes second = encodeControlFrame(replyFrame(ControlKind::revoked, 1, 5));
  std::vector<std::uint8_t> stream(first.begin(), first.end());
  stream.insert(stream.end(), second.begin(), second.end());
  for (std::size_t cut : {0u, 1u, 40u, 71u, 72u, 100u, 143u, 144u}) {
    ControlFrameReader reader;
    reader.feed(std::span(stream).first(cut));
    // Bounded, so that a reader that gave the same frame forever fails here.
    std::vector<ControlFrame> frames;
    const auto drain = [&] {
      while (frames.size() < 3) {
        const auto frame = reader.next();
        if (!frame) return;
        frames.push_back(*frame);
      }
    };
    drain();
    reader.feed(std::span(stream).subspan(cut));
    drain();
    ASSERT_EQ(frames.size(), 2u) << cut;
    EXPECT_EQ(frames[0], replyFrame(ControlKind::adopted, 1, 5));
    EXPECT_EQ(frames[1], replyFrame(ControlKind::revoked, 1, 5));
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(WorkerControl, AnswersOnlyTheNextValidRequest) {
  WorkerControl worker(9, 0xA1B2C3D4u, 0x1111111122222222u);
  EXPECT_EQ(worker.ready(), (ControlFrame{1, 0, 0, 0, 0, 0, 9, 0}));
  AdoptTerms adopt{1, 40, 5000, 0xA1B2C3D4u, 0x1111111122222222u, 9, 0x1F4};
  const auto refused = [&](const ControlFrame& request) {
    return reasonOf([&] { worker.answer(request); }) == "profile_account_control_reply";
  };
  AdoptTerms otherNonce = adopt;
  otherNonce.nonce = 8;
  AdoptTerms skipped = adopt;
  skipped.sequence = 2;
  AdoptTerms otherMarker = adopt;
  otherMarker.fileIndex = 1;
  AdoptTerms noSignal = adopt;
  noSignal.signalHandle = 0;
  for (const AdoptTerms& bad : {otherNonce, skipped, otherMarker, noSignal}) {
    EXPECT_TRUE(refused(adoptFrame(bad)));
  }
  EXPECT_TRUE(refused(revokeFrame(0, 40, 9)));
  EXPECT_EQ(worker.answer(adoptFrame(adopt)), replyFrame(ControlKind::adopted, 1, 9));
  EXPECT_EQ(worker.adoptedWork(), 40u);
  AdoptTerms second = adopt;
  second.sequence = 2;
  EXPECT_TRUE(refused(adoptFrame(second)));
  EXPECT_TRUE(refused(revokeFrame(1, 41, 9)));
  EXPECT_TRUE(refused(revokeFrame(2, 40, 9)));
  ControlFrame dirty = revokeFrame(1, 40, 9);
  dirty.workDeadline = 5000;
  EXPECT_TRUE(refused(dirty));
  EXPECT_EQ(worker.adoptedWork(), 40u);
  EXPECT_EQ(worker.answer(revokeFrame(1, 40, 9)), replyFrame(ControlKind::revoked, 1, 9));
  EXPECT_EQ(worker.adoptedWork(), 0u);
  EXPECT_EQ(worker.answer(adoptFrame(second)), replyFrame(ControlKind::adopted, 2, 9));
}

IdleAccountFields idleFields(std::uint32_t mode) {
  IdleAccountFields fields;
  fields.home = "C:\\H";
  fields.root = "C:\\R";
  fields.ownerSidHash = "osh";
  fields.payloadDigest = "pd";
  fields.generation = "g";
  fields.deadline = 30500;
  fields.startupMode = mode;
  fields.instanceNonce = 18446744073709551615u;
  fields.serialization = 8;
  fields.lifetime = 12;
  fields.parent = 16;
  fields.parentPid = 300;
  fields.workVolume = 7;
  fields.workId = 99;
  HandoffGuards guards;
  guards.add({12, "C:\\H\\l", 7, 99}, true);
  fields.guards = guards.text();
  return fields;
}

TEST(IdleAccountRecord, IsWrittenWithPlaceholdersInTheFixedOrder) {
  EXPECT_EQ(idleAccountRecord(idleFields(2)),
            R"({"schema_version":"nuvra.profile-idle-account.v1","home":"C:\\H","root":"C:\\R",)"
            R"("owner_sid_hash":"osh","payload_digest":"pd","generation":"g",)"
            R"("deadline_tick64":"30500","startup_kind":"resident",)"
            R"("instance_nonce":"18446744073709551615","s":"8","l":"12","parent":"16",)"
            R"("parent_pid":300,"control_read":"0","control_write":"0","work_volume":7,)"
            R"("work_id":"99","guards":[{"handle":"12","path":"C:\\H\\l","volume":7,)"
            R"("file_id":"99"}]})");
  for (std::uint32_t mode : {0u, 1u, 3u}) {
    EXPECT_NE(idleAccountRecord(idleFields(mode)).find(R"("startup_kind":"setup")"),
              std::string::npos);
  }
}

TEST(IdleAccountRecord, EachControlPlaceholderIsFilledExactlyOnce) {
  const std::string blank = idleAccountRecord(idleFields(2));
  EXPECT_EQ(reasonOf([&] { readIdleAccountRecord(blank); }), "profile_account_handoff");
  const std::string half = fillControlHandle(blank, "control_read", 1234);
  EXPECT_NE(half.find(R"("control_read":"1234","control_write":"0")"), std::string::npos);
  EXPECT_EQ(reasonOf([&] { fillControlHandle(half, "control_read", 1234); }),
            "profile_account_handoff");
  EXPECT_EQ(reasonOf([&] { fillControlHandle(half, "control_write", 0); }),
            "profile_account_handoff");
  EXPECT_EQ(reasonOf([&] { fillControlHandle(half, "parent", 5); }), "profile_account_handoff");
  EXPECT_EQ(reasonOf([&] { fillControlHandle("\"control_read\"", "control_read", 5); }),
            "profile_account_handoff");
  const std::string twice = blank + R"("control_write":"0")";
  EXPECT_EQ(reasonOf([&] { fillControlHandle(twice, "control_write", 5); }),
            "profile_account_handoff");
  const std::string full = fillControlHandle(half, "control_write", 1238);
  const IdleAccountHandoff handoff = readIdleAccountRecord(full);
  EXPECT_EQ(handoff.controlRead, 1234u);
  EXPECT_EQ(handoff.controlWrite, 1238u);
  EXPECT_EQ(handoff.fields.instanceNonce, 18446744073709551615u);
  EXPECT_EQ(handoff.fields.startupMode, 2u);
  EXPECT_EQ(handoff.guards.size(), 1u);
}

TEST(IdleAccountRecord, TheWorkerRefusesARecordOutOfShape) {
  const std::string good = fillControlHandle(
      fillControlHandle(idleAccountRecord(idleFields(1)), "control_read", 20), "control_write", 24);
  EXPECT_EQ(reasonOf([&] { readIdleAccountRecord(good); }), "");
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  for (const std::string& text : {
           replaced("\"setup\"", "\"Setup\""),
           replaced("\"instance_nonce\":\"18446744073709551615\"", "\"instance_nonce\":\"0\""),
           replaced("\"instance_nonce\":\"18446744073709551615\"",
                    "\"instance_nonce\":\"18446744073709551616\""),
           replaced("\"work_volume\":7", "\"work_volume\":-7"),
           replaced("\"work_id\":\"99\"", "\"work_id\":99"),
           replaced("\"l\":\"12\"", "\"l\":\"13\""),
           replaced("\"guards\":[{", "\"guards\":[],\"x\":[{"),
           replaced("{\"handle\":\"12\",\"path\":\"C:\\\\H\\\\l\",",
                    "{\"path\":\"C:\\\\H\\\\l\",\"handle\":\"12\","),
           replaced("idle-account.v1", "idle-account.v0"),
       }) {
    EXPECT_EQ(reasonOf([&] { readIdleAccountRecord(text); }), "profile_account_handoff") << text;
  }
}

}  // namespace
}  // namespace nuvra
