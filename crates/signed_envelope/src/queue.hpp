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
    Io,       // a file-system call failed at `path`
    Json,     // an item file could not be decoded
    EmptyId,  // the id keeps no character as a file name; nothing written
  };
  Kind kind;
  std::string path;    // Io: the path, invalid UTF-8 shown as U+FFFD
  std::string detail;  // Io: OS text; Json: decoder message; EmptyId: the id

  // "queue I/O error at <path>: <detail>", "queue JSON error: <detail>" or
  // "queue id has no file-name characters: " + the id in quoted form.
  std::string message() const;
};

// Keeps only A-Z, a-z, 0-9, '-' and '_', so an id never leaves the directory.
std::string sanitize_queue_id(std::string_view id);
// dir joined with sanitize_queue_id(id) + ".json".
std::string queue_file_path(std::string_view dir, std::string_view id);
// $HOME/.tovane/envelope-queue, or ".envelope-queue" when HOME is unset.
std::string default_queue_dir();

// Writes the item file for envelope.exchange_id, replacing an older one
// atomically (temporary file, then rename). Creates `dir` when missing.
Result<void, QueueError> queue_push(Runtime& rt, const std::string& dir,
                                    std::string_view pair_class,
                                    const SignedEnvelope& envelope);
// All items in byte order of their file names; the first failure ends it.
// A directory that cannot be queried yields no items.
Result<std::vector<QueuedItem>, QueueError> queue_list(Runtime& rt,
                                                       const std::string& dir);
// Removes the item's file; an absent file is not an error.
Result<void, QueueError> queue_drop(Runtime& rt, const std::string& dir,
                                    std::string_view queue_id);

}  // namespace ulo
