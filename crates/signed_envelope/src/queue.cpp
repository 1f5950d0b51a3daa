#include "queue.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <thread>
#include <utility>

#include "json.hpp"
#include "os_error.hpp"
#include "quote.hpp"
#include "utf8.hpp"

namespace ulo {
namespace {

// A file that keeps growing while it is read is given up on past this much
// beyond the size it had when opened.
constexpr std::size_t kGrowthAllowance = std::size_t{1} << 20;
// A temporary file of a dead writer on this host is removed once it is this
// old; the age also covers a writer in another process-id namespace.
constexpr std::time_t kStaleTempAge = std::time_t{10} * 60;

QueueError io_error(std::string path, int err) {
  return {QueueError::Io, std::move(path), os_error_text(err), {}};
}

QueueError io_error(std::string path, const BlockingError& e) {
  return {QueueError::Io, std::move(path), e.text, {}};
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

// A path with a NUL byte cannot be handed to the OS; it would be cut short.
bool usable(std::string_view path) { return path.find('\0') == std::string_view::npos; }

// Metadata query following symbolic links; made on the operation's thread.
bool exists(const std::string& path) {
  struct stat st;
  return usable(path) && ::stat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates `path` and its missing parents; 0 or an OS error number.
int create_dirs(const std::string& path) {
  if (path.empty()) return 0;  // the current directory
  if (!usable(path)) return EINVAL;
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  int err = errno;
  if (err == ENOENT) {
    std::string parent = path;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const auto slash = parent.rfind('/');
    parent = slash == std::string::npos ? std::string()
             : slash == 0               ? std::string("/")
                                        : parent.substr(0, slash);
    if (parent != path) {
      if (int e = create_dirs(parent); e != 0) return e;
      if (::mkdir(path.c_str(), 0777) == 0) return 0;
      err = errno;
    }
  }
  // Someone else may have made it meanwhile; an existing directory is fine.
  return is_dir(path) ? 0 : err;
}

int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

// This host's name as it appears in temporary file names: letters, digits
// and '-' only, so that the name parses back unambiguously.
const std::string& host_tag() {
  static const std::string tag = [] {
    char buf[256] = {};
    std::string out;
    if (::gethostname(buf, sizeof buf - 1) == 0) {
      for (const char* p = buf; *p && out.size() < 64; ++p) {
        const char c = *p;
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-';
        out += keep ? c : '_';
      }
    }
    return out.empty() ? std::string("unknown") : out;
  }();
  return tag;
}

constexpr std::string_view kTempMark = ".json.tmp-";

// The writer of a temporary file ".<id>.json.tmp-<pid>-<n>-<host>" when it
// was this host; nothing for any other name.
std::optional<pid_t> own_temp_writer(std::string_view name) {
  if (name.empty() || name[0] != '.') return std::nullopt;
  const auto mark = name.find(kTempMark);
  if (mark == std::string_view::npos) return std::nullopt;
  std::string_view rest = name.substr(mark + kTempMark.size());
  auto number = [&rest](long long& out) {
    std::size_t k = 0;
    out = 0;
    while (k < rest.size() && k < 18 && rest[k] >= '0' && rest[k] <= '9') {
      out = out * 10 + (rest[k] - '0');
      ++k;
    }
    if (k == 0 || k >= rest.size() || rest[k] != '-') return false;
    rest.remove_prefix(k + 1);
    return true;
  };
  long long pid = 0, counter = 0;
  if (!number(pid) || !number(counter) || rest != host_tag() || pid <= 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

// Removes temporary files whose writer on this host is gone and which are
// old enough. Best effort: whatever fails stays for a later listing.
void remove_stale_temps(int dir_fd, const std::vector<std::string>& names) {
  const std::time_t now = std::time(nullptr);
  for (const auto& name : names) {
    const auto pid = own_temp_writer(name);
    if (!pid || *pid == ::getpid()) continue;
    if (::kill(*pid, 0) == 0 || errno != ESRCH) continue;  // alive, or unknown
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || now - st.st_mtime < kStaleTempAge) continue;
    ::unlinkat(dir_fd, name.c_str(), 0);
  }
}

std::atomic<std::uint64_t> g_tmp_counter{0};

// How reading one entry ended.
struct Entry {
  enum Status { Ok, Gone, NotRegular, Failed } status = Ok;
  int err = 0;        // Failed: the OS error
  mode_t mode = 0;    // NotRegular: the file type
};

// Reads the regular file `name` (relative to dir_fd) into `buf`, reused
// between files. Opened without blocking and checked on the descriptor, so
// a FIFO, a device or a directory is never read; the read is bounded by the
// size the file had when opened.
Entry read_entry(int dir_fd, const char* name, std::string& buf) {
  const int fd = ::openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    struct stat st;
    // Gone since the listing, unless a symbolic link is left that dangles.
    if (err == ENOENT && ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return {Entry::Gone, 0, 0};
    }
    return {Entry::Failed, err, 0};
  }
  struct Close {
    int fd;
    ~Close() { ::close(fd); }
  } close{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) return {Entry::Failed, errno, 0};
  if (!S_ISREG(st.st_mode)) return {Entry::NotRegular, 0, st.st_mode};
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  const std::size_t limit = size + kGrowthAllowance;
  buf.resize(size + 1);  // one more byte shows the end
  std::size_t have = 0;
  for (;;) {
    if (have == buf.size()) {
      if (buf.size() > limit) {
        buf.clear();
        return {Entry::Failed, EFBIG, 0};
      }
      buf.resize(std::min(limit + 1, buf.size() + 65536));
    }
    const ssize_t n = ::read(fd, buf.data() + have, buf.size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      buf.clear();
      return {Entry::Failed, errno, 0};
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  buf.resize(have);
  return {};
}

QueueError not_regular(std::string path, mode_t mode) {
  // A directory is reported as the OS would on reading it.
  if (S_ISDIR(mode)) return io_error(std::move(path), EISDIR);
  const char* what = S_ISFIFO(mode)   ? "a FIFO"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : "of an unknown type";
  return {QueueError::Io, std::move(path), std::string("not a regular file: ") + what, {}};
}

QueueError entry_error(std::string path, const Entry& e) {
  return e.status == Entry::NotRegular ? not_regular(std::move(path), e.mode)
                                       : io_error(std::move(path), e.err);
}

// Whether `name` is sanitize_queue_id(id) + ".json", without building it.
bool is_file_name_of(std::string_view id, std::string_view name) {
  if (name.size() < 5 || name.substr(name.size() - 5) != ".json") return false;
  name.remove_suffix(5);
  std::size_t k = 0;
  for (const char c : id) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_') {
      if (k == name.size() || name[k] != c) return false;
      ++k;
    }
  }
  return k == name.size();
}

// The item in a file, for checks before replacing or removing it.
struct Existing {
  Entry entry;
  std::optional<QueuedItem> item;  // Ok and decodable
  std::string json_error;          // Ok but not decodable
};

Existing read_existing(const std::string& path) {
  Existing out;
  std::string buf;
  out.entry = read_entry(AT_FDCWD, path.c_str(), buf);
  if (out.entry.status != Entry::Ok) return out;
  if (auto item = queued_item_from_json(buf)) {
    out.item = std::move(*item);
  } else {
    out.json_error = item.error().message;
  }
  return out;
}

struct WriteOutcome {
  int err = 0;
  std::optional<std::string> other_id;  // the file held this id instead
};

// Writes `bytes` to a temporary file next to `path`, then renames it over
// `path`, so readers see the old item or the new one, never a torn file.
// The temporary name does not end in ".json", so listings skip it; it names
// the writer's process and host so that listings can remove it should the
// writer die. A first push renames without replacing and so reads nothing;
// only when `path` exists is its item's id compared with `id`.
WriteOutcome write_replace(const std::string& dir, const std::string& name,
                           const std::string& path, std::string_view bytes, std::string_view id) {
  if (!usable(path)) return {EINVAL, {}};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    // The id part is cut so that the longest item name still has room.
    std::string tmp_name(".");
    tmp_name.append(name, 0, std::min<std::size_t>(name.size() - 5, 120));
    tmp_name.append(kTempMark);
    tmp_name.append(std::to_string(::getpid())).append("-");
    tmp_name.append(std::to_string(++g_tmp_counter)).append("-").append(host_tag());
    tmp = join_path(dir, tmp_name);
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt > 8)) return {errno, {}};
  }
  WriteOutcome out;
  out.err = write_all(fd, bytes);
  if (::close(fd) != 0 && out.err == 0) out.err = errno;
  if (out.err == 0) {
    const int r = ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    const int err = r == 0 ? 0 : errno;
    if (err == EEXIST || err == EINVAL || err == ENOSYS) {
      // Something is there already (or the file system cannot tell us).
      Existing old = read_existing(path);
      if (old.item && old.item->queue_id != id) {
        out.other_id = std::move(old.item->queue_id);
      } else if (::rename(tmp.c_str(), path.c_str()) != 0) {
        out.err = errno;
      } else {
        return out;
      }
    } else {
      out.err = err;
      if (err == 0) return out;
    }
  }
  ::unlink(tmp.c_str());
  return out;
}

// The extension is what follows the last '.', unless that '.' starts the
// name; the ".json" item files are kept, everything else is skipped.
bool has_json_extension(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "json";
}

struct Listing {
  std::vector<std::string> names;
  int dir_fd = -1;  // kept open so that each item is opened relative to it
  int err = 0;
};

Listing list_names(const std::string& dir) {
  Listing out;
  if (!usable(dir)) return {{}, -1, EINVAL};
  out.dir_fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (out.dir_fd < 0) return {{}, -1, errno};
  const int listing_fd = ::dup(out.dir_fd);
  DIR* d = listing_fd < 0 ? nullptr : ::fdopendir(listing_fd);
  if (!d) {
    out.err = errno;
    if (listing_fd >= 0) ::close(listing_fd);
    return out;
  }
  std::vector<std::string> temps;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d);
    if (!e) {
      out.err = errno;
      break;
    }
    std::string_view name = e->d_name;
    if (has_json_extension(name)) {
      out.names.emplace_back(name);
    } else if (name[0] == '.' && name.find(kTempMark) != std::string_view::npos) {
      temps.emplace_back(name);
    }
  }
  ::closedir(d);
  if (!temps.empty()) remove_stale_temps(out.dir_fd, temps);
  return out;
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
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_') {
      out += c;
    }
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
                                    const SignedEnvelope& envelope) {
  // An id without file-name characters would land in ".json", which no
  // listing returns: refuse it rather than lose the item.
  const std::string name = sanitize_queue_id(envelope.exchange_id) + ".json";
  if (name.size() == 5) {
    return unexpected(QueueError{QueueError::EmptyId, {}, envelope.exchange_id, {}});
  }
  if (!exists(dir)) {
    auto made = rt.run_blocking([&] { return create_dirs(dir); });
    if (!made) return unexpected(io_error(dir, made.error()));
    if (*made != 0) return unexpected(io_error(dir, *made));
  }
  const QueuedItem item{envelope.exchange_id, std::string(pair_class), envelope};
  const std::string bytes = queued_item_to_indented_json(item);
  std::string path = join_path(dir, name);
  auto written = rt.run_blocking(
      [&] { return write_replace(dir, name, path, bytes, envelope.exchange_id); });
  if (!written) return unexpected(io_error(std::move(path), written.error()));
  if (auto& other = written->other_id) {
    return unexpected(QueueError{QueueError::IdConflict, std::move(path), envelope.exchange_id,
                                 std::move(*other)});
  }
  if (written->err != 0) return unexpected(io_error(std::move(path), written->err));
  return {};
}

Result<QueueScan, QueueError> queue_scan(Runtime& rt, const std::string& dir) {
  if (!exists(dir)) return QueueScan{};
  auto listing = rt.run_blocking([&] { return list_names(dir); });
  if (!listing) return unexpected(io_error(dir, listing.error()));
  struct CloseDir {
    int fd;
    ~CloseDir() {
      if (fd >= 0) ::close(fd);
    }
  } close_dir{listing->dir_fd};
  if (listing->err != 0) return unexpected(io_error(dir, listing->err));
  std::vector<std::string>& names = listing->names;
  // Byte-wise order of the names, a prefix first.
  std::sort(names.begin(), names.end());

  const std::size_t n = names.size();
  std::vector<QueuedItem> items(n);
  enum : unsigned char { kItem, kGone, kBad };
  std::vector<unsigned char> status(n, kItem);
  // Files are read and decoded in contiguous chunks on several pool threads;
  // each chunk keeps its bad entries, in order, with their index.
  const std::size_t hw = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t chunks = std::clamp<std::size_t>(n / 256, 1, std::min<std::size_t>(hw, 4));
  std::vector<std::vector<std::pair<std::size_t, QueueError>>> bad(chunks);
  auto read_chunk = [&](std::size_t c) {
    const std::size_t begin = n * c / chunks, end = n * (c + 1) / chunks;
    std::string buf;
    for (std::size_t i = begin; i < end; ++i) {
      const Entry e = read_entry(close_dir.fd, names[i].c_str(), buf);
      if (e.status == Entry::Gone) {  // dropped since the listing
        status[i] = kGone;
        continue;
      }
      std::optional<QueueError> err;
      if (e.status != Entry::Ok) {
        err = entry_error(join_path(dir, names[i]), e);
      } else if (auto item = queued_item_from_json(buf); !item) {
        err = QueueError{QueueError::Json, join_path(dir, names[i]), item.error().message, {}};
      } else if (!is_file_name_of(item->queue_id, names[i])) {
        // drop_item(queue_id) could never remove it.
        err = QueueError{QueueError::Misplaced, join_path(dir, names[i]), item->queue_id, {}};
      } else {
        items[i] = std::move(*item);
      }
      if (err) {
        status[i] = kBad;
        bad[c].emplace_back(i, std::move(*err));
      }
    }
  };
  auto done = chunks == 1 ? rt.run_blocking([&] { read_chunk(0); })
                          : rt.run_blocking_n(chunks, read_chunk);
  if (!done) return unexpected(io_error(dir, done.error()));

  QueueScan out;
  std::size_t good = 0;
  for (const unsigned char s : status) good += s == kItem;
  if (good == n) {
    out.items = std::move(items);
  } else {
    out.items.reserve(good);
    for (std::size_t i = 0; i < n; ++i) {
      if (status[i] == kItem) out.items.push_back(std::move(items[i]));
    }
  }
  for (auto& chunk : bad) {
    for (auto& [index, err] : chunk) out.bad.push_back(std::move(err));
  }
  return out;
}

Result<std::vector<QueuedItem>, QueueError> queue_list(Runtime& rt, const std::string& dir) {
  auto scan = queue_scan(rt, dir);
  if (!scan) return unexpected(std::move(scan.error()));
  if (!scan->bad.empty()) return unexpected(std::move(scan->bad.front()));
  return std::move(scan->items);
}

Result<void, QueueError> queue_drop(Runtime& rt, const std::string& dir,
                                    std::string_view queue_id) {
  std::string path = queue_file_path(dir, queue_id);
  if (!exists(path)) return {};  // nothing to drop
  struct Outcome {
    std::optional<QueueError> error;
  };
  auto removed = rt.run_blocking([&]() -> Outcome {
    // Only the item of another id whose name sanitises alike is kept: the
    // item asked for is absent. Anything else at the path goes, as an
    // unreadable or undecodable file named for this id can hold no other.
    Existing old = read_existing(path);
    if (old.entry.status == Entry::Gone) return {};
    if (old.item && old.item->queue_id != queue_id) return {};
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return {io_error(path, errno)};
    return {};
  });
  if (!removed) return unexpected(io_error(std::move(path), removed.error()));
  if (auto& error = removed->error) return unexpected(std::move(*error));
  return {};
}

Result<std::string, QueueError> queue_quarantine(Runtime& rt, const std::string& dir,
                                                 std::string_view path) {
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const bool in_queue = slash == std::string_view::npos || join_path(dir, name) == path;
  if (!in_queue || !has_json_extension(name) || !usable(path) || !usable(dir)) {
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
    if (::mkdir(qdir.c_str(), 0777) != 0 && errno != EEXIST) return {errno, qdir, {}};
    const std::string base(name);
    for (int n = 0; n < 1000; ++n) {
      std::string target = join_path(qdir, n == 0 ? base : base + "." + std::to_string(n));
      // Never over a file already quarantined.
      int r = ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
      if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
        struct stat st;
        if (::lstat(target.c_str(), &st) == 0) continue;
        r = ::rename(source.c_str(), target.c_str());
      }
      if (r == 0) return {0, {}, std::move(target)};
      if (errno == EEXIST) continue;
      const int err = errno;
      struct stat st;
      // A missing source is reported at the source; anything else where it
      // failed.
      return {err, ::lstat(source.c_str(), &st) != 0 ? source : qdir, {}};
    }
    return {EEXIST, qdir, {}};
  });
  if (!moved) return unexpected(io_error(source, moved.error()));
  if (moved->err != 0) return unexpected(io_error(std::move(moved->err_path), moved->err));
  return std::move(moved->target);
}

}  // namespace ulo
