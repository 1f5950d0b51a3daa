// What the queue's sources share: the rules for entry names, the errors,
// the log of changes not yet flushed, and how flushes are spread over the
// pool. Not part of the queue's interface.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "file_io.hpp"
#include "queue.hpp"
#include "runtime.hpp"

namespace ulo {

// The extension is what follows the last '.', unless that '.' starts the
// name; the ".json" item files are the queue's entries, the rest is skipped.
bool is_entry_name(std::string_view name);
// Whether `name` is sanitize_queue_id(id) + ".json", without building it.
bool is_file_name_of(std::string_view id, std::string_view name);

QueueError io_error(std::string path, int err);
QueueError io_error(std::string path, const BlockingError& e);

// The item in a file, for checks before replacing or removing it.
struct Existing {
  file_io::FileRead read;
  std::optional<QueuedItem> item;  // read and decodable
};
Existing read_existing(const std::string& path);

// What this process changed in a directory without flushing it, for
// queue_sync: the item files it wrote and the directories it created.
struct Unflushed {
  std::vector<std::string> names;  // repeats are sorted out by the sync
  std::vector<std::string> made;   // outermost first
  bool all = false;                // too many names kept: the whole directory

  void merge(Unflushed&& other);
};
// Records changes made in a directory without a flush. One that cannot be
// looked up any more has nothing left to flush.
void note_unflushed(const file_io::DirId& id, Unflushed&& changes);
void note_unflushed(const std::string& dir, Unflushed&& changes);
// The directories a durable call must flush beside `dir`: those created now
// and those earlier pushes of this process created without a flush.
std::vector<std::string> made_unflushed(const std::string& dir, std::vector<std::string>&& now);

// Flushes the parent of each directory created (one that no longer exists
// has nothing to flush), then `dir`: 0, or the OS error and where it happened.
struct Flushed {
  int err = 0;
  std::string path;
};
Flushed flush_dirs(const std::vector<std::string>& made, const std::string& dir);

// Flushes wait on the disk, not the CPU, and the more wait together, the
// fewer commits the file system makes: up to 32 tasks, a file at a time.
inline constexpr Split kFlushSplit{.per_task = 1, .max_tasks = 32, .max_block = 1};

}  // namespace ulo
