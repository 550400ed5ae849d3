// The reference peer's statuses: the numbers the console has always shown
// for the wire's failures, 0 for success.
#pragma once

namespace quorvantix::testsupport {

constexpr long LINK_OK = 0;
constexpr long PORT_OK = 0;
constexpr long FILE_OK = 0;
constexpr long DIR_OK = 0;
constexpr long PORT_PARAMS_FAILED = 1;
constexpr long DIR_END_DAMAGED = 1;
constexpr long LINK_CHECK_ERROR = 2;
constexpr long LINK_NOT_ACKED = 3;
constexpr long FILE_HEADER_DAMAGED = 7;
constexpr long FILE_TOO_MANY_FAILURES = 14;
constexpr long FILE_NO_LOCK = 16;
constexpr long FILE_HEADER_NOT_ACKED = 18;
constexpr long FILE_HEADER_BAD = 21;
constexpr long LINK_SEND_TIMEOUT = 22;
constexpr long LINK_TIMEOUT = 23;

}  // namespace quorvantix::testsupport
