// The bare system calls of a durable write, for the durable push to be
// timed against: create a temporary file, write, fdatasync, close, rename
// it to a new item's name, open the directory, fsync it, close.
//
//   ulo_fsync_bench sequence DIR BYTES [ROUNDS]  seconds per sequence
//   ulo_fsync_bench flush DIR [ROUNDS]           seconds per fdatasync of a 4 KiB overwrite
//
// The best of ROUNDS rounds (5 by default), each at least 0.2 s long, as the
// Python harness times; one round lets a caller interleave it with others.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

int g_rounds = 5;

template <class F>
double best_seconds(F&& f) {
  double best = 1e9;
  for (int round = 0; round < g_rounds; ++round) {
    const auto t0 = std::chrono::steady_clock::now();
    int n = 0;
    std::chrono::duration<double> d{};
    do {
      f();
      ++n;
      d = std::chrono::steady_clock::now() - t0;
    } while (d.count() < 0.2 || n < 4);
    best = std::min(best, d.count() / n);
  }
  return best;
}

void write_all(int fd, const std::vector<char>& bytes) {
  if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) fail("write");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s sequence DIR BYTES | flush DIR\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1], dir = argv[2];
  const int rounds_arg = mode == "sequence" ? 4 : 3;
  if (argc > rounds_arg) g_rounds = std::max(1, std::atoi(argv[rounds_arg]));
  if (mode == "sequence" && argc >= 4) {
    const std::vector<char> bytes(std::strtoul(argv[3], nullptr, 10), 'x');
    const std::string temp = dir + "/.bare.json.tmp";
    unsigned long n = 0;
    std::printf("%.9f\n", best_seconds([&] {
                  const std::string item = dir + "/bare-" + std::to_string(++n) + ".json";
                  const int fd =
                      ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                  if (fd < 0) fail("open");
                  write_all(fd, bytes);
                  if (::fdatasync(fd) != 0) fail("fdatasync");
                  ::close(fd);
                  if (::rename(temp.c_str(), item.c_str()) != 0) fail("rename");
                  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                  if (dfd < 0 || ::fsync(dfd) != 0) fail("fsync directory");
                  ::close(dfd);
                }));
    return 0;
  }
  if (mode == "flush") {
    const std::string path = dir + "/.bare-flush";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) fail("open");
    const std::vector<char> block(4096, 'x');
    std::printf("%.9f\n", best_seconds([&] {
                  if (::pwrite(fd, block.data(), block.size(), 0) != 4096) fail("pwrite");
                  if (::fdatasync(fd) != 0) fail("fdatasync");
                }));
    ::close(fd);
    ::unlink(path.c_str());
    return 0;
  }
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
