// Reading a queue: one reader, QueueReader, which items() drives a batch at a
// time and queue_scan and queue_list drive to the end; and queue_count,
// which counts the names alone.
#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "queue.hpp"
#include "queue_internal.hpp"
#include "record_table.hpp"

namespace ulo {
namespace {

using file_io::FileRead;
using file_io::join_path;

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

// Reading is mostly decoding, so a task per CPU; a few at most, as the
// reads share one directory and one disk.
Split read_split() {
  return {.per_task = 256, .max_tasks = std::min<std::size_t>(available_cpus(), 4), .max_block = 32};
}

// The first batch is small, so that the first item comes soon after the
// names; later ones grow to where a hand-off to the pool costs little
// beside the reading.
constexpr std::size_t kFirstBatch = 32;
constexpr std::size_t kLargestBatch = 1024;
// A caller taking every entry wants no small batches, and larger ones leave
// the pool's tasks idle less often while the last block of each is read.
constexpr std::size_t kWholeBatch = 8192;

}  // namespace

struct QueueReader::Batch {
  std::vector<QueuedItem> items;
  std::vector<std::optional<QueueError>> errors;
  std::vector<unsigned char> gone;
};

QueueReader::QueueReader(std::string dir, std::string after, Pace pace)
    : dir_(std::move(dir)),
      after_(std::move(after)),
      batch_size_(pace == Pace::first_soon ? kFirstBatch : kWholeBatch) {}
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
    PoolOwned<Batch> batch;
    batch->items.resize(end - begin);
    batch->errors.resize(end - begin);
    batch->gone.assign(end - begin, 0);
    const int dir_fd = dir_fd_.get();
    auto done = rt.parallel_for(end - begin, read_split(), [&](std::size_t from, std::size_t to) {
      std::string buf, name;
      for (std::size_t k = from; k < to; ++k) {
        const Reached r = read_entry(dir_fd, dir_, names.name(begin + k, name), buf,
                                     batch->items[k], batch->errors[k]);
        batch->gone[k] = r == Reached::Gone;
      }
    });
    if (Runtime::orphaned()) return abandon();
    if (!done) return unexpected(io_error(dir_, done.error()));
    batch_ = batch.release();
    batch_begin_ = begin;
    next_ = 0;
    start_ = end;
    batch_size_ = std::max(batch_size_, std::min(batch_size_ * 2, kLargestBatch));
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

Result<QueueScan, QueueError> queue_scan(Runtime& rt, const std::string& dir) {
  QueueReader reader(dir, {}, QueueReader::Pace::all_at_once);
  QueueScan out;
  for (;;) {
    auto more = reader.fill(rt);
    if (!more) return unexpected(std::move(more.error()));
    if (!*more) return out;
    if (out.items.capacity() == 0) out.items.reserve(reader.names().value_or(0));
    while (auto entry = reader.take()) {
      if (auto* item = std::get_if<QueuedItem>(&entry->value)) {
        out.items.push_back(std::move(*item));
      } else {
        out.bad.push_back(std::move(std::get<QueueError>(entry->value)));
      }
    }
  }
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

}  // namespace ulo
