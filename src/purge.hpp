// Purge: moving the lines of revoked content out of a data file into a purge
// archive under .vl/archive, and putting the newest archive back.
//
// A purge never loses a line.  The purged lines are written to an archive
// file of their own, flushed to disk, before the data file is replaced by a
// fresh temporary file renamed over it; if any step fails, the temporary
// file and the new archive are removed and the data file is as it was.
// Each archive record keeps the line's own bytes, so a restore gives back
// exactly what was purged.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vl::purge {

struct PurgeResult {
  uint64_t purged = 0;    // lines removed
  uint64_t kept = 0;      // lines written back
  uint64_t archived = 0;  // lines written to the archive
  // Where the time went: processor seconds (all threads) deciding the
  // lines (reading, hashing, looking up), making archive records, and
  // writing the kept lines and the records; seconds waiting for the disk.
  struct Phases {
    double decide = 0, archive = 0, write = 0, sync = 0;
  } phases;
};

// Where a long purge stands: bytes of the data file handled so far, out of
// twice its size (once deciding, once writing).  Updated from the worker
// threads; read by anyone.
using Progress = std::atomic<uint64_t>;

// Purges the lines listed in the revoked document list or derived from a
// revoked section.  A dry run only counts the revoked document list.
PurgeResult purge_revoked(const std::string& root, const std::string& data_file, bool dry_run,
                          Progress* progress = nullptr);

// Purges the lines derived from sections of the revoked author(s) named
// `author_name`, found through .vl/index.bin, which must be at least as new
// as the section and document shards.  A dry run counts the line hashes.
PurgeResult purge_by_author_indexed(const std::string& root, const std::string& author_name,
                                    const std::string& data_file, bool dry_run,
                                    Progress* progress = nullptr);

// What a purge would do, without writing anything: the data file's line
// count and the 1-based numbers of the lines it would remove, for the
// revoked set or (given an author name) for that author through the index.
struct Plan {
  uint64_t lines = 0;
  std::vector<uint64_t> purged;
};
Plan plan(const std::string& root, const std::string& data_file,
          const std::optional<std::string>& author_name);

struct ReverseResult {
  uint64_t restored = 0;
  std::optional<std::string> archive;  // the archive restored, if there was one
};

// Puts the lines of the newest purge archive back at the end of
// `data_file` (by replacing the file with one that also holds them, never in
// place) and removes the archive.  An archive that cannot be read whole is
// refused and kept; any failure leaves the data file as it was.
ReverseResult purge_reverse(const std::string& root, const std::string& data_file);

// The archive stamp of a time: YYYYMMDDTHHMMSS in UTC.
std::string archive_stamp(uint64_t unix_seconds);

}  // namespace vl::purge
