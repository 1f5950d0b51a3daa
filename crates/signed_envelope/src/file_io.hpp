// POSIX file plumbing under the envelope queue: owned descriptors, bounded
// reads of regular files, temporary files renamed into place, renames that
// never replace, and the directory walk. Knows file names and bytes, not
// queue items. OS errors come back as numbers, never through errno.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ulo::file_io {

// One owned file descriptor, closed when the holder goes.
class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { close(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Hands the descriptor to a caller that will close it.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes now: 0, or the OS error close() reported.
  int close() noexcept;

 private:
  int fd_ = -1;
};

// A path with a NUL byte cannot be handed to the OS; it would be cut short.
bool usable(std::string_view path);
// Whether something is at `path`, following symbolic links.
bool exists(const std::string& path);
// Whether a directory entry is at `path` (a dangling link counts).
bool entry_exists(const std::string& path);
std::string join_path(std::string_view dir, std::string_view name);

// Creates `path` and its missing parents; 0 or an OS error number. With
// `made`, the directories this call created are appended, outermost first.
int create_dirs(const std::string& path, std::vector<std::string>* made = nullptr);
// The directory holding `path`: "." for a bare name, "/" at the top.
std::string parent_dir(std::string_view path);
// Identifies a directory however its path is spelt.
struct DirId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const DirId&) const = default;
};
// The identity of the directory at `path`, following symbolic links; 0 or
// an OS error number.
int dir_id(const std::string& path, DirId& out);

// Flushes a file's data to stable storage (fdatasync); 0 or an OS error.
int sync_fd(int fd);
// Opens the directory `dir` and flushes its entries (fsync); 0 or an OS
// error number, from the open or from the flush.
int sync_dir(const std::string& dir);
// Flushes the regular file `name` of the directory `dir_fd` (or a path,
// with AT_FDCWD). A name that is gone is fine: what replaced or removed it
// is the directory's to flush.
int sync_entry(int dir_fd, const char* name);
// Creates one directory; an existing one is fine. 0 or an OS error number.
int make_dir(const std::string& path);
// Removes a file; one that is already gone is fine. 0 or an OS error number.
int remove_file(const std::string& path);

// How reading one file ended.
struct FileRead {
  enum Status { Ok, Gone, NotRegular, Failed } status = Ok;
  int err = 0;      // Failed: the OS error
  mode_t mode = 0;  // NotRegular: the file type
};

// Reads the regular file `name` (relative to dir_fd, or a path with
// AT_FDCWD) into `buf`, reused between files. Opened without blocking and
// checked on the descriptor, so a FIFO, a device or a directory is never
// read; the read is bounded by the size the file had when opened. Gone: the
// name has vanished (a dangling symbolic link is not gone but Failed).
FileRead read_regular(int dir_fd, const char* name, std::string& buf);
// Why a read that is not Ok failed, as a message shows it: the OS text, or
// "not a regular file: a FIFO" and the like (a directory reads as the OS
// would report reading it).
std::string failure_text(const FileRead& r);
// The OS error number behind failure_text: EISDIR for a directory, 0 for the
// other file types, which no error number describes.
int failure_errno(const FileRead& r);

// Renames without replacing: 0, EEXIST when `to` exists, or another OS
// error. Where the file system cannot refuse to replace, the target is
// checked first, which is not atomic.
int rename_noreplace(const std::string& from, const std::string& to);

// Writes `bytes` to a new temporary file in `dir` for the final name
// `name` (which ends in ".json"), for the caller to rename into place. The
// temporary name does not end in ".json" and names the writing process and
// host, so that a listing can remove it should the writer die. On failure
// nothing is left behind and `err` is set.
struct TempFile {
  std::string path;
  int err = 0;
};
// With `start_writeback` the kernel starts writing the data out at once, so
// that a flush of many such files later waits for the disk once, not once
// a file.
TempFile write_temp(const std::string& dir, std::string_view name, std::string_view bytes,
                    bool start_writeback = false);

// Reads the directory `dir`, handing each name `keep` accepts to `take`, in
// no particular order, with the directory held open so that each entry can
// be opened relative to it. With `tidy`, temporary files left on this host
// by writers that have died are removed on the way (best effort). The walk
// ends early when `take` returns false or `stop` turns true (checked every
// few thousand names); `err` is set when the directory cannot be read.
struct Walk {
  Fd dir;
  int err = 0;
  bool cut_short = false;
};
Walk walk_dir(const std::string& dir, bool (*keep)(std::string_view name),
              const std::function<bool(std::string_view name)>& take,
              const std::atomic<bool>& stop, bool tidy);

}  // namespace ulo::file_io
