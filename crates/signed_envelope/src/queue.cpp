// The queue's rules over its directory: which names are items, how an id
// becomes a file name, when a push may replace a file and when a file may be
// dropped, and what each failure is called. The file plumbing is in
// file_io.hpp.
#include "queue.hpp"

#include <fcntl.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>

#include "file_io.hpp"
#include "os_error.hpp"
#include "quote.hpp"
#include "record_table.hpp"
#include "utf8.hpp"

namespace ulo {
namespace {

using file_io::FileRead;
using file_io::join_path;

// The characters an id keeps in its file name; the rest are dropped, so an
// id never leaves the directory.
constexpr bool is_id_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// The extension is what follows the last '.', unless that '.' starts the
// name; the ".json" item files are the queue's entries, the rest is skipped.
bool is_entry_name(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "json";
}

// Whether `name` is sanitize_queue_id(id) + ".json", without building it.
bool is_file_name_of(std::string_view id, std::string_view name) {
  if (!name.ends_with(".json")) return false;
  name.remove_suffix(5);
  std::size_t k = 0;
  for (const char c : id) {
    if (!is_id_char(c)) continue;
    if (k == name.size() || name[k] != c) return false;
    ++k;
  }
  return k == name.size();
}

QueueError io_error(std::string path, int err) {
  return {QueueError::Io, std::move(path), os_error_text(err), {}, err};
}

QueueError io_error(std::string path, const BlockingError& e) {
  return {QueueError::Io, std::move(path), e.text, {}};
}

// The item in a file, for checks before replacing or removing it.
struct Existing {
  FileRead read;
  std::optional<QueuedItem> item;  // read and decodable
};

Existing read_existing(const std::string& path) {
  Existing out;
  std::string buf;
  out.read = file_io::read_regular(AT_FDCWD, path.c_str(), buf);
  if (out.read.status == FileRead::Ok) {
    auto item = decode_record<QueuedItem>(buf, kQueuedItemRecord);
    if (item) out.item = std::move(*item);
  }
  return out;
}

struct WriteOutcome {
  int err = 0;
  std::optional<std::string> other_id;  // the file held this id instead
};

// Renames the written temporary file onto `path`, so readers see the old
// item or the new one, never a torn file. A first push renames without
// replacing and so reads nothing; only when `path` exists is its item's id
// compared with `id`. On failure the temporary file is removed.
WriteOutcome place_item(const std::string& temp, const std::string& path, std::string_view id) {
  WriteOutcome out;
  out.err = file_io::rename_noreplace(temp, path);
  if (out.err == EEXIST) {
    Existing old = read_existing(path);
    if (old.item && old.item->queue_id != id) {
      out.err = 0;
      out.other_id = std::move(old.item->queue_id);
    } else {
      out.err = ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
    }
  }
  if (out.err != 0 || out.other_id) file_io::remove_file(temp);
  return out;
}

// Writes `bytes` next to `path` and puts the file in place.
WriteOutcome write_item(const std::string& dir, const std::string& name, const std::string& path,
                        std::string_view bytes, std::string_view id) {
  if (!file_io::usable(path)) return {EINVAL, {}};
  const file_io::TempFile temp = file_io::write_temp(dir, name, bytes);
  if (temp.err != 0) return {temp.err, {}};
  return place_item(temp.path, path, id);
}

// What this process changed in a directory without flushing it, for
// queue_sync: the item files it wrote and the directories it created. Past
// kMaxUnflushed names a directory is flushed whole instead, so that a
// process that never syncs keeps no growing list.
constexpr std::size_t kMaxUnflushed = std::size_t{1} << 16;

struct Unflushed {
  std::vector<std::string> names;  // repeats are sorted out by the sync
  std::vector<std::string> made;  // outermost first
  bool all = false;

  void merge(Unflushed&& other) {
    for (auto& m : other.made) made.push_back(std::move(m));
    if (all) return;
    if (!other.all) {
      names.insert(names.end(), std::make_move_iterator(other.names.begin()),
                   std::make_move_iterator(other.names.end()));
    }
    if (other.all || names.size() > kMaxUnflushed) {
      all = true;
      std::vector<std::string>().swap(names);
    }
  }
};

struct DirIdHash {
  std::size_t operator()(const file_io::DirId& d) const noexcept {
    return std::hash<std::uint64_t>{}(static_cast<std::uint64_t>(d.ino) * 0x9e3779b97f4a7c15U ^
                                      static_cast<std::uint64_t>(d.dev));
  }
};

class UnflushedLog {
 public:
  static UnflushedLog& get() {
    // Never destroyed: pushes may run while the process exits.
    static UnflushedLog* const log = [] {
      auto* made = new UnflushedLog;
      // Held across fork, so that the child never inherits it locked.
      ::pthread_atfork([] { get().mu_.lock(); }, [] { get().mu_.unlock(); },
                       [] { get().mu_.unlock(); });
      return made;
    }();
    return *log;
  }

  void add(const file_io::DirId& id, Unflushed&& changes) {
    const std::lock_guard lock(mu_);
    dirs_[id].merge(std::move(changes));
  }
  Unflushed take(const file_io::DirId& id) {
    const std::lock_guard lock(mu_);
    const auto it = dirs_.find(id);
    if (it == dirs_.end()) return {};
    Unflushed out = std::move(it->second);
    dirs_.erase(it);
    return out;
  }
  std::vector<std::string> take_made(const file_io::DirId& id) {
    const std::lock_guard lock(mu_);
    const auto it = dirs_.find(id);
    return it == dirs_.end() ? std::vector<std::string>{} : std::exchange(it->second.made, {});
  }

 private:
  UnflushedLog() = default;
  std::mutex mu_;
  std::unordered_map<file_io::DirId, Unflushed, DirIdHash> dirs_;
};

// Records files written in `dir` without a flush. A directory that cannot
// be looked up any more has nothing left to flush.
void note_unflushed(const std::string& dir, Unflushed&& changes) {
  file_io::DirId id;
  if (file_io::dir_id(dir, id) == 0) UnflushedLog::get().add(id, std::move(changes));
}

// Flushes the parent of each directory created, then `dir`: 0, or the OS
// error and where it happened.
struct Flushed {
  int err = 0;
  std::string path;
};

Flushed flush_dirs(const std::vector<std::string>& made, const std::string& dir) {
  for (const auto& m : made) {
    std::string parent = file_io::parent_dir(m);
    if (const int err = file_io::sync_dir(parent); err != 0) return {err, std::move(parent)};
  }
  if (const int err = file_io::sync_dir(dir); err != 0) return {err, dir};
  return {};
}

// The directories a durable call must flush beside `dir`: those created now
// and those earlier pushes of this process created without a flush.
std::vector<std::string> made_unflushed(const std::string& dir, std::vector<std::string>&& now) {
  file_io::DirId id;
  if (file_io::dir_id(dir, id) == 0) {
    for (auto& m : UnflushedLog::get().take_made(id)) now.push_back(std::move(m));
  }
  return std::move(now);
}

// Pool tasks that flush a batch's files: flushes wait on the disk, not the
// CPU, and the more wait together, the fewer commits the file system makes.
std::size_t flush_tasks(std::size_t n) { return std::min<std::size_t>(n, 32); }

// How reading one entry ended: an item (in `item`), gone since the listing
// (dropped meanwhile), or the error the entry is reported with.
enum class Reached { Item, Gone, Bad };

Reached read_entry(int dir_fd, const std::string& dir, const char* name, std::string& buf,
                   QueuedItem& item, std::optional<QueueError>& err) {
  const FileRead read = file_io::read_regular(dir_fd, name, buf);
  if (read.status == FileRead::Gone) return Reached::Gone;
  if (read.status != FileRead::Ok) {
    err = {QueueError::Io, join_path(dir, name), file_io::failure_text(read), {},
           file_io::failure_errno(read)};
  } else if (auto json = decode_record_into(buf, kQueuedItemRecord, &item)) {
    err = {QueueError::Json, join_path(dir, name), std::move(json->message), {}};
  } else if (!is_file_name_of(item.queue_id, name)) {
    // drop_item(queue_id) could never remove it.
    err = {QueueError::Misplaced, join_path(dir, name), item.queue_id, {}};
  }
  return err ? Reached::Bad : Reached::Item;
}

// The entry names of `dir` (those after `after`, when given), unsorted, and
// the directory held open. Runs on a pool thread.
struct Listed {
  std::unique_ptr<EntryNames> names = std::make_unique<EntryNames>();
  file_io::Fd dir;
  int err = 0;
};

Listed list_entries(const std::string& dir, const std::string& after,
                    const std::atomic<bool>& stop) {
  Listed out;
  EntryNames& names = *out.names;
  auto walk = file_io::walk_dir(
      dir, is_entry_name,
      [&](std::string_view name) {
        if (!after.empty() && !(after < name)) return true;
        if (names.add(name)) return true;
        out.err = EOVERFLOW;
        return false;
      },
      stop, /*tidy=*/true);
  out.dir = std::move(walk.dir);
  if (out.err == 0) out.err = walk.err;
  if (out.err == 0 && walk.cut_short) out.err = ECANCELED;
  return out;
}

// What the pool was writing when a fork in an interrupt check cut this
// process off from it may be half-done: it is left alone, not destroyed.
template <class T>
struct LeaveIfOrphaned {
  std::unique_ptr<T>& owned;
  ~LeaveIfOrphaned() {
    if (Runtime::orphaned()) leave_to_fork(owned);
  }
};

// Pool threads that read one batch of files: a few, for a batch worth it.
std::size_t read_tasks(std::size_t n) {
  const std::size_t hw = std::max(1u, std::thread::hardware_concurrency());
  return std::clamp<std::size_t>(n / 256, 1, std::min<std::size_t>(hw, 4));
}

std::string shown(std::string_view path) { return echoed(utf8::lossy(path)); }

std::string quoted_id(std::string_view id) {
  std::string out;
  append_quoted_bounded(out, id);
  return out;
}

}  // namespace

std::string QueueError::message() const {
  switch (kind) {
    case Io:
      return "queue I/O error at " + shown(path) + ": " + detail;
    case Json:
      return "queue JSON error: " + detail + (path.empty() ? "" : " in " + shown(path));
    case EmptyId:
      return "queue id has no file-name characters: " + quoted_id(detail);
    case IdConflict:
      return "queue id " + quoted_id(detail) + " shares its file name with the queued item " +
             quoted_id(other) + " at " + shown(path) + "; nothing written";
    case Misplaced:
      return "queued item " + quoted_id(detail) + " at " + shown(path) +
             " is not in the file its id names";
    case NotEntry:
      return "not an entry of the queue: " + shown(path);
  }
  return {};
}

std::string sanitize_queue_id(std::string_view id) {
  std::string out;
  out.reserve(id.size());
  for (const char c : id) {
    if (is_id_char(c)) out += c;
  }
  return out;
}

std::string queue_file_path(std::string_view dir, std::string_view id) {
  return join_path(dir, sanitize_queue_id(id) + ".json");
}

std::string default_queue_dir() {
  const char* home = std::getenv("HOME");
  if (!home) return ".envelope-queue";
  return join_path(join_path(home, ".tovane"), "envelope-queue");
}

Result<void, QueueError> queue_push(Runtime& rt, const std::string& dir,
                                    std::string_view pair_class,
                                    const SignedEnvelope& envelope, Durability durability) {
  if (durability == Durability::Durable) {
    const QueuePush one{pair_class, &envelope};
    auto pushed = queue_push_many(rt, dir, {&one, 1}, durability);
    if (!pushed) return unexpected(std::move(pushed.error().error));
    return {};
  }
  // An id without file-name characters would land in ".json", which no
  // listing returns: refuse it rather than lose the item.
  const std::string name = sanitize_queue_id(envelope.exchange_id) + ".json";
  if (name.size() == 5) {
    return unexpected(QueueError{QueueError::EmptyId, {}, envelope.exchange_id, {}});
  }
  // The directory's identity, for the log of unflushed files, from the
  // look-up that tells whether it exists.
  Unflushed changes;
  file_io::DirId id;
  bool known = file_io::dir_id(dir, id) == 0;
  if (!known) {
    auto made = rt.run_blocking([&] { return file_io::create_dirs(dir, &changes.made); });
    if (!made) return unexpected(io_error(dir, made.error()));
    if (*made != 0) return unexpected(io_error(dir, *made));
    known = file_io::dir_id(dir, id) == 0;
  }
  const QueuedItem item{envelope.exchange_id, std::string(pair_class), envelope};
  const std::string bytes = encode_record(kQueuedItemRecord, &item, /*indented=*/true);
  std::string path = join_path(dir, name);
  auto written =
      rt.run_blocking([&] { return write_item(dir, name, path, bytes, envelope.exchange_id); });
  if (!written) return unexpected(io_error(std::move(path), written.error()));
  if (auto& other = written->other_id) {
    return unexpected(QueueError{QueueError::IdConflict, std::move(path), envelope.exchange_id,
                                 std::move(*other)});
  }
  if (written->err != 0) return unexpected(io_error(std::move(path), written->err));
  if (known) {
    changes.names.push_back(name);
    UnflushedLog::get().add(id, std::move(changes));
  }
  return {};
}

Result<void, QueueBatchError> queue_push_many(Runtime& rt, const std::string& dir,
                                              std::span<const QueuePush> items,
                                              Durability durability) {
  if (items.empty()) return {};
  const bool durable = durability == Durability::Durable;
  auto failed = [](std::size_t index, QueueError e) {
    return unexpected(QueueBatchError{index, std::move(e)});
  };
  // The batch stops at an id without file-name characters; the items
  // before it still go.
  std::vector<std::string> names;
  names.reserve(items.size());
  for (const QueuePush& it : items) {
    std::string name = sanitize_queue_id(it.envelope->exchange_id) + ".json";
    if (name.size() == 5) break;
    names.push_back(std::move(name));
  }
  const std::size_t n = names.size();
  std::optional<QueueBatchError> refused;
  if (n < items.size()) {
    QueueBatchError e{n, {QueueError::EmptyId, {}, items[n].envelope->exchange_id, {}}};
    if (n == 0) return unexpected(std::move(e));
    refused = std::move(e);
  }

  Unflushed changes;
  if (!file_io::exists(dir)) {
    auto made = rt.run_blocking([&] { return file_io::create_dirs(dir, &changes.made); });
    if (!made) return failed(0, io_error(dir, made.error()));
    if (*made != 0) return failed(0, io_error(dir, *made));
  }
  struct Batch {
    std::vector<std::string> bytes, paths;
    std::vector<file_io::TempFile> temps;
  };
  auto batch = std::make_unique<Batch>();
  const LeaveIfOrphaned<Batch> keep{batch};
  batch->bytes.reserve(n);
  batch->paths.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const SignedEnvelope& env = *items[i].envelope;
    const QueuedItem item{env.exchange_id, std::string(items[i].pair_class), env};
    batch->bytes.push_back(encode_record(kQueuedItemRecord, &item, /*indented=*/true));
    batch->paths.push_back(join_path(dir, names[i]));
    if (!file_io::usable(batch->paths.back())) {
      return failed(i, io_error(batch->paths.back(), EINVAL));
    }
  }
  batch->temps.resize(n);
  const std::atomic<bool>& stop = Runtime::stop_requested();
  // Every file is written before any is flushed, and then all are flushed
  // side by side: a file system commits the flushes that wait together at
  // once, and the files' creation is in the first commit already. Writing
  // stops at the first failure, as the files after it would not be kept.
  auto wrote = rt.run_blocking([&] {
    for (std::size_t k = 0; k < n && !stop.load(std::memory_order_relaxed); ++k) {
      batch->temps[k] = file_io::write_temp(dir, names[k], batch->bytes[k], durable);
      if (batch->temps[k].err != 0) return;
    }
  });
  // The leading files written (and flushed) whole.
  auto leading_written = [&] {
    std::size_t k = 0;
    while (k < n && !batch->temps[k].path.empty() && batch->temps[k].err == 0) ++k;
    return k;
  };
  std::size_t written = leading_written();
  if (wrote && durable && !stop.load(std::memory_order_relaxed)) {
    const std::size_t tasks = flush_tasks(written);
    auto flush_chunk = [&](std::size_t c) {
      for (std::size_t k = written * c / tasks; k < written * (c + 1) / tasks; ++k) {
        if (stop.load(std::memory_order_relaxed)) return;
        file_io::TempFile& t = batch->temps[k];
        if (const int err = file_io::sync_entry(AT_FDCWD, t.path.c_str()); err != 0) {
          file_io::remove_file(t.path);
          t.err = err;
        }
      }
    };
    if (tasks > 0) {
      wrote = tasks == 1 ? rt.run_blocking([&] { flush_chunk(0); })
                         : rt.run_blocking_n(tasks, flush_chunk);
    }
  }
  if (Runtime::orphaned()) return failed(0, io_error(dir, BlockingError{}));
  // Whatever is not renamed into place goes, here on the calling thread,
  // which works when the call was stopped too.
  std::size_t placed = 0;
  auto discard_rest = [&](std::size_t from) {
    for (std::size_t k = from; k < n; ++k) {
      if (!batch->temps[k].path.empty() && batch->temps[k].err == 0) {
        file_io::remove_file(batch->temps[k].path);
      }
    }
  };
  if (!wrote || stop.load(std::memory_order_relaxed)) {
    discard_rest(0);
    return failed(0, io_error(dir, wrote ? BlockingError{} : wrote.error()));
  }
  written = leading_written();

  // Renamed in order, so that a failure leaves exactly the items before it.
  WriteOutcome stopped_at;
  auto renamed = rt.run_blocking([&] {
    for (; placed < written; ++placed) {
      stopped_at = place_item(batch->temps[placed].path, batch->paths[placed],
                              items[placed].envelope->exchange_id);
      if (stopped_at.err != 0 || stopped_at.other_id) break;
    }
  });
  // A child forked meanwhile leaves the files to the parent, which goes on.
  if (Runtime::orphaned()) return failed(0, io_error(dir, BlockingError{}));
  discard_rest(placed + (renamed && placed < written ? 1 : 0));
  if (!renamed) {
    return failed(placed, io_error(batch->paths[std::min(placed, n - 1)], renamed.error()));
  }

  if (placed > 0) {
    if (durable) {
      std::vector<std::string> made = made_unflushed(dir, std::move(changes.made));
      auto flushed = rt.run_blocking([&] { return flush_dirs(made, dir); });
      if (!flushed) return failed(0, io_error(dir, flushed.error()));
      if (flushed->err != 0) return failed(0, io_error(std::move(flushed->path), flushed->err));
    } else {
      std::move(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(placed),
                std::back_inserter(changes.names));
      note_unflushed(dir, std::move(changes));
    }
  }
  if (placed < written) {
    std::string& path = batch->paths[placed];
    if (auto& other = stopped_at.other_id) {
      return failed(placed, {QueueError::IdConflict, std::move(path),
                             items[placed].envelope->exchange_id, std::move(*other)});
    }
    return failed(placed, io_error(std::move(path), stopped_at.err));
  }
  if (written < n) {
    // No file at all there: the call was stopped.
    const int err = batch->temps[written].path.empty() ? ECANCELED : batch->temps[written].err;
    return failed(written, io_error(batch->paths[written], err));
  }
  if (refused) return unexpected(std::move(*refused));
  return {};
}

Result<void, QueueError> queue_sync(Runtime& rt, const std::string& dir) {
  file_io::DirId id;
  if (const int err = file_io::dir_id(dir, id); err != 0) {
    if (err == ENOENT) return {};  // nothing was kept there
    return unexpected(io_error(dir, err));
  }
  UnflushedLog& log = UnflushedLog::get();
  struct Sync {
    Unflushed pending;
    std::vector<std::string> names;
    std::vector<int> errs;
    file_io::Fd dir_fd;
  };
  auto sync = std::make_unique<Sync>();
  const LeaveIfOrphaned<Sync> keep{sync};
  sync->pending = log.take(id);
  // Taken back when the flush fails, for the next sync to try again.
  auto give_back = [&](QueueError e) {
    if (!Runtime::orphaned()) log.add(id, std::move(sync->pending));
    return unexpected(std::move(e));
  };
  const std::atomic<bool>& stop = Runtime::stop_requested();
  auto listed = rt.run_blocking([&]() -> int {
    if (sync->pending.all) {
      auto walk = file_io::walk_dir(
          dir, is_entry_name,
          [&](std::string_view name) { return sync->names.emplace_back(name), true; }, stop,
          /*tidy=*/false);
      sync->dir_fd = std::move(walk.dir);
      return walk.err != 0 ? walk.err : walk.cut_short ? ECANCELED : 0;
    }
    sync->names = sync->pending.names;
    std::ranges::sort(sync->names);
    const auto repeated = std::ranges::unique(sync->names);
    sync->names.erase(repeated.begin(), repeated.end());
    sync->dir_fd =
        file_io::Fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return sync->dir_fd ? 0 : errno;
  });
  if (!listed) return give_back(io_error(dir, listed.error()));
  if (*listed != 0) return give_back(io_error(dir, *listed));
  const std::size_t n = sync->names.size();
  if (n > 0) {
    sync->errs.assign(n, 0);
    const std::size_t tasks = flush_tasks(n);
    const int dir_fd = sync->dir_fd.get();
    auto flush_chunk = [&](std::size_t c) {
      for (std::size_t k = n * c / tasks; k < n * (c + 1) / tasks; ++k) {
        if (stop.load(std::memory_order_relaxed)) return;
        sync->errs[k] = file_io::sync_entry(dir_fd, sync->names[k].c_str());
      }
    };
    auto done = rt.run_blocking_n(tasks, flush_chunk);
    if (!done) return give_back(io_error(dir, done.error()));
    if (stop.load(std::memory_order_relaxed)) return give_back(io_error(dir, BlockingError{}));
    for (std::size_t k = 0; k < n; ++k) {
      if (sync->errs[k] != 0) {
        return give_back(io_error(join_path(dir, sync->names[k]), sync->errs[k]));
      }
    }
  }
  auto flushed = rt.run_blocking([&] { return flush_dirs(sync->pending.made, dir); });
  if (!flushed) return give_back(io_error(dir, flushed.error()));
  if (flushed->err != 0) return give_back(io_error(std::move(flushed->path), flushed->err));
  return {};
}

Result<QueueScan, QueueError> queue_scan(Runtime& rt, const std::string& dir) {
  if (!file_io::exists(dir)) return QueueScan{};
  const std::atomic<bool>& stop = Runtime::stop_requested();
  auto listed = rt.run_blocking([&] { return list_entries(dir, {}, stop); });
  if (!listed) return unexpected(io_error(dir, listed.error()));
  if (listed->err != 0) return unexpected(io_error(dir, listed->err));
  std::unique_ptr<EntryNames>& names = listed->names;
  const LeaveIfOrphaned<EntryNames> keep_names{names};
  const std::size_t n = names->size();
  // Byte-wise order of the names, a prefix first. On the pool, so that the
  // caller answers an interrupt meanwhile.
  auto sorted = rt.run_blocking([&] { return names->sort_until(n, stop); });
  if (!sorted || !*sorted) return unexpected(io_error(dir, BlockingError{}));

  // Each chunk of names is read into its own part, reserved but not filled
  // ahead: slots for a whole large backlog would take a while to touch
  // before the first read, and longer to give back when the call is stopped.
  struct Read {
    std::vector<std::vector<QueuedItem>> items;  // per chunk, in order
    std::vector<std::vector<QueueError>> bad;
  };
  // Files are read and decoded in contiguous chunks on several pool threads.
  const std::size_t chunks = read_tasks(n);
  auto read = std::make_unique<Read>(Read{std::vector<std::vector<QueuedItem>>(chunks),
                                          std::vector<std::vector<QueueError>>(chunks)});
  const LeaveIfOrphaned<Read> keep_read{read};
  const int dir_fd = listed->dir.get();
  auto read_chunk = [&](std::size_t c) {
    const std::size_t begin = n * c / chunks, end = n * (c + 1) / chunks;
    std::vector<QueuedItem>& part = read->items[c];
    part.reserve(end - begin);
    std::string buf, name;
    for (std::size_t i = begin; i < end && !stop.load(std::memory_order_relaxed); ++i) {
      // Decoded in place, into a fresh slot: a record's absent members
      // must stay empty.
      std::optional<QueueError> err;
      switch (read_entry(dir_fd, dir, names->name(i, name), buf, part.emplace_back(), err)) {
        case Reached::Item:
          break;
        case Reached::Gone:  // dropped since the listing
          part.pop_back();
          break;
        case Reached::Bad:
          part.pop_back();
          read->bad[c].push_back(std::move(*err));
          break;
      }
    }
  };
  auto done = chunks == 1 ? rt.run_blocking([&] { read_chunk(0); })
                          : rt.run_blocking_n(chunks, read_chunk);
  if (!done) return unexpected(io_error(dir, done.error()));
  if (stop.load(std::memory_order_relaxed)) return unexpected(io_error(dir, BlockingError{}));

  QueueScan out;
  if (chunks == 1) {
    out.items = std::move(read->items.front());
  } else {
    std::size_t good = 0;
    for (const auto& part : read->items) good += part.size();
    out.items.reserve(good);
    for (auto& part : read->items) {
      std::move(part.begin(), part.end(), std::back_inserter(out.items));
    }
  }
  for (auto& chunk : read->bad) {
    for (auto& err : chunk) out.bad.push_back(std::move(err));
  }
  return out;
}

Result<std::size_t, QueueError> queue_count(Runtime& rt, const std::string& dir) {
  if (!file_io::exists(dir)) return std::size_t{0};
  const std::atomic<bool>& stop = Runtime::stop_requested();
  struct Counted {
    std::size_t n = 0;
    int err = 0;
  };
  auto counted = rt.run_blocking([&] {
    Counted out;
    auto walk = file_io::walk_dir(
        dir, is_entry_name, [&out](std::string_view) { return ++out.n, true; }, stop,
        /*tidy=*/false);
    out.err = walk.err != 0 ? walk.err : walk.cut_short ? ECANCELED : 0;
    return out;
  });
  if (!counted) return unexpected(io_error(dir, counted.error()));
  if (counted->err != 0) return unexpected(io_error(dir, counted->err));
  return counted->n;
}

Result<std::vector<QueuedItem>, QueueError> queue_list(Runtime& rt, const std::string& dir) {
  auto scan = queue_scan(rt, dir);
  if (!scan) return unexpected(std::move(scan.error()));
  if (!scan->bad.empty()) return unexpected(std::move(scan->bad.front()));
  return std::move(scan->items);
}

// The first batch is small, so that the first item comes soon after the
// names; later ones grow to where a hand-off to the pool costs little
// beside the reading.
constexpr std::size_t kFirstBatch = 32;
constexpr std::size_t kLargestBatch = 1024;

struct QueueReader::Batch {
  std::vector<QueuedItem> items;
  std::vector<std::optional<QueueError>> errors;
  std::vector<unsigned char> gone;
};

QueueReader::QueueReader(std::string dir, std::string after)
    : dir_(std::move(dir)), after_(std::move(after)), batch_size_(kFirstBatch) {}
QueueReader::QueueReader(QueueReader&&) noexcept = default;
QueueReader& QueueReader::operator=(QueueReader&&) noexcept = default;
QueueReader::~QueueReader() = default;

std::optional<std::size_t> QueueReader::names() const noexcept {
  if (!listed_) return std::nullopt;
  return names_ ? names_->size() : names_total_;
}

void QueueReader::finish() noexcept {
  if (names_) names_total_ = names_->size();
  names_.reset();
  batch_.reset();
  dir_fd_ = {};
  listed_ = true;
  done_ = true;
}

// A fork in an interrupt check has cut this process off from the pool that
// was writing the names or the batch: both are left alone, and the next
// fill() lists the directory again from after the last entry taken.
Result<bool, QueueError> QueueReader::abandon() {
  leave_to_fork(names_);
  dir_fd_ = {};
  listed_ = false;
  after_ = last_;
  return unexpected(io_error(dir_, BlockingError{}));
}

Result<bool, QueueError> QueueReader::fill(Runtime& rt) {
  const std::atomic<bool>& stop = Runtime::stop_requested();
  while (!done_ && !ready()) {
    if (!listed_) {
      if (!file_io::exists(dir_)) {
        finish();
        break;
      }
      auto listed = rt.run_blocking([&] { return list_entries(dir_, after_, stop); });
      if (!listed) return unexpected(io_error(dir_, listed.error()));
      if (listed->err != 0) return unexpected(io_error(dir_, listed->err));
      names_ = std::move(listed->names);
      dir_fd_ = std::move(listed->dir);
      listed_ = true;
      start_ = 0;
    }
    const std::size_t begin = start_;
    const std::size_t end = std::min(names_->size(), begin + batch_size_);
    if (begin == end) {
      finish();
      break;
    }
    EntryNames& names = *names_;
    if (names.sorted() < end) {
      auto sorted = rt.run_blocking([&] { return names.sort_until(end, stop); });
      if (Runtime::orphaned()) return abandon();
      if (!sorted || !*sorted) return unexpected(io_error(dir_, BlockingError{}));
    }
    // Written by the pool; see abandon().
    auto batch = std::make_unique<Batch>();
    const LeaveIfOrphaned<Batch> keep{batch};
    batch->items.resize(end - begin);
    batch->errors.resize(end - begin);
    batch->gone.assign(end - begin, 0);
    const std::size_t chunks = read_tasks(end - begin);
    const int dir_fd = dir_fd_.get();
    auto read_chunk = [&](std::size_t c) {
      const std::size_t n = end - begin;
      std::string buf, name;
      for (std::size_t k = n * c / chunks; k < n * (c + 1) / chunks; ++k) {
        if (stop.load(std::memory_order_relaxed)) return;
        const Reached r = read_entry(dir_fd, dir_, names.name(begin + k, name), buf,
                                     batch->items[k], batch->errors[k]);
        batch->gone[k] = r == Reached::Gone;
      }
    };
    auto done = chunks == 1 ? rt.run_blocking([&] { read_chunk(0); })
                            : rt.run_blocking_n(chunks, read_chunk);
    if (Runtime::orphaned()) return abandon();
    if (!done) return unexpected(io_error(dir_, done.error()));
    if (stop.load(std::memory_order_relaxed)) return unexpected(io_error(dir_, BlockingError{}));
    batch_ = std::move(batch);
    batch_begin_ = begin;
    next_ = 0;
    start_ = end;
    batch_size_ = std::min(batch_size_ * 2, kLargestBatch);
  }
  return !done_;
}

bool QueueReader::ready() noexcept {
  while (batch_ && next_ < batch_->items.size() && batch_->gone[next_]) ++next_;
  return batch_ && next_ < batch_->items.size();
}

std::optional<QueueReader::Entry> QueueReader::take() {
  if (!ready()) return std::nullopt;
  const std::size_t k = next_++;
  std::string name;
  names_->name(batch_begin_ + k, name);
  last_ = name;
  if (auto& err = batch_->errors[k]) return Entry{std::move(name), std::move(*err)};
  return Entry{std::move(name), std::move(batch_->items[k])};
}

Result<void, QueueError> queue_drop(Runtime& rt, const std::string& dir,
                                    std::string_view queue_id, Durability durability) {
  std::string path = queue_file_path(dir, queue_id);
  const bool durable = durability == Durability::Durable;
  // Durably, an item already gone is flushed gone too: its removal may not
  // have reached the disk yet.
  if (!file_io::exists(path) && !(durable && file_io::exists(dir))) return {};  // nothing to drop
  auto removed = rt.run_blocking([&]() -> Flushed {
    // Only the item of another id whose name sanitises alike is kept: the
    // item asked for is absent. Anything else at the path goes, as an
    // unreadable or undecodable file named for this id can hold no other.
    Existing old = read_existing(path);
    if (old.read.status != FileRead::Gone && !(old.item && old.item->queue_id != queue_id)) {
      if (const int err = file_io::remove_file(path); err != 0) return {err, path};
    }
    if (!durable) return {};
    return flush_dirs({}, dir);
  });
  if (!removed) return unexpected(io_error(std::move(path), removed.error()));
  if (removed->err != 0) return unexpected(io_error(std::move(removed->path), removed->err));
  return {};
}

Result<std::string, QueueError> queue_quarantine(Runtime& rt, const std::string& dir,
                                                 std::string_view path, Durability durability) {
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const bool in_queue = slash == std::string_view::npos || join_path(dir, name) == path;
  if (!in_queue || !is_entry_name(name) || !file_io::usable(path) || !file_io::usable(dir)) {
    return unexpected(QueueError{QueueError::NotEntry, std::string(path), {}, {}});
  }
  const std::string source = join_path(dir, name);
  const std::string qdir = join_path(dir, kQuarantineDir);
  struct Moved {
    int err = 0;
    std::string err_path;
    std::string target;
  };
  auto moved = rt.run_blocking([&]() -> Moved {
    if (const int err = file_io::make_dir(qdir); err != 0) return {err, qdir, {}};
    const std::string base(name);
    for (int n = 0; n < 1000; ++n) {
      // Never over a file already quarantined.
      std::string target = join_path(qdir, n == 0 ? base : base + "." + std::to_string(n));
      const int err = file_io::rename_noreplace(source, target);
      if (err == 0 && durability == Durability::Durable) {
        // The new entry first: a cut between the two flushes leaves the
        // entry in both places, never in neither.
        if (Flushed f = flush_dirs({}, qdir); f.err != 0) return {f.err, std::move(f.path), {}};
        if (Flushed f = flush_dirs({}, dir); f.err != 0) return {f.err, std::move(f.path), {}};
      }
      if (err == 0) return {0, {}, std::move(target)};
      if (err == EEXIST) continue;
      // A missing source is reported at the source; anything else where it
      // failed.
      return {err, file_io::entry_exists(source) ? qdir : source, {}};
    }
    return {EEXIST, qdir, {}};
  });
  if (!moved) return unexpected(io_error(source, moved.error()));
  if (moved->err != 0) return unexpected(io_error(std::move(moved->err_path), moved->err));
  return std::move(moved->target);
}

}  // namespace ulo
