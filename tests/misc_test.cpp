// Identification frames, both sides of the exchange over a real pty, and the
// name helpers of the transfers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "io_atome.h"
#include "misc.h"
#include "platform/system_info.h"
#include "support/link_end.h"
#include "support/pty_pair.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

std::string describe(const ID& id) { return std::string(id.os) + " " + id.os_ver + " / " + id.cpu; }

ID decoded(UBYTE os, UBYTE cpu, UBYTE version) {
  ID id{};
  const UBYTE buffer[3] = {os, cpu, version};
  get_sys_data(&id, buffer);
  return id;
}

// A record that no exchange would produce, to see whether one wrote into it.
ID untouched_record() {
  ID id{};
  std::strcpy(id.os, "untouched");
  std::strcpy(id.cpu, "untouched");
  std::strcpy(id.os_ver, "untouched");
  return id;
}

class IdentifyOnPty : public ::testing::Test {
 protected:
  IdentifyOnPty() {
    service = ID{};
    customer = ID{};
    platform::testing::set_tick(1ms);
  }
  ~IdentifyOnPty() override { platform::testing::set_tick(20ms); }

  PtyPair line;
  LinkEnd end{line, LinkEnd::Side::slave};
};

}  // namespace

TEST(GetSysData, DecodesOsCodes) {
  const struct {
    UBYTE code;
    const char* os;
  } table[] = {{31, "AmigaOS"}, {32, "MS-DOS"},  {33, "PC-DOS"},  {34, "DR-DOS"},
               {35, "Novell-DOS"}, {36, "Unknown"}, {30, "Unknown"}, {0, "Unknown"}, {255, "Unknown"}};
  for (const auto& row : table) EXPECT_STREQ(decoded(row.code, 47, 0x41).os, row.os) << int(row.code);
}

TEST(GetSysData, DecodesCpuCodes) {
  const struct {
    UBYTE code;
    const char* cpu;
  } table[] = {{31, "68000"},  {32, "68010"},   {33, "68020"},   {34, "68030"},       {35, "68040"},
               {36, "Unknown"}, {37, "Unknown"}, {38, "Unknown"}, {39, "68060"},       {40, "PPC603"},
               {41, "PPC604"},  {42, "PPC750"},  {43, "PPC7400"}, {44, "ALTIVEC"},     {45, "AMCC PPC4xx"},
               {46, "PASemi"},  {47, "x86"},     {30, "Unknown"}, {48, "Unknown"},     {0, "Unknown"}};
  for (const auto& row : table) EXPECT_STREQ(decoded(31, row.code, 0x41).cpu, row.cpu) << int(row.code);
}

TEST(GetSysData, DecodesVersionNibbles) {
  EXPECT_STREQ(decoded(31, 47, 0x41).os_ver, "4.1");
  EXPECT_STREQ(decoded(31, 47, 0x00).os_ver, "0.0");
  EXPECT_STREQ(decoded(31, 47, 0xAB).os_ver, ":.;");  // no range check: the characters after '9'
}

TEST(GetSysData, WritesOnlyTheTextAndItsNul) {
  ID id{};
  std::strcpy(id.os, "Novell-DOS");
  id.fn_len = 7;
  id.ext_len = 9;
  const UBYTE buffer[3] = {32, 47, 0x41};
  get_sys_data(&id, buffer);
  EXPECT_STREQ(id.os, "MS-DOS");
  EXPECT_EQ(std::string(id.os + 7, 3), "DOS") << "the old bytes after the new NUL stay";
  EXPECT_EQ(id.fn_len, 7);
  EXPECT_EQ(id.ext_len, 9);
}

TEST(OwnFrame, VersionCodeFromLibraryVersion) {
  const struct {
    int lib_version;
    UBYTE code;
  } table[] = {{33, 0x12}, {34, 0x13}, {36, 0x20}, {37, 0x20}, {38, 0x21}, {39, 0x30}, {40, 0x31},
               {45, 0x39}, {50, 0x40}, {53, 0x41}, {54, 0x41}, {35, 0},    {41, 0},    {44, 0},
               {46, 0},    {49, 0},    {51, 0},    {52, 0},    {32, 0},    {0, 0},     {55, 0}};
  for (const auto& row : table) {
    EXPECT_EQ(version_code_from_lib_version(row.lib_version), row.code) << row.lib_version;
  }
}

TEST(OwnFrame, CpuCodeFromHighestProcessorFlag) {
  const struct {
    std::uint16_t flags;
    UBYTE code;
  } table[] = {
      {1u << 14, 46},
      {1u << 13, 45},
      {(1u << 12) | (1u << 11) | (1u << 8), 44},  // ALTIVEC outranks 7400 and 603
      {1u << 11, 43},
      {1u << 10, 42},
      {1u << 9, 41},
      {1u << 8, 40},
      {(1u << 7) | 0x7F, 39},
      {0x7F, 36},     // only the 680x0 bits below 7: none that the scan looks at
      {1u << 15, 36},
      {0, 36},
  };
  for (const auto& row : table) EXPECT_EQ(cpu_code_from_attn_flags(row.flags), row.code) << row.flags;
}

TEST(OwnFrame, ThisHostIsAmigaOs41WithItsProcessor) {
  UBYTE buffer[3] = {};
  build_own_frame(buffer);
  EXPECT_EQ(buffer[0], 31);
  EXPECT_EQ(buffer[2], 0x41);
#if defined(__i386__) || defined(__x86_64__)
  EXPECT_EQ(buffer[1], 47);
#elif !defined(__powerpc__) && !defined(__powerpc64__)
  EXPECT_EQ(buffer[1], 36);
#endif
  EXPECT_EQ(buffer[1], platform::host_cpu_code());
}

// --- The exchange on the wire ---

TEST_F(IdentifyOnPty, ServiceSideAnswersTheCustomersFrame) {
  line.send({0x02, 0x1F, 0x2B, 0x41, 0x75, 0x03});  // AmigaOS 4.1 on a PPC7400
  line.send({ACK});                                  // the customer's answer to our frame
  EXPECT_EQ(identify('s'), LINK_OK);
  EXPECT_EQ(hex(line.receive(7)), "06 02 1f 2f 41 71 03");
  EXPECT_EQ(describe(customer), "AmigaOS 4.1 / PPC7400");
  EXPECT_EQ(describe(service), "AmigaOS 4.1 / x86");
}

TEST_F(IdentifyOnPty, ServiceSideWaitsSilentlyPastDamagedFramesAndTimeOuts) {
  line.send({0x02, 0x1F, 0x2B, 0x41, 0x76, 0x03});  // wrong check byte: never answered
  line.send({0x02, 0x1F});                           // a torn frame, thrown away at the time-out
  std::thread late_customer([&] {
    std::this_thread::sleep_for(500ms);  // several time limits of the short tick
    line.send(frame({0x20, 0x29, 0x31}));
    line.send({ACK});
  });
  EXPECT_EQ(identify('s'), LINK_OK);
  late_customer.join();
  EXPECT_EQ(hex(line.receive(7)), "06 02 1f 2f 41 71 03") << "no NAK for the damaged frame";
  EXPECT_EQ(describe(customer), "MS-DOS 3.1 / PPC604");
}

TEST_F(IdentifyOnPty, ServiceSideWaitsAgainWhenItsFrameIsNotTaken) {
  line.send(frame({0x1F, 0x2B, 0x41}));
  line.send({NAK});  // the customer did not get our frame whole
  line.send(frame({0x20, 0x29, 0x31}));
  line.send({ACK});
  EXPECT_EQ(identify('s'), LINK_OK);
  EXPECT_EQ(hex(line.receive(14)), "06 02 1f 2f 41 71 03 06 02 1f 2f 41 71 03");
  EXPECT_EQ(describe(customer), "MS-DOS 3.1 / PPC604");
}

TEST_F(IdentifyOnPty, CustomerSideSendsFirstAndDecodesTheAnswer) {
  line.send({ACK});
  line.send({0x02, 0x1F, 0x2C, 0x41, 0x72, 0x03});  // AmigaOS 4.1 with ALTIVEC
  EXPECT_EQ(identify('c'), LINK_OK);
  EXPECT_EQ(hex(line.receive(7)), "02 1f 2f 41 71 03 06");
  EXPECT_EQ(describe(service), "AmigaOS 4.1 / ALTIVEC");
  EXPECT_EQ(describe(customer), "AmigaOS 4.1 / x86");
}

TEST_F(IdentifyOnPty, CustomerSideThatFailsLeavesTheServiceRecordAlone) {
  const struct {
    const char* name;
    Bytes far_end;
    long result;
    const char* after_our_frame;  // what we send after our own frame
  } table[] = {
      {"no acknowledgement", {}, LINK_TIMEOUT, ""},
      {"refused", {NAK}, LINK_NOT_ACKED, ""},
      {"no answer frame", {ACK}, LINK_TIMEOUT, ""},  // a late NAK would start the next command frame
      {"torn answer frame", {ACK, 0x02, 0x1F}, LINK_TIMEOUT, ""},
      {"damaged answer frame", {ACK, 0x02, 0x1F, 0x2C, 0x41, 0x73, 0x03}, LINK_CHECK_ERROR, "15"},
  };
  for (const auto& row : table) {
    service = untouched_record();
    line.send(row.far_end);
    EXPECT_EQ(identify('c'), row.result) << row.name;
    EXPECT_EQ(describe(service), "untouched untouched / untouched") << row.name;
    EXPECT_EQ(hex(line.receive(6)), "02 1f 2f 41 71 03") << row.name;
    EXPECT_EQ(hex(line.receive(1, 50ms)), row.after_our_frame) << row.name;
  }
}

TEST_F(IdentifyOnPty, AnyOtherModeSendsTheOwnFrameAndReturns) {
  EXPECT_EQ(identify('x'), LINK_OK);
  EXPECT_EQ(hex(line.receive(6)), "02 1f 2f 41 71 03");
  EXPECT_EQ(describe(customer), "AmigaOS 4.1 / x86");
}

// --- Names in the transfer header ---

TEST(CodeName, HidesSpacesAndRestoresThem) {
  char name[] = "my file  name.txt ";
  code_name(name, 'i');
  EXPECT_EQ(std::string(name), "my\xAE" "file\xAE\xAE" "name.txt\xAE");
  code_name(name, 'r');
  EXPECT_STREQ(name, "my file  name.txt ");
}

TEST(CodeName, AnyModeButICodesBack) {
  char name[] = "a\xAE" "b\xAE";
  code_name(name, 'q');
  EXPECT_STREQ(name, "a b ");
  char plain[] = "no-spaces";
  code_name(plain, 'i');
  EXPECT_STREQ(plain, "no-spaces");
}

TEST(CodeName, ASubstituteInTheOriginalNameComesBackAsASpace) {
  char name[] = "odd\xAE" "name x";
  code_name(name, 'i');
  code_name(name, 'r');
  EXPECT_STREQ(name, "odd name x");
}

TEST(StripStr, CutsTrailingSpacesOnly) {
  const struct {
    const char* in;
    const char* out;
  } table[] = {{"ab  ", "ab"}, {"ab", "ab"}, {"", ""}, {"ab\t", "ab\t"}, {"a b \t ", "a b \t"}, {"   ", ""}, {" x", " x"}};
  for (const auto& row : table) {
    char text[16];
    std::strcpy(text, row.in);
    strip_str(text);
    EXPECT_STREQ(text, row.out) << '"' << row.in << '"';
  }
}
