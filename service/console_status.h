// The numbers the console lines print after "status": 0 for success, and for
// each way to fail the number that peers' operators have always read there.
// Some failures share a number; only here do they meet.
#pragma once

#include "wire/status.h"

namespace quorvantix::service {

long console_number(wire::Status status);
long console_number(const wire::Result<>& result);

}  // namespace quorvantix::service
