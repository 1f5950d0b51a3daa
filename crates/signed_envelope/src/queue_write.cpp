// The queue's changes: push, push_many, drop and quarantine. An item file is
// written beside its place and renamed into it, and replaces only a file
// holding the same id.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <optional>
#include <utility>

#include "queue.hpp"
#include "queue_internal.hpp"
#include "record_table.hpp"

namespace ulo {
namespace {

using file_io::FileRead;
using file_io::join_path;

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

}  // namespace

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
    note_unflushed(id, std::move(changes));
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
  const PoolOwned<Batch> batch;
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
    wrote = rt.parallel_for(written, kFlushSplit, [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) {
        file_io::TempFile& t = batch->temps[k];
        if (const int err = file_io::sync_entry(AT_FDCWD, t.path.c_str()); err != 0) {
          file_io::remove_file(t.path);
          t.err = err;
        }
      }
    });
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
