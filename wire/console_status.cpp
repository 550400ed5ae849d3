#include "wire/console_status.h"

namespace quorvantix::wire {

long console_number(Status status) {
  switch (status) {
    case Status::port_params_failed:
    case Status::listing_end_not_acked:
    case Status::listing_end_damaged: return 1;
    case Status::frame_damaged: return 2;
    case Status::frame_not_acked: return 3;
    case Status::port_open_failed: return 6;
    case Status::header_damaged: return 7;
    case Status::no_current_folder:
    case Status::no_such_folder: return 8;
    case Status::no_memory:
    case Status::listing_no_memory: return 9;
    case Status::no_volume_info: return 10;
    case Status::write_protected: return 11;
    case Status::no_room: return 12;
    case Status::create_failed: return 13;
    case Status::too_many_failures: return 14;
    case Status::write_failed: return 15;
    case Status::no_such_object: return 16;
    case Status::not_a_plain_file:
    case Status::listing_unreadable: return 17;
    case Status::header_not_acked: return 18;
    case Status::open_failed: return 19;
    case Status::read_failed: return 20;
    case Status::header_bad: return 21;
    case Status::send_timed_out: return 22;
    case Status::timed_out: return 23;
  }
  return 23;  // not reached: every Status has its number above
}

long console_number(const wire::Result<>& result) { return result ? 0 : console_number(result.error().status); }

}  // namespace quorvantix::wire
