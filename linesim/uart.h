// The cable's far ends read as UARTs do: the model lives with the lines, where
// the programs that must recognise a peer at another speed use it too.
#pragma once

#include "lines/uart_reading.h"

namespace quorvantix::linesim {

using lines::sample_time;
using lines::UartReceiver;

}  // namespace quorvantix::linesim
