// The log of what this process changed in a queue directory without
// flushing it, and queue_sync, which flushes what the log holds.
#include <fcntl.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <iterator>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "queue.hpp"
#include "queue_internal.hpp"

namespace ulo {
namespace {

using file_io::join_path;

// Past this many names a directory is flushed whole instead, so that a
// process that never syncs keeps no growing list.
constexpr std::size_t kMaxUnflushed = std::size_t{1} << 16;

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

}  // namespace

void Unflushed::merge(Unflushed&& other) {
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

void note_unflushed(const file_io::DirId& id, Unflushed&& changes) {
  UnflushedLog::get().add(id, std::move(changes));
}

void note_unflushed(const std::string& dir, Unflushed&& changes) {
  file_io::DirId id;
  if (file_io::dir_id(dir, id) == 0) note_unflushed(id, std::move(changes));
}

Flushed flush_dirs(const std::vector<std::string>& made, const std::string& dir) {
  for (const auto& m : made) {
    std::string parent = file_io::parent_dir(m);
    const int err = file_io::sync_dir(parent);
    // Gone, and the directory made in it with it: nothing of ours is left
    // there. The log is keyed by inode and outlives directories, so a new
    // directory can inherit an old one's list; `dir` itself must exist.
    if (err == ENOENT || err == ENOTDIR) continue;
    if (err != 0) return {err, std::move(parent)};
  }
  if (const int err = file_io::sync_dir(dir); err != 0) return {err, dir};
  return {};
}

std::vector<std::string> made_unflushed(const std::string& dir, std::vector<std::string>&& now) {
  file_io::DirId id;
  if (file_io::dir_id(dir, id) == 0) {
    for (auto& m : UnflushedLog::get().take_made(id)) now.push_back(std::move(m));
  }
  return std::move(now);
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
  const PoolOwned<Sync> sync;
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
    const int dir_fd = sync->dir_fd.get();
    auto done = rt.parallel_for(n, kFlushSplit, [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) {
        sync->errs[k] = file_io::sync_entry(dir_fd, sync->names[k].c_str());
      }
    });
    if (!done) return give_back(io_error(dir, done.error()));
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

}  // namespace ulo
