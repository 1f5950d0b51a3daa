// The envelope queue's storage: one directory, one JSON file per item.
//
// Every operation takes the worker runtime: its blocking file-system calls
// are handed to the runtime's pool while the calling thread waits. Callers
// run the whole operation with Runtime::run, e.g.
//   Runtime::run([&](Runtime& rt) { return queue_list(rt, dir); })
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "envelope.hpp"
#include "result.hpp"
#include "runtime.hpp"

namespace ulo {

struct QueueError {
  enum Kind {
    Io,          // a file-system call failed at `path`, or it is no file
    Json,        // an item file could not be decoded
    EmptyId,     // the id keeps no character as a file name; nothing written
    IdConflict,  // push: `path` holds the item of another id; nothing written
    Misplaced,   // the item at `path` is not in its id's file
    NotEntry,    // quarantine: `path` names no entry of the queue
  };
  Kind kind;
  std::string path;    // the file or directory concerned, as given to the OS
  std::string detail;  // Io: OS text; Json: decoder message; the id otherwise
  std::string other;   // IdConflict: the id stored in the file

  // "queue I/O error at <path>: <detail>", "queue JSON error: <detail> in
  // <path>" and so on. The path (invalid UTF-8 shown as U+FFFD) and the ids
  // are echoed bounded and with control characters escaped.
  std::string message() const;
};

// The outcome of reading every entry: the items, and each entry that is not
// one (unreadable, undecodable, not a regular file, or in the wrong file).
struct QueueScan {
  std::vector<QueuedItem> items;
  std::vector<QueueError> bad;  // in the order of their names
};

// Keeps only A-Z, a-z, 0-9, '-' and '_', so an id never leaves the directory.
std::string sanitize_queue_id(std::string_view id);
// dir joined with sanitize_queue_id(id) + ".json".
std::string queue_file_path(std::string_view dir, std::string_view id);
// $HOME/.tovane/envelope-queue, or ".envelope-queue" when HOME is unset.
std::string default_queue_dir();
// Where quarantine() moves entries: this subdirectory of the queue.
inline constexpr std::string_view kQuarantineDir = "quarantine";

// Writes the item file for envelope.exchange_id, replacing an older one of
// the same id atomically (temporary file, then rename). Refuses to replace
// the item of another id whose name sanitises alike. Creates `dir` when
// missing.
Result<void, QueueError> queue_push(Runtime& rt, const std::string& dir,
                                    std::string_view pair_class,
                                    const SignedEnvelope& envelope);
// All items in byte order of their file names, and the entries that are
// not items. Entries that vanish while being read were dropped: skipped.
// Also removes temporary files left by writers on this host that died.
// A directory that cannot be queried yields nothing.
Result<QueueScan, QueueError> queue_scan(Runtime& rt, const std::string& dir);
// queue_scan, failing with the first bad entry.
Result<std::vector<QueuedItem>, QueueError> queue_list(Runtime& rt,
                                                       const std::string& dir);
// Removes the file named for this id unless it holds the item of another
// id; no item of this id is not an error.
Result<void, QueueError> queue_drop(Runtime& rt, const std::string& dir,
                                    std::string_view queue_id);
// Moves the entry at `path` (as queue_scan reports it, or its bare name)
// into the quarantine subdirectory, never over another file; returns the
// new path.
Result<std::string, QueueError> queue_quarantine(Runtime& rt, const std::string& dir,
                                                 std::string_view path);

}  // namespace ulo
