// The operation log: one human-readable line per state-changing operation,
// appended to .vl/log as "D-HH:MM:SS <operation> <detail>".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vl::oplog {

// The stamp of a time given as whole seconds since the Unix epoch: days,
// then the UTC time of day, e.g. 20152-14:22:33.
std::string timestamp(uint64_t unix_seconds);

// Appends one line to root/.vl/log; .vl must exist.
void append(std::string_view root, std::string_view operation, std::string_view detail);

}  // namespace vl::oplog
