#include "queue.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

#include "quote.hpp"
#include "json.hpp"

namespace ulo {
namespace {

// Invalid UTF-8 becomes U+FFFD, one per maximal ill-formed subsequence.
std::string lossy_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      out += s[i++];
      continue;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2;
      if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
      if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    }
    std::size_t len = 1;
    if (need > 0) {
      while (len <= need && i + len < s.size()) {
        const auto b = static_cast<unsigned char>(s[i + len]);
        const unsigned char l = len == 1 ? lo : 0x80, h = len == 1 ? hi : 0xBF;
        if (b < l || b > h) break;
        ++len;
      }
    }
    if (need > 0 && len == need + 1) {
      out.append(s.data() + i, len);
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += len;
  }
  return out;
}

std::string os_error_text(int err) {
  return std::system_category().message(err) + " (os error " +
         std::to_string(err) + ")";
}

QueueError io_error(std::string_view path, int err) {
  return {QueueError::Io, lossy_utf8(path), os_error_text(err)};
}

QueueError io_error(std::string_view path, const BlockingError& e) {
  return {QueueError::Io, lossy_utf8(path), e.text};
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

// A path with a NUL byte cannot be handed to the OS; it would be cut short.
bool usable(const std::string& path) {
  return path.find('\0') == std::string::npos;
}

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

std::atomic<std::uint64_t> g_tmp_counter{0};

// Writes `bytes` to a temporary file next to `path`, then renames it over
// `path`, so readers see the old item or the new one, never a torn file.
// The temporary name does not end in ".json", so listings skip it.
int write_replace(const std::string& dir, const std::string& name,
                  const std::string& path, std::string_view bytes) {
  if (!usable(path)) return EINVAL;
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    tmp = join_path(dir, "." + name + ".tmp-" + std::to_string(::getpid()) +
                             "-" + std::to_string(++g_tmp_counter));
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt > 8)) return errno;
  }
  int err = write_all(fd, bytes);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) ::unlink(tmp.c_str());
  return err;
}

// The extension is what follows the last '.', unless that '.' starts the
// name; the ".json" item files are kept, everything else is skipped.
bool has_json_extension(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 &&
         name.substr(dot + 1) == "json";
}

struct Listing {
  std::vector<std::string> names;
  int dir_fd = -1;  // kept open so that each item is opened relative to it
  int err = 0;
};

Listing list_names(const std::string& dir) {
  Listing out;
  if (!usable(dir)) return {{}, -1, EINVAL};
  out.dir_fd = ::open(dir.empty() ? "." : dir.c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (out.dir_fd < 0) return {{}, -1, errno};
  const int listing_fd = ::dup(out.dir_fd);
  DIR* d = listing_fd < 0 ? nullptr : ::fdopendir(listing_fd);
  if (!d) {
    out.err = errno;
    if (listing_fd >= 0) ::close(listing_fd);
    return out;
  }
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d);
    if (!e) {
      out.err = errno;
      break;
    }
    std::string_view name = e->d_name;
    if (has_json_extension(name)) out.names.emplace_back(name);
  }
  ::closedir(d);
  return out;
}

// Reads the whole file into `buf` (reused between files); 0 or an errno.
int read_file(int dir_fd, const std::string& name, std::string& buf) {
  const int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  std::size_t want = 4096;
  bool regular = false;
  if (::fstat(fd, &st) == 0) {
    regular = S_ISREG(st.st_mode);
    want = static_cast<std::size_t>(st.st_size) + 1;  // +1 shows the end
  }
  buf.clear();
  int err = 0;
  for (;;) {
    const std::size_t have = buf.size();
    buf.resize(have + want);
    const ssize_t n = ::read(fd, buf.data() + have, want);
    if (n < 0) {
      buf.resize(have);
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    buf.resize(have + static_cast<std::size_t>(n));
    if (n == 0) break;
    // A short read of a regular file means its end was reached.
    if (regular && static_cast<std::size_t>(n) < want) break;
    want = std::max<std::size_t>(want, 4096);
  }
  ::close(fd);
  return err;
}

}  // namespace

std::string QueueError::message() const {
  switch (kind) {
    case Io:
      return "queue I/O error at " + path + ": " + detail;
    case Json:
      return "queue JSON error: " + detail;
    case EmptyId: {
      std::string out = "queue id has no file-name characters: ";
      append_quoted(out, detail);
      return out;
    }
  }
  return {};
}

std::string sanitize_queue_id(std::string_view id) {
  std::string out;
  out.reserve(id.size());
  for (const char c : id) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
        (c >= '0' && c <= '9') || c == '-' || c == '_') {
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
    return unexpected(QueueError{QueueError::EmptyId, {}, envelope.exchange_id});
  }
  if (!exists(dir)) {
    auto made = rt.run_blocking([&] { return create_dirs(dir); });
    if (!made) return unexpected(io_error(dir, made.error()));
    if (*made != 0) return unexpected(io_error(dir, *made));
  }
  const QueuedItem item{envelope.exchange_id, std::string(pair_class), envelope};
  const std::string bytes = queued_item_to_indented_json(item);
  const std::string path = join_path(dir, name);
  auto written =
      rt.run_blocking([&] { return write_replace(dir, name, path, bytes); });
  if (!written) return unexpected(io_error(path, written.error()));
  if (*written != 0) return unexpected(io_error(path, *written));
  return {};
}

Result<std::vector<QueuedItem>, QueueError> queue_list(Runtime& rt,
                                                       const std::string& dir) {
  if (!exists(dir)) return std::vector<QueuedItem>{};
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
  // Files are read and decoded in contiguous chunks on several pool threads.
  // Each chunk stops at its first failure; the failure reported is the one
  // of the earliest file, exactly as a one-by-one pass would report it.
  const std::size_t hw = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t chunks = std::clamp<std::size_t>(n / 256, 1, std::min<std::size_t>(hw, 4));
  std::vector<std::optional<QueueError>> errors(chunks);
  std::atomic<std::size_t> first_failure{n};
  auto read_chunk = [&](std::size_t c) {
    const std::size_t begin = n * c / chunks, end = n * (c + 1) / chunks;
    std::string buf;
    for (std::size_t i = begin; i < end; ++i) {
      if (i > first_failure.load(std::memory_order_relaxed)) return;
      std::optional<QueueError> err;
      if (int e = read_file(close_dir.fd, names[i], buf); e != 0) {
        err = io_error(join_path(dir, names[i]), e);
      } else if (auto item = queued_item_from_json(buf); !item) {
        err = QueueError{QueueError::Json, {}, item.error().message};
      } else {
        items[i] = std::move(*item);
      }
      if (err) {
        errors[c] = std::move(err);
        std::size_t seen = first_failure.load();
        while (i < seen && !first_failure.compare_exchange_weak(seen, i)) {
        }
        return;
      }
    }
  };
  auto done = chunks == 1 ? rt.run_blocking([&] { read_chunk(0); })
                          : rt.run_blocking_n(chunks, read_chunk);
  if (!done) {
    return unexpected(io_error(dir, done.error()));
  }
  for (auto& e : errors) {
    if (e) return unexpected(std::move(*e));
  }
  return items;
}

Result<void, QueueError> queue_drop(Runtime& rt, const std::string& dir,
                                    std::string_view queue_id) {
  const std::string path = queue_file_path(dir, queue_id);
  if (!exists(path)) return {};  // nothing to drop
  auto removed = rt.run_blocking(
      [&] { return ::unlink(path.c_str()) == 0 ? 0 : errno; });
  if (!removed) return unexpected(io_error(path, removed.error()));
  if (*removed != 0) return unexpected(io_error(path, *removed));
  return {};
}

}  // namespace ulo
