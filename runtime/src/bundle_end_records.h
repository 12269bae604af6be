// The archive reader's search for the end record, walked ahead of it to bound what that search
// costs. libzip tries every end-record signature in an archive's last 64 KiB and, for each
// candidate that passes its first checks, reserves room for every directory entry the candidate
// claims before it reads a single one. A damaged or hostile package can hold thousands of such
// candidates, or one that claims a directory over a hole of gigabytes; the runtime counts the
// claims first and refuses the archive when they add up to more than any package needs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace upkit {

// The bytes at an archive's end that the reader searches: room for the longest comment, the end
// record and a ZIP64 locator.
inline constexpr uint64_t kEndRecordWindow = 65536 + 22 + 20;

// More directory entries than this, claimed by all candidates together, refuse the archive.
inline constexpr uint64_t kMaxClaimedEntries = 1048576;

// The 56 bytes of a ZIP64 end record read from the archive at the given offset; nothing when they
// cannot be read.
using Zip64RecordReader = std::function<std::optional<std::string>(uint64_t offset)>;

// The directory entries the archive reader would reserve room for, over every end-record
// candidate in `tail` (the last min(fileSize, kEndRecordWindow) bytes, which start at
// `tailOffset`), skipping the candidates it rejects before reserving anything. A candidate with a
// ZIP64 locator 20 bytes before it counts by the ZIP64 record, which is read from the tail when it
// lies there and through `readZip64Record` otherwise; any other candidate by its 16-bit total.
// Counting stops as soon as the sum passes `stopAbove`; the sum so far is returned.
uint64_t ClaimedDirectoryEntries(std::string_view tail, uint64_t tailOffset,
                                 const Zip64RecordReader& readZip64Record, uint64_t stopAbove);

}  // namespace upkit
