#include "file_io.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <optional>
#include <vector>

#include "os_error.hpp"

namespace ulo::file_io {
namespace {

// A file that keeps growing while it is read is given up on past this much
// beyond the size it had when opened.
constexpr std::size_t kGrowthAllowance = std::size_t{1} << 20;
// A temporary file of a dead writer on this host is removed once it is this
// old; the age also covers a writer in another process-id namespace.
constexpr std::time_t kStaleTempAge = std::time_t{10} * 60;
constexpr std::string_view kTempMark = ".json.tmp-";

std::atomic<std::uint64_t> g_temp_counter{0};

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

bool is_temp_name(std::string_view name) {
  return !name.empty() && name[0] == '.' && name.find(kTempMark) != std::string_view::npos;
}

// The writer of a temporary file ".<stem>.json.tmp-<pid>-<n>-<host>" when it
// was this host; nothing for any other name.
std::optional<pid_t> own_temp_writer(std::string_view name) {
  if (!is_temp_name(name)) return std::nullopt;
  std::string_view rest = name.substr(name.find(kTempMark) + kTempMark.size());
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

}  // namespace

int Fd::close() noexcept {
  if (fd_ < 0) return 0;
  const int r = ::close(std::exchange(fd_, -1));
  return r == 0 ? 0 : errno;
}

bool usable(std::string_view path) { return path.find('\0') == std::string_view::npos; }

bool exists(const std::string& path) {
  struct stat st;
  return usable(path) && ::stat(path.c_str(), &st) == 0;
}

bool entry_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

int create_dirs(const std::string& path, std::vector<std::string>* made) {
  if (path.empty()) return 0;  // the current directory
  if (!usable(path)) return EINVAL;
  auto created = [&] {
    if (made) made->push_back(path);
    return 0;
  };
  if (::mkdir(path.c_str(), 0777) == 0) return created();
  int err = errno;
  if (err == ENOENT) {
    std::string parent = path;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const auto slash = parent.rfind('/');
    parent = slash == std::string::npos ? std::string()
             : slash == 0               ? std::string("/")
                                        : parent.substr(0, slash);
    if (parent != path) {
      if (int e = create_dirs(parent, made); e != 0) return e;
      if (::mkdir(path.c_str(), 0777) == 0) return created();
      err = errno;
    }
  }
  // Someone else may have made it meanwhile; an existing directory is fine.
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : err;
}

std::string parent_dir(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

int dir_id(const std::string& path, DirId& out) {
  struct stat st;
  if (!usable(path)) return EINVAL;
  if (::stat(path.empty() ? "." : path.c_str(), &st) != 0) return errno;
  out = {st.st_dev, st.st_ino};
  return 0;
}

int sync_fd(int fd) {
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int sync_dir(const std::string& dir) {
  if (!usable(dir)) return EINVAL;
  Fd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return errno;
  // A directory's entries are its metadata: fdatasync would not cover them.
  while (::fsync(fd.get()) != 0) {
    if (errno != EINTR) return errno;
  }
  return fd.close();
}

int sync_entry(int dir_fd, const char* name) {
  Fd fd(::openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return errno == ENOENT ? 0 : errno;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno;
  return S_ISREG(st.st_mode) ? sync_fd(fd.get()) : 0;
}

int make_dir(const std::string& path) {
  return ::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST ? 0 : errno;
}

int remove_file(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

FileRead read_regular(int dir_fd, const char* name, std::string& buf) {
  Fd fd(::openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    const int err = errno;
    struct stat st;
    // Gone since the listing, unless a symbolic link is left that dangles.
    if (err == ENOENT && ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return {FileRead::Gone, 0, 0};
    }
    return {FileRead::Failed, err, 0};
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return {FileRead::Failed, errno, 0};
  if (!S_ISREG(st.st_mode)) return {FileRead::NotRegular, 0, st.st_mode};
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  const std::size_t limit = size + kGrowthAllowance;
  buf.resize(size + 1);  // one more byte shows the end
  std::size_t have = 0;
  for (;;) {
    if (have == buf.size()) {
      if (buf.size() > limit) {
        buf.clear();
        return {FileRead::Failed, EFBIG, 0};
      }
      buf.resize(std::min(limit + 1, buf.size() + 65536));
    }
    const ssize_t n = ::read(fd.get(), buf.data() + have, buf.size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      buf.clear();
      return {FileRead::Failed, errno, 0};
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  buf.resize(have);
  return {};
}

std::string failure_text(const FileRead& r) {
  if (r.status != FileRead::NotRegular) return os_error_text(r.err);
  if (S_ISDIR(r.mode)) return os_error_text(EISDIR);
  const char* what = S_ISFIFO(r.mode)   ? "a FIFO"
                     : S_ISCHR(r.mode)  ? "a character device"
                     : S_ISBLK(r.mode)  ? "a block device"
                     : S_ISSOCK(r.mode) ? "a socket"
                                        : "of an unknown type";
  return std::string("not a regular file: ") + what;
}

int failure_errno(const FileRead& r) {
  if (r.status != FileRead::NotRegular) return r.err;
  return S_ISDIR(r.mode) ? EISDIR : 0;
}

int rename_noreplace(const std::string& from, const std::string& to) {
  // The system call, not the wrapper: glibc has renameat2() only from 2.28
  // and musl not at all. Kernels before 3.15 answer ENOSYS.
  constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE
  if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), kNoReplace) == 0) return 0;
  const int err = errno;
  if (err != EINVAL && err != ENOSYS) return err;
  if (entry_exists(to)) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

TempFile write_temp(const std::string& dir, std::string_view name, std::string_view bytes,
                    bool start_writeback) {
  TempFile out;
  Fd fd;
  for (int attempt = 0; !fd; ++attempt) {
    // The stem is cut so that the longest item name still has room.
    std::string temp_name(".");
    temp_name.append(name.substr(0, std::min<std::size_t>(name.size() - 5, 120)));
    temp_name.append(kTempMark);
    temp_name.append(std::to_string(::getpid())).append("-");
    temp_name.append(std::to_string(++g_temp_counter)).append("-").append(host_tag());
    out.path = join_path(dir, temp_name);
    fd = Fd(::open(out.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd && (errno != EEXIST || attempt > 8)) {
      out.err = errno;
      return out;
    }
  }
  out.err = write_all(fd.get(), bytes);
  // Only a hint: the flush that follows reports what fails.
  if (out.err == 0 && start_writeback) {
    (void)::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  if (const int closed = fd.close(); out.err == 0) out.err = closed;
  if (out.err != 0) ::unlink(out.path.c_str());
  return out;
}

Walk walk_dir(const std::string& dir, bool (*keep)(std::string_view name),
              const std::function<bool(std::string_view name)>& take,
              const std::atomic<bool>& stop, bool tidy) {
  Walk out;
  if (!usable(dir)) {
    out.err = EINVAL;
    return out;
  }
  out.dir = Fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!out.dir) {
    out.err = errno;
    return out;
  }
  // The walk consumes its own descriptor; out.dir stays for opening entries.
  Fd walk_fd(::dup(out.dir.get()));
  DIR* walk = walk_fd ? ::fdopendir(walk_fd.get()) : nullptr;
  if (walk == nullptr) {
    out.err = errno;
    return out;
  }
  (void)walk_fd.release();
  std::vector<std::string> temps;
  for (std::size_t n = 0;; ++n) {
    if (n % 4096 == 0 && stop.load(std::memory_order_relaxed)) {
      out.cut_short = true;
      break;
    }
    errno = 0;
    const dirent* e = ::readdir(walk);
    if (e == nullptr) {
      out.err = errno;
      break;
    }
    const std::string_view name = e->d_name;
    if (keep(name)) {
      if (!take(name)) {
        out.cut_short = true;
        break;
      }
    } else if (tidy && is_temp_name(name)) {
      temps.emplace_back(name);
    }
  }
  ::closedir(walk);
  if (!temps.empty() && !out.cut_short) remove_stale_temps(out.dir.get(), temps);
  return out;
}

}  // namespace ulo::file_io
