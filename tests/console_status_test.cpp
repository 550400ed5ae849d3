// The status numbers of the service's console lines, from the ways to fail.
#include <gtest/gtest.h>

#include "wire/console_status.h"

using namespace quorvantix;
using namespace quorvantix::wire;

// Failures that are told apart now still print the number they always
// printed, shared where it was shared; success prints 0.
TEST(ConsoleStatus, EveryFailurePrintsItsNumber) {
  const struct { Status status; long number; } table[] = {
      {Status::port_params_failed, 1},  {Status::listing_end_not_acked, 1}, {Status::listing_end_damaged, 1},
      {Status::frame_damaged, 2},       {Status::frame_not_acked, 3},       {Status::port_open_failed, 6},
      {Status::header_damaged, 7},      {Status::no_current_folder, 8},     {Status::no_such_folder, 8},
      {Status::no_memory, 9},           {Status::listing_no_memory, 9},     {Status::no_volume_info, 10},
      {Status::write_protected, 11},    {Status::no_room, 12},              {Status::create_failed, 13},
      {Status::too_many_failures, 14},  {Status::write_failed, 15},         {Status::no_such_object, 16},
      {Status::not_a_plain_file, 17},   {Status::listing_unreadable, 17},   {Status::header_not_acked, 18},
      {Status::open_failed, 19},        {Status::read_failed, 20},          {Status::header_bad, 21},
      {Status::send_timed_out, 22},     {Status::timed_out, 23},
  };
  for (const auto& row : table) {
    EXPECT_EQ(console_number(row.status), row.number) << static_cast<int>(row.status);
    EXPECT_EQ(console_number(Result<>(fail(row.status, "why"))), row.number);
  }
  EXPECT_EQ(console_number(Result<>()), 0);
}
