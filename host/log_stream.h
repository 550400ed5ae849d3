// Where the service's log lines go: standard error, which under a systemd
// unit is a stream into the journal.
#pragma once

namespace quorvantix::host {

// True when standard error is the journal's stream: systemd names that
// stream's device and inode in JOURNAL_STREAM for a unit's output, and
// standard error is still it (not redirected since, as by a shell the unit
// runs). The journal stamps each line with its own time and reads a priority
// prefix ("<6>") at the start of a line.
bool stderr_is_journal();

}  // namespace quorvantix::host
