// Python face of the iterator EnvelopeQueue.items() returns. Not a module
// attribute: it is made only by the queue.
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <variant>

#include "bridge.hpp"
#include "classes.hpp"
#include "queue.hpp"

namespace ulo::py {

struct ItemsRec {
  std::string dir;
  std::unique_ptr<QueueReader> reader;
  std::size_t position = 0;  // entries handed out
  // A thread is reading the next batch, with the interpreter lock released
  // (and without the object's lock, which detaching gives up); `reader` is
  // its until it is done. Read and written under the object's lock.
  bool busy = false;
  pid_t busy_in = 0;  // the process of that thread

  ItemsRec(std::string d) : dir(d), reader(std::make_unique<QueueReader>(std::move(d))) {}
  ItemsRec(ItemsRec&&) noexcept = default;
  ~ItemsRec() {
    // Busy here means this process is a fork made while another thread read
    // a batch: what that thread was writing is left as the fork found it.
    if (busy) leave_to_fork(reader);
  }

  // The thread that was reading a batch is not in this process (a fork):
  // a new reader takes over after the last entry handed out.
  bool forked_while_busy() const { return busy && busy_in != ::getpid(); }
  void take_over() {
    std::string after = reader->last();
    leave_to_fork(reader);
    reader = std::make_unique<QueueReader>(dir, std::move(after));
    busy = false;
  }
};

namespace {

// Another thread sharing the iterator is reading the next batch: wait for
// it without the interpreter lock, answering signals meanwhile.
bool wait_while_busy(ItemsRec& r) {
  auto pause = std::chrono::microseconds(50);
  while (r.busy && !r.forked_while_busy()) {
    {
      const WithoutInterpreter unlocked;
      std::this_thread::sleep_for(pause);
    }
    if (PyErr_CheckSignals() != 0) return false;
    pause = std::min(pause * 2, std::chrono::microseconds(5000));
  }
  if (r.forked_while_busy()) r.take_over();
  return true;
}

PyObject* next_item(ItemsRec& r) {
  for (;;) {
    if (!wait_while_busy(r)) return nullptr;
    if (auto entry = r.reader->take()) {
      ++r.position;
      if (auto* item = std::get_if<QueuedItem>(&entry->value)) {
        return to_python(std::move(*item));
      }
      return raise_error(std::get<QueueError>(entry->value));
    }
    r.busy = true;
    r.busy_in = ::getpid();
    struct Idle {
      ItemsRec& r;
      ~Idle() { r.busy = false; }
    } idle{r};
    QueueReader& reader = *r.reader;
    auto filled = run_released([&](Runtime& rt) { return reader.fill(rt); });
    if (!filled) return raise_error(filled.error());
    if (!*filled) return nullptr;  // the end: StopIteration
  }
}

PyObject* repr_of(const ItemsRec& r) {
  Repr repr("QueuedItemIterator");
  repr.text("dir", r.dir).integer("position", static_cast<long long>(r.position));
  if (!r.busy) {
    if (auto names = r.reader->names()) repr.integer("names", static_cast<long long>(*names));
  }
  return repr.finish();
}

// The slots hold the object's lock around the record, which changes with
// every item: threads may share one iterator.
// Its instances are the type's slots, which cppcheck does not count as uses.
template <auto Fn>
// cppcheck-suppress unusedFunction
PyObject* locked_slot(PyObject* self) noexcept {
  return guard([&] {
    const ObjectLock lock(self);
    return Fn(const_cast<ItemsRec&>(record_of<ItemsRec>(self)));
  });
}

}  // namespace

TypeCell& ClassOf<ItemsRec>::cell() {
  static TypeCell cell(Class<ItemsRec>::def({
      .name = "QueuedItemIterator",
      .doc = "Iterator over the items of an `EnvelopeQueue`; see `EnvelopeQueue.items()`.",
      .repr = locked_slot<repr_of>,
      .iter = PyObject_SelfIter,
      .iternext = locked_slot<next_item>,
  }));
  return cell;
}

PyObject* new_queued_item_iterator(const std::string& dir) { return new_instance(ItemsRec(dir)); }

}  // namespace ulo::py
