// The envelope queue's storage: one directory, one JSON file per item.
//
// Every operation takes the worker runtime: its blocking file-system calls
// are handed to the runtime's pool while the calling thread waits. Callers
// run the whole operation with Runtime::run, e.g.
//   Runtime::run([&](Runtime& rt) { return queue_list(rt, dir); })
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "entry_names.hpp"
#include "envelope.hpp"
#include "file_io.hpp"
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
  int err = 0;         // Io: the OS error number, 0 when the failure has none

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

// How far a change to the queue is taken before the call returns.
enum class Durability : std::uint8_t {
  // Every process sees it at once; it reaches stable storage when the OS
  // writes it back, so a power cut may undo it.
  Default,
  // On stable storage: the file flushed before it is renamed into place,
  // then the directory flushed (and the parents of directories created).
  Durable,
};

// Writes the item file for envelope.exchange_id, replacing an older one of
// the same id atomically (temporary file, then rename). Refuses to replace
// the item of another id whose name sanitises alike. Creates `dir` when
// missing.
Result<void, QueueError> queue_push(Runtime& rt, const std::string& dir,
                                    std::string_view pair_class,
                                    const SignedEnvelope& envelope,
                                    Durability durability = Durability::Default);

// One item of a batch push; the envelope is borrowed for the call.
struct QueuePush {
  std::string_view pair_class;
  const SignedEnvelope* envelope;
};
// Why a batch stopped: `index` items, those before the failed one, were
// pushed (and, durably, flushed); the rest were not, and no temporary file
// of theirs is left.
struct QueueBatchError {
  std::size_t index;
  QueueError error;
};
// queue_push for every item in order, as one group: the files are written
// (and flushed) on several pool threads, renamed into place in order, and a
// durable batch flushes the directory once.
Result<void, QueueBatchError> queue_push_many(Runtime& rt, const std::string& dir,
                                              std::span<const QueuePush> items,
                                              Durability durability);
// Makes every earlier push and drop of this process in `dir` durable: the
// files it wrote are flushed, then the directory. A directory that does not
// exist has nothing to flush.
Result<void, QueueError> queue_sync(Runtime& rt, const std::string& dir);
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
                                    std::string_view queue_id,
                                    Durability durability = Durability::Default);
// The number of entries by name (the files queue_scan would read, bad ones
// included), without reading them. A directory that cannot be queried has
// none.
Result<std::size_t, QueueError> queue_count(Runtime& rt, const std::string& dir);

// Reads a queue's entries in queue_scan's order, a batch of files at a
// time: the names at the first fill(), then each fill() reads and decodes
// the next files on the pool. It holds the names, packed, and one batch,
// whatever the backlog. The directory stays open meanwhile, so the entries
// are those of the directory whose names were read.
class QueueReader {
 public:
  // An entry as reached: its item, or why it is none.
  struct Entry {
    std::string name;
    std::variant<QueuedItem, QueueError> value;
  };

  // How the batches run: from a small first one that grows, so that the
  // first entry comes soon, or large from the start, for a caller that
  // takes every entry.
  enum class Pace : std::uint8_t { first_soon, all_at_once };

  // Starts after the file name `after` when one is given (a reader taking
  // over where another stopped).
  explicit QueueReader(std::string dir, std::string after = {}, Pace pace = Pace::first_soon);
  QueueReader(QueueReader&&) noexcept;
  QueueReader& operator=(QueueReader&&) noexcept;
  ~QueueReader();

  // Makes the next entry ready to take: true when there is one, false at
  // the end (the directory and the names are let go then). Entries dropped
  // since the names were read are skipped. After an error (the directory
  // could not be listed, or the call was stopped) nothing is lost: the next
  // fill() goes on from the same place.
  Result<bool, QueueError> fill(Runtime& rt);
  // The next entry of the batch that fill() read, if any.
  std::optional<Entry> take();
  // The names the listing kept, once it has run.
  std::optional<std::size_t> names() const noexcept;
  // The file name of the last entry taken; empty before the first.
  const std::string& last() const noexcept { return last_; }

 private:
  struct Batch;
  bool ready() noexcept;
  void finish() noexcept;
  Result<bool, QueueError> abandon();

  std::string dir_;
  std::string after_;
  std::string last_;
  std::unique_ptr<EntryNames> names_;
  file_io::Fd dir_fd_;
  std::unique_ptr<Batch> batch_;
  std::size_t batch_begin_ = 0;  // the index of the batch's first name
  std::size_t next_ = 0;         // in the batch
  std::size_t start_ = 0;        // of the next batch
  std::size_t batch_size_;
  std::size_t names_total_ = 0;  // once the names are let go
  bool listed_ = false;
  bool done_ = false;
};

// Moves the entry at `path` (as queue_scan reports it, or its bare name)
// into the quarantine subdirectory, never over another file; returns the
// new path.
Result<std::string, QueueError> queue_quarantine(Runtime& rt, const std::string& dir,
                                                 std::string_view path,
                                                 Durability durability = Durability::Default);

}  // namespace ulo
