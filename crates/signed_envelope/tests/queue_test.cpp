#include "queue.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

ulo::Runtime& rt() { return **ulo::Runtime::get(); }

ulo::SignedEnvelope envelope(std::string id) {
  ulo::SignedEnvelope e;
  e.exchange_id = std::move(id);
  e.peer_self = {ulo::AddressClass::body, "agent", "alice"};
  e.direction = ulo::Direction::outbound;
  e.request_hash = "aa11";
  e.our_signature = "sig-a";
  e.opened_at = {1776243600, 0};  // 2026-04-15T09:00:00Z
  e.protocol_hint = "quic";
  e.counterparty_identifier = "peer-7";
  return e;
}

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void spit(const fs::path& p, std::string_view text) {
  std::ofstream(p, std::ios::binary) << text;
}

std::vector<std::string> ids(const std::vector<ulo::QueuedItem>& items) {
  std::vector<std::string> out;
  for (const auto& it : items) out.push_back(it.queue_id);
  return out;
}

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ulo-queue-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root = tmpl;
    dir = (root / "q").string();
  }
  void TearDown() override { fs::remove_all(root); }

  auto push(std::string id, std::string pair_class = "routing") {
    return ulo::queue_push(rt(), dir, pair_class, envelope(std::move(id)));
  }
  auto list() { return ulo::queue_list(rt(), dir); }

  fs::path root;
  std::string dir;
};

TEST_F(QueueTest, PushWritesIndentedFileAndListReadsItBack) {
  ASSERT_TRUE(push("ex-1").has_value());
  EXPECT_EQ(slurp(fs::path(dir) / "ex-1.json"), R"({
  "queue_id": "ex-1",
  "pair_class": "routing",
  "envelope": {
    "exchange_id": "ex-1",
    "peer_self": {
      "class": "body",
      "type": "agent",
      "ref": "alice"
    },
    "direction": "outbound",
    "request_hash": "aa11",
    "our_signature": "sig-a",
    "opened_at": "2026-04-15T09:00:00Z",
    "protocol_hint": "quic",
    "counterparty_identifier": "peer-7"
  }
})");
  auto items = list();
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 1u);
  EXPECT_EQ((*items)[0], (ulo::QueuedItem{"ex-1", "routing", envelope("ex-1")}));
  // Nothing but the item file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);
}

TEST_F(QueueTest, DirectoryIsCreatedOnlyByPush) {
  dir = (root / "a" / "b" / "q").string();
  auto items = list();
  ASSERT_TRUE(items.has_value());
  EXPECT_TRUE(items->empty());
  EXPECT_FALSE(fs::exists(root / "a"));
  ASSERT_TRUE(push("x").has_value());
  EXPECT_TRUE(fs::is_regular_file(fs::path(dir) / "x.json"));
  fs::create_directory(root / "empty");
  dir = (root / "empty").string();
  EXPECT_TRUE(list()->empty());
}

TEST_F(QueueTest, OrderNamesAndExtensionRule) {
  for (const char* id : {"0190a5b2-0000-7000-8000-000000000002",
                         "0190a5b2-0000-7000-8000-000000000001", "b", "ab",
                         "a.b", "x/y..z", "a"}) {
    ASSERT_TRUE(push(id, std::string("pc-") + id).has_value()) << id;
  }
  for (const char* other : {"x.txt", "x.JSON", "x", ".json", "j.json.bak",
                            ".a.json.tmp-1-1"}) {
    spit(fs::path(dir) / other, "not an item");
  }
  auto items = list();
  ASSERT_TRUE(items.has_value()) << items.error().message();
  // "ab" and "a.b" share ab.json: the later push replaced the earlier.
  EXPECT_EQ(ids(*items),
            (std::vector<std::string>{"0190a5b2-0000-7000-8000-000000000001",
                                      "0190a5b2-0000-7000-8000-000000000002",
                                      "a", "a.b", "b", "x/y..z"}));
  EXPECT_EQ((*items)[3].pair_class, "pc-a.b");
  EXPECT_TRUE(fs::exists(fs::path(dir) / "xyz.json"));

  ASSERT_TRUE(ulo::queue_drop(rt(), dir, "x/y..z").has_value());
  EXPECT_FALSE(fs::exists(fs::path(dir) / "xyz.json"));
  auto bridged = ulo::Runtime::run(
      [&](ulo::Runtime& r) { return ulo::queue_drop(r, dir, "never-pushed"); });
  ASSERT_TRUE(bridged.has_value() && bridged->has_value());
  EXPECT_EQ(list()->size(), 5u);
}

TEST_F(QueueTest, FailuresNameTheirPath) {
  ASSERT_TRUE(push("ok").has_value());
  const fs::path d(dir);
  const std::string file = (root / "plain").string();
  spit(file, "x");

  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::function<ulo::Result<void, ulo::QueueError>()> act;
    std::string message;
  };
  auto as_void = [](auto r) -> ulo::Result<void, ulo::QueueError> {
    if (!r) return ulo::unexpected(r.error());
    return {};
  };
  const std::vector<Case> cases = {
      {"directory named like an item",
       [&] { fs::create_directory(d / "y.json"); },
       [&] { return as_void(list()); },
       "queue I/O error at " + dir + "/y.json: Is a directory (os error 21)"},
      {"listing a regular file", [] {},
       [&] { return as_void(ulo::queue_list(rt(), file)); },
       "queue I/O error at " + file + ": Not a directory (os error 20)"},
      {"creating a queue below a regular file", [] {},
       [&] {
         return ulo::queue_push(rt(), file + "/q", "p", envelope("e"));
       },
       "queue I/O error at " + file + "/q: Not a directory (os error 20)"},
      {"pushing over a directory", [] {},
       [&] { return push("y"); },
       "queue I/O error at " + dir + "/y.json: Is a directory (os error 21)"},
      {"dropping a directory", [] {},
       [&] { return ulo::queue_drop(rt(), dir, "y"); },
       "queue I/O error at " + dir + "/y.json: Is a directory (os error 21)"},
      {"the first failing file ends the listing",
       [&] { spit(d / "a.json", "[1,"); },
       [&] { return as_void(list()); },
       "queue JSON error: "},
  };
  for (const auto& c : cases) {
    c.arrange();
    auto r = c.act();
    ASSERT_FALSE(r.has_value()) << c.name;
    if (c.message.ends_with(": ")) {
      EXPECT_EQ(r.error().kind, ulo::QueueError::Json) << c.name;
      EXPECT_TRUE(r.error().message().starts_with(c.message)) << c.name;
      EXPECT_NE(r.error().message(), c.message) << c.name;
    } else {
      EXPECT_EQ(r.error().kind, ulo::QueueError::Io) << c.name;
      EXPECT_EQ(r.error().message(), c.message) << c.name;
    }
  }
  // A directory that cannot be queried simply has no items.
  EXPECT_TRUE(ulo::queue_list(rt(), file + "/q")->empty());
  // No temporary file survived the failed push.
  for (const auto& e : fs::directory_iterator(d))
    EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos);
}

TEST_F(QueueTest, InvalidUtf8InPathIsShownAsReplacementCharacter) {
  const std::string file = (root / "plain").string();
  spit(file, "x");
  auto r = ulo::queue_push(rt(), file + "/\xff\xe2\x82", "p", envelope("e"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().path, file + "/\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(QueueTest, IdsWithoutFileNameCharactersAreRefused) {
  for (const char* id : {"", "...", "\xc3\xa9", "/ \\"}) {
    auto r = push(id);
    ASSERT_FALSE(r.has_value()) << id;
    EXPECT_EQ(r.error().kind, ulo::QueueError::EmptyId);
    EXPECT_EQ(r.error().detail, id);
  }
  EXPECT_EQ(push("").error().message(),
            "queue id has no file-name characters: \"\"");
  EXPECT_EQ(push("\"\t").error().message(),
            "queue id has no file-name characters: \"\\\"\\t\"");
  EXPECT_FALSE(fs::exists(dir));  // nothing written, not even the directory
}

TEST_F(QueueTest, FailedWriteKeepsThePreviousItem) {
  // Runs in a fresh process (the runtime's threads do not survive a plain
  // fork), where writes past 64 bytes fail with EFBIG.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto child = [&]() -> int {
    if (!push("keep", "old")) return 10;
    const std::string before = slurp(fs::path(dir) / "keep.json");
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{64, 64};
    if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return 11;
    auto r = push("keep", "new");
    if (r || r.error().message() != "queue I/O error at " + dir +
                                        "/keep.json: File too large "
                                        "(os error 27)")
      return 12;
    if (slurp(fs::path(dir) / "keep.json") != before) return 13;
    auto items = list();
    if (!items || items->size() != 1 || (*items)[0].pair_class != "old")
      return 14;
    if (std::distance(fs::directory_iterator(dir), {}) != 1) return 15;
    return 0;
  };
  auto run_child = [&] {
    const int code = child();
    fs::remove_all(root);
    std::_Exit(code);
  };
  EXPECT_EXIT(run_child(), ::testing::ExitedWithCode(0), "");
}

TEST_F(QueueTest, ConcurrentPushesAndListsNeverSeeTornFiles) {
  ASSERT_TRUE(push("seed").has_value());
  constexpr int kThreads = 6, kPerThread = 60;
  std::atomic<bool> stop{false};
  std::atomic<int> list_failures{0};
  std::thread reader([&] {
    while (!stop) {
      auto r = list();
      if (!r) ++list_failures;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Overlapping ids: every id is written by two threads.
        std::string id = "id-", pc = "t";
        id += std::to_string((t / 2) * kPerThread + i);
        pc += std::to_string(t);
        EXPECT_TRUE(push(id, pc).has_value());
      }
    });
  }
  for (auto& w : writers) w.join();
  stop = true;
  reader.join();
  EXPECT_EQ(list_failures.load(), 0);
  auto items = list();
  ASSERT_TRUE(items.has_value());
  EXPECT_EQ(items->size(), 1u + kThreads / 2 * kPerThread);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}),
            static_cast<long>(items->size()));
}

TEST(QueuePaths, SanitizeJoinAndDefaultDirectory) {
  EXPECT_EQ(ulo::sanitize_queue_id("Az09-_ ./\\\t\xc3\xa9x"), "Az09-_x");
  EXPECT_EQ(ulo::queue_file_path("q", "ex-1"), "q/ex-1.json");
  EXPECT_EQ(ulo::queue_file_path("q/", "ex-1"), "q/ex-1.json");
  EXPECT_EQ(ulo::queue_file_path("", "ex-1"), "ex-1.json");

  const char* saved = std::getenv("HOME");
  const std::string keep = saved ? saved : "";
  const struct {
    const char* home;  // nullptr: unset
    const char* want;
  } cases[] = {
      {nullptr, ".envelope-queue"},
      {"/home/u", "/home/u/.tovane/envelope-queue"},
      {"/home/u/", "/home/u/.tovane/envelope-queue"},
      {"", ".tovane/envelope-queue"},
  };
  for (const auto& c : cases) {
    if (c.home) ::setenv("HOME", c.home, 1); else ::unsetenv("HOME");
    EXPECT_EQ(ulo::default_queue_dir(), c.want);
  }
  if (saved) ::setenv("HOME", keep.c_str(), 1); else ::unsetenv("HOME");
}

TEST_F(QueueTest, ListOfTenThousandItems) {
  constexpr int kItems = 10'000;
  for (int i = 0; i < kItems; ++i) {
    char id[64];
    std::snprintf(id, sizeof id, "0190a5b2-0000-7000-8000-%012d", kItems - i);
    ASSERT_TRUE(push(id).has_value());
  }
  auto items = list();
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), std::size_t{kItems});
  for (std::size_t i = 1; i < items->size(); ++i) {
    ASSERT_LT((*items)[i - 1].queue_id, (*items)[i].queue_id);
  }
}

}  // namespace
