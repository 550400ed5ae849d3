// Identification codes and frames, and the name helpers of the transfers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/system_info.h"
#include "tests/support/fixtures.h"
#include "tests/support/reference_peer.h"
#include "wire/file_stream.h"
#include "wire/listing_stream.h"

TEST(GetSysData, DecodesTheThreeCodesWritingOnlyTextAndNul) {
  const std::pair<Bytes, std::string> table[] = {
      {{31, 36, 0x41}, "AmigaOS Unknown 4.1"},    {{32, 37, 0x00}, "MS-DOS Unknown 0.0"},
      {{33, 38, 0xAB}, "PC-DOS Unknown :.;"},     {{34, 30, 0x12}, "DR-DOS Unknown 1.2"},
      {{35, 48, 0x20}, "Novell-DOS Unknown 2.0"}, {{30, 47, 0x41}, "Unknown x86 4.1"},
      {{36, 43, 0x41}, "Unknown PPC7400 4.1"},    {{31, 31, 0x41}, "AmigaOS 68000 4.1"}};
  for (const auto& [codes, names] : table) {
    ID id;
    std::memset(&id, '#', sizeof id);
    get_sys_data(&id, codes.data());
    EXPECT_EQ(std::string(id.os) + " " + id.cpu + " " + id.os_ver, names);
    for (const char* text : {id.os, id.cpu, id.os_ver}) EXPECT_EQ(text[std::strlen(text) + 1], '#') << text;
  }
}

TEST(NameHelpers, CodeNameAndStripStr) {
  constexpr NameCoding to_wire = NameCoding::to_wire, from_wire = NameCoding::from_wire;
  const struct { std::string in; std::vector<NameCoding> codings; std::string out; } coded[] = {
      {" a b ", {to_wire}, "\xAE" "a\xAE" "b\xAE"}, {"\xAE" "a\xAE", {from_wire}, " a "},
      {"a\xAE b", {to_wire, from_wire}, "a  b"}};  // a substitute already in the name comes back as a space
  for (auto [name, codings, out] : coded) {
    for (const NameCoding coding : codings) code_name(name.data(), coding);
    EXPECT_EQ(name, out) << name;
  }
  const std::pair<std::string, std::string> stripped[] = {
      {"ab  ", "ab"}, {"", ""}, {"ab", "ab"}, {"ab\t", "ab\t"}, {"   ", ""}, {" a b ", " a b"}};
  for (auto [in, out] : stripped) EXPECT_EQ((strip_str(in.data()), std::string(in.c_str())), out) << in;
}

TEST(Identify, TheCustomerRefusesAMissingOrDamagedAnswer) {
  Bytes damaged = own_frame();
  damaged[4] ^= 1;
  const struct { Bytes answer; WireOutcome result; Bytes after_frame; } table[] = {
      {{}, Status::timed_out, {}},  {{NAK}, Status::frame_not_acked, {}},
      {{ACK}, Status::timed_out, {}}, {Bytes{ACK} + damaged, Status::frame_damaged, {NAK}}};
  for (const auto& row : table) {
    SimPair pair;
    pair.cable.inject(SimCable::a, row.answer);
    Identities ids;
    std::memset(&ids.service, '#', sizeof ids.service);
    EXPECT_EQ(outcome_of(identify(pair.customer, Side::customer, ids)), row.result) << row.answer.size();
    EXPECT_EQ(pair.cable.sent_by(SimCable::b), own_frame() + row.after_frame) << row.answer.size();
    EXPECT_EQ(ids.service.os[0], '#') << "untouched";
    EXPECT_STREQ(ids.customer.os, "AmigaOS");
  }
}

// Our identification against a reference end's, both ways, at 9600 and
// 115200 baud: the codes cross, and a customer whose first frame came
// damaged gets through at its next try.
TEST(Identify, WithAReferenceEndEitherWay) {
  for (int each = 0; each < 8; ++each) {  // every combination of speed, side and damage
    const long baud = each & 4 ? 115200 : 9600;
    const bool ours_serve = each & 2, first_damaged = each & 1;
    SimPair pair;
    ReferencePeer reference(pair.cable, ours_serve ? SimCable::b : SimCable::a, pair.clock);
    reference.codes = {32, 47, 0x62};  // MS-DOS 6.2 on x86
    reference_line(pair.cable, ours_serve ? SimCable::a : SimCable::b);
    // Both ends at `baud`, as if each had been told to switch.
    const std::string rate = std::to_string(baud);
    ASSERT_TRUE(set_baud_rate(ours_serve ? pair.service : pair.customer, baud).ok());
    ASSERT_EQ(reference.set_baud_rate(rate.c_str()), PORT_OK);
    if (first_damaged) pair.cable.tamper(SimCable::b, damage_after({STX}));
    Identities ids;
    bool first = false, second = false;
    const auto identified = [&] {
      return ours_serve ? reference.identify('c') == LINK_OK : identify(pair.customer, Side::customer, ids).ok();
    };
    const auto customer = [&] {
      first = identified();
      if (first) return;
      if (!ours_serve) settle(pair.customer);  // as our customer does before it tries again
      second = identified();
    };
    pair.clock.run(customer, {[&] { ours_serve ? (void)identify(pair.service, Side::service, ids) : (void)reference.identify('s'); }});
    SCOPED_TRACE(rate + (ours_serve ? " ours serving" : " ours the customer") + (first_damaged ? ", first damaged" : ""));
    EXPECT_EQ(first, !first_damaged);
    EXPECT_TRUE(first_damaged ? second : first);
    EXPECT_EQ(reference.peer_codes, own_codes());
    const ID& theirs = ours_serve ? ids.customer : ids.service;
    EXPECT_EQ(std::string(theirs.os) + " " + theirs.os_ver + " " + theirs.cpu, "MS-DOS 6.2 x86");
  }
}

// What a listening line takes for a customer: a whole frame naming a known system.
TEST(IdentificationFrame, IsWholeWithItsCheckByteAndAKnownSystem) {
  const auto frame = [](std::uint8_t os) { return frame_of(Bytes{os, 43, 0x41}); };
  Bytes no_etx = frame(31), bad_check = frame(31);
  no_etx[5] = 0, bad_check[4] ^= 0x10;
  const struct { Bytes wire; bool identifies; } rows[] = {{own_frame(), true}, {frame(35), true}, {frame(30), false},
                                                         {frame(36), false}, {no_etx, false}, {bad_check, false}};
  for (const auto& row : rows) EXPECT_EQ(is_identification_frame(row.wire.data()), row.identifies) << int(row.wire[1]);
}
