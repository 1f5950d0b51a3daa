// Queue paths that no Python caller can pass: a Python str is always valid
// UTF-8, but a directory name need not be.
#include "queue.hpp"
#include "queue_internal.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

TEST(Queue, InvalidUtf8InPathIsShownAsReplacementCharacter) {
  char tmpl[] = "/tmp/ulo-queue-test-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string file = std::string(tmpl) + "/plain";
  std::ofstream(file) << "x";
  ulo::SignedEnvelope e;
  e.exchange_id = "e";
  auto r = ulo::queue_push(**ulo::Runtime::get(), file + "/\xff\xe2\x82", "p", e);
  fs::remove_all(tmpl);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ulo::QueueError::Io);
  EXPECT_EQ(r.error().path, file + "/\xff\xe2\x82");  // exact, for the caller to act on
  EXPECT_EQ(r.error().message().substr(0, 19 + file.size() + 7),
            "queue I/O error at " + file + "/\xEF\xBF\xBD\xEF\xBF\xBD");
}

// The log of unflushed changes is keyed by inode, which a new directory can
// take over from a removed one, inheriting directories created under the
// removed one: those are gone, and must not fail the new one's flush.
TEST(Queue, FlushPassesOverCreatedDirectoriesThatAreGone) {
  char tmpl[] = "/tmp/ulo-queue-test-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  ulo::file_io::DirId id;
  ASSERT_EQ(ulo::file_io::dir_id(dir, id), 0);
  ulo::Unflushed inherited;
  inherited.made = {dir + "/removed/q", dir + "/file/q"};
  std::ofstream(dir + "/file") << "x";  // ENOTDIR, not ENOENT
  ulo::note_unflushed(id, std::move(inherited));
  auto synced = ulo::queue_sync(**ulo::Runtime::get(), dir);
  fs::remove_all(tmpl);
  EXPECT_TRUE(synced.has_value()) << synced.error().message();
}

}  // namespace
