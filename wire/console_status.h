// The numbers the console lines print after "status", and the customer's
// messages after "failed with status": 0 for success, and for each way to
// fail the number that peers' operators have always read there.
// Some failures share a number; only here do they meet.
#pragma once

#include "wire/status.h"

namespace quorvantix::wire {

long console_number(Status status);
long console_number(const Result<>& result);

}  // namespace quorvantix::wire
