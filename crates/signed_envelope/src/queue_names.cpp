// The queue's names and errors: which directory entries are items, how an
// id becomes a file name, and what each failure is called.
#include <fcntl.h>

#include <cstdlib>

#include "os_error.hpp"
#include "queue.hpp"
#include "queue_internal.hpp"
#include "quote.hpp"
#include "record_table.hpp"
#include "utf8.hpp"

namespace ulo {
namespace {

using file_io::join_path;

// The characters an id keeps in its file name; the rest are dropped, so an
// id never leaves the directory.
constexpr bool is_id_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

std::string shown(std::string_view path) { return echoed(utf8::lossy(path)); }

std::string quoted_id(std::string_view id) {
  std::string out;
  append_quoted_bounded(out, id);
  return out;
}

}  // namespace

bool is_entry_name(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "json";
}

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

Existing read_existing(const std::string& path) {
  Existing out;
  std::string buf;
  out.read = file_io::read_regular(AT_FDCWD, path.c_str(), buf);
  if (out.read.status == file_io::FileRead::Ok) {
    auto item = decode_record<QueuedItem>(buf, kQueuedItemRecord);
    if (item) out.item = std::move(*item);
  }
  return out;
}

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

}  // namespace ulo
