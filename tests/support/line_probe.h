// Reads back what a program under test set on a line, from the test's own
// descriptor of the same terminal.
#pragma once

namespace testsupport {

// The output rate in baud, standard or not.
long line_speed(int fd);

}  // namespace testsupport
