// Python face of EnvelopeQueue.
#include "bridge.hpp"
#include "classes.hpp"
#include "queue.hpp"

namespace ulo::py {

struct QueueRec {
  std::string dir;
  Durability durability = Durability::Default;
};

namespace {

using Cls = Class<QueueRec>;

// EnvelopeQueue(dir, *, durable=False): `durable` is keyword-only, so that
// a second positional argument never changes what a push promises.
PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"dir", "durable"};
    static const Signature sig{"EnvelopeQueue.__new__()", kNames, 1};
    if (const Py_ssize_t n = PyTuple_Size(args); n > 1) {
      return raise_type_error("EnvelopeQueue.__new__() takes 1 positional argument but " +
                              std::to_string(n) + " were given");
    }
    PyObject* bound[2] = {};
    std::string_view dir;
    if (!bind_tuple(sig, args, kwargs, bound) || !to_text(bound[0], "dir", dir)) return nullptr;
    if (bound[1] != nullptr && !PyBool_Check(bound[1])) {
      return cast_error(bound[1], "durable", "bool");
    }
    const Durability durability = bound[1] == Py_True ? Durability::Durable : Durability::Default;
    return to_python(QueueRec{std::string(dir), durability});
  });
}

QueueRec default_queue() { return {default_queue_dir()}; }

Result<void, QueueError> push(const QueueRec& q, std::string_view pair_class,
                              const SignedEnvelope& envelope) {
  return run_to_completion(
      [&](Runtime& rt) { return queue_push(rt, q.dir, pair_class, envelope, q.durability); });
}

// `items`: any iterable of (pair_class, envelope) pairs, checked whole
// before anything is written. A failure raises the error of the item it
// stopped at, with `pushed`: how many leading items are in the queue.
PyObject* push_many(const QueueRec& q, PyObject* items) {
  // A tuple of our own: the pairs, and their records, stay for the call.
  Ref seq = Ref::steal(PySequence_Tuple(items));
  if (!seq) return nullptr;
  const Py_ssize_t n = PyTuple_Size(seq.get());
  std::vector<QueuePush> batch;
  batch.reserve(static_cast<std::size_t>(n));
  TypeCell& envelope_cell = cell_of<SignedEnvelope>();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyTuple_GetItem(seq.get(), i);
    std::string_view pair_class;
    if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
      return cast_error(pair, "items", "tuple[str, SignedEnvelope]");
    }
    PyObject* envelope = PyTuple_GetItem(pair, 1);
    if (!to_text(PyTuple_GetItem(pair, 0), "items", pair_class) ||
        !check_instance(envelope, "items", envelope_cell.get(), envelope_cell.name())) {
      return nullptr;
    }
    batch.push_back({pair_class, &record_of<SignedEnvelope>(envelope)});
  }
  auto r = run_to_completion(
      [&](Runtime& rt) { return queue_push_many(rt, q.dir, batch, q.durability); });
  if (r) return new_none();
  Ref exc = Ref::steal(new_queue_error(r.error().error));
  if (!exc) return nullptr;
  Ref pushed = Ref::steal(PyLong_FromSize_t(r.error().index));
  if (!pushed || PyObject_SetAttrString(exc.get(), "pushed", pushed.get()) != 0) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

Result<void, QueueError> sync(const QueueRec& q) {
  return run_to_completion([&](Runtime& rt) { return queue_sync(rt, q.dir); });
}

bool durable_of(const QueueRec& q) { return q.durability == Durability::Durable; }

// Items as a list. Making a million objects takes a while, so signals are
// answered meanwhile: a handler that raises drops what was made.
PyObject* item_list(std::vector<QueuedItem>& items) {
  std::size_t made = 0;
  return new_list(items, [&made](QueuedItem& item) -> PyObject* {
    if (++made % 4096 == 0 && PyErr_CheckSignals() != 0) return nullptr;
    return to_python(std::move(item));
  });
}

PyObject* list_items(const QueueRec& q) {
  auto r = run_to_completion([&](Runtime& rt) { return queue_list(rt, q.dir); });
  if (!r) return raise_error(r.error());
  return item_list(*r);
}

// (items, bad): the good items, and for each entry that is not one the
// exception list() would raise for it, with its `path`.
PyObject* scan(const QueueRec& q) {
  auto r = run_to_completion([&](Runtime& rt) { return queue_scan(rt, q.dir); });
  if (!r) return raise_error(r.error());
  Ref bad = Ref::steal(new_list(r->bad, new_queue_error));
  if (!bad) return nullptr;
  Ref items = Ref::steal(item_list(r->items));
  if (!items) return nullptr;
  return Py_BuildValue("(NN)", items.release(), bad.release());
}

PyObject* items(const QueueRec& q) { return new_queued_item_iterator(q.dir); }

Result<std::size_t, QueueError> count(const QueueRec& q) {
  return run_to_completion([&](Runtime& rt) { return queue_count(rt, q.dir); });
}

// `path`: str, bytes or a path object, as the os module takes paths.
PyObject* quarantine(const QueueRec& q, PyObject* path) {
  Ref fspath = Ref::steal(PyOS_FSPath(path));
  if (!fspath) return nullptr;
  Ref raw = PyUnicode_Check(fspath.get()) ? Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()))
                                          : std::move(fspath);
  if (!raw) return nullptr;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(raw.get(), &data, &size) != 0) return nullptr;
  const std::string entry(data, static_cast<std::size_t>(size));
  auto r = run_to_completion(
      [&](Runtime& rt) { return queue_quarantine(rt, q.dir, entry, q.durability); });
  if (!r) return raise_error(r.error());
  return new_path(*r);
}

Result<void, QueueError> drop_item(const QueueRec& q, std::string_view queue_id) {
  return run_to_completion(
      [&](Runtime& rt) { return queue_drop(rt, q.dir, queue_id, q.durability); });
}

// The path may hold bytes that are not UTF-8 (only through HOME).
PyObject* dir_of(const QueueRec& q) {
  return PyUnicode_DecodeUTF8(q.dir.data(), static_cast<Py_ssize_t>(q.dir.size()), "replace");
}

// A queue is its directory and its mode, so it pickles as them; the
// keyword goes through copyreg's __newobj_ex__, which every protocol loads.
PyObject* reduce(const QueueRec& q) {
  Ref dir = Ref::steal(dir_of(q));
  if (!dir) return nullptr;
  if (!durable_of(q)) return Py_BuildValue("(O(N))", cell_of<QueueRec>().get(), dir.release());
  Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
  Ref newobj = copyreg ? Ref::steal(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__")) : Ref();
  if (!newobj) return nullptr;
  return Py_BuildValue("(N(O(N){s:O}))", newobj.release(), cell_of<QueueRec>().get(), dir.release(),
                       "durable", Py_True);
}

PyObject* repr_of(const QueueRec& q) {
  Repr r("EnvelopeQueue");
  r.text("dir", q.dir);
  if (durable_of(q)) r.raw("durable", "True");
  return r.finish();
}

}  // namespace

TypeCell& ClassOf<QueueRec>::cell() {
  static TypeCell cell(Cls::def({
      .name = "EnvelopeQueue",
      .doc = "File-backed envelope spill queue: one JSON file per item.\n\n"
             "Operations are blocking from Python; the kernel's asynchronous\n"
             "file-system primitives run on the binding's internal worker runtime.\n"
             "The default directory is \"~/.tovane/envelope-queue/\", falling back to\n"
             "\"./.envelope-queue/\" if `HOME` is unset.",
      .repr = unary_slot<repr_of>,
      .construct = {construct, {"dir", "*", "durable=False"}},
      .methods = {Cls::static_method<default_queue, "default">(
                      "Bind to the kernel's default directory."),
                  Cls::method<push, "push", "pair_class", "envelope">(
                      "Spill an envelope into the queue. Raises `IOError` on filesystem\n"
                      "failure or `ValueError` on JSON serialisation failure."),
                  Cls::method<push_many, "push_many", "items">(
                      "Push each (pair_class, envelope) of `items`, in order, as one group:\n"
                      "the files are written on the worker runtime together and, in a durable\n"
                      "queue, flushed together with one flush of the directory. On failure\n"
                      "the exception names the item it stopped at, and its `pushed` attribute\n"
                      "counts the leading items that are in the queue (durably, in a durable\n"
                      "queue); the rest were not written, and no temporary file is left."),
                  Cls::method<sync, "sync">(
                      "Make every earlier push and drop of this process in this directory\n"
                      "durable: the files it wrote are flushed to stable storage, then the\n"
                      "directory. Push fast, then sync before acknowledging the batch."),
                  Cls::method<list_items, "list">(
                      "Enumerate queued items in emission order (UUIDv7 prefix sort)."),
                  Cls::method<drop_item, "drop_item", "queue_id">(
                      "Drop an item after successful re-emission."),
                  Cls::method<items, "items">(
                      "Iterate over the queued items in the order of `list()`, a batch at a\n"
                      "time, for backlogs too large to hold at once. The names are read at\n"
                      "the first `next()`; then each batch of files is read and decoded on\n"
                      "the worker runtime with the interpreter lock released, so that other\n"
                      "threads run meanwhile (the files of a cold cache can take a while).\n"
                      "Memory holds the names and one batch, whatever the backlog.\n\n"
                      "Items dropped after the names were read are skipped, as `list()`\n"
                      "skips them; items pushed after are not returned. A bad entry raises,\n"
                      "in its place, the exception `list()` would raise for it, with its\n"
                      "`path`; the iterator stays usable, and the next `next()` goes on\n"
                      "after it. After an interrupted `next()` (a signal handler raised)\n"
                      "the next one goes on from the same place. Threads may share one\n"
                      "iterator (each item comes once), and a forked child may go on with\n"
                      "its copy."),
                  Cls::method<count, "count">(
                      "The number of entries by name, without reading them: the files\n"
                      "`list()` would read, bad ones included. 0 when the directory does\n"
                      "not exist."),
                  Cls::method<scan, "scan">(
                      "Return (items, bad): the queued items in emission order, and for each\n"
                      "entry that is not one the exception `list()` would raise for it, with\n"
                      "the entry's `path`."),
                  Cls::method<quarantine, "quarantine", "path">(
                      "Move a bad entry (a `path` from `scan()`) into the queue's\n"
                      "\"quarantine\" subdirectory, never over another file; return its new "
                      "path."),
                  Cls::method<reduce, "__reduce__">()},
      .properties = {Cls::property<dir_of, "dir">(
                         "The queue directory as given: not normalised, need not exist.\n\n"
                         "Type: `str`."),
                     Cls::property<durable_of, "durable">(
                         "Whether pushes, drops and quarantines return only once they are on\n"
                         "stable storage (file and directory flushed).\n\nType: `bool`.")},
  }));
  return cell;
}

}  // namespace ulo::py
