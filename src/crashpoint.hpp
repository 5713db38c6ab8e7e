// Crash points for testing: with VL_CRASH_AT=N in the environment, the
// process kills itself (SIGKILL, no clean-up of any kind) when it reaches the
// N-th crash point, counting from the start of the process.  The file-system
// wrappers mark a point before every step that changes a file, so a test
// can stop an operation between any two of its steps.  Unset, a point costs
// one environment lookup next to a system call.
#pragma once

namespace vl {

void crash_point();

// Whether crash points are armed (VL_CRASH_AT is set).  Gathered writes
// then go out in small requests, so that a crash test can stop a large
// write between any two of them, as a kill at any moment could.
bool crash_testing();

}  // namespace vl
