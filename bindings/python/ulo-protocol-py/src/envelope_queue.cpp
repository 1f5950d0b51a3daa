// Python face of EnvelopeQueue.
#include "bridge.hpp"
#include "classes.hpp"
#include "queue.hpp"

namespace ulo::py {
namespace {

struct QueueRec {
  std::string dir;
};

PyObject* queue_error_type(const QueueError& e) {
  return e.kind == QueueError::Io ? PyExc_OSError : PyExc_ValueError;
}

// A path exactly as the OS holds it: undecodable bytes become surrogate
// escapes, as in os.fsdecode, so that the text leads back to the file.
PyObject* new_path(std::string_view p) {
  return PyUnicode_DecodeFSDefaultAndSize(p.data(), static_cast<Py_ssize_t>(p.size()));
}

// The exception for a queue error, message as its only argument. An error
// that concerns one file or directory also carries its path as `path`.
PyObject* new_queue_error(const QueueError& e) {
  Ref msg = Ref::steal(new_text(e.message()));
  if (!msg) return nullptr;
  Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(queue_error_type(e), msg.get(), nullptr));
  if (!exc || e.path.empty()) return exc.release();
  Ref path = Ref::steal(new_path(e.path));
  if (!path || PyObject_SetAttrString(exc.get(), "path", path.get()) != 0) return nullptr;
  return exc.release();
}

PyObject* raise_queue_error(const QueueError& e) {
  if (e.path.empty()) return raise(queue_error_type(e), e.message());
  Ref exc = Ref::steal(new_queue_error(e));
  if (exc) PyErr_SetObject(queue_error_type(e), exc.get());
  return nullptr;
}

PyObject* new_item_list(std::vector<QueuedItem>& items) {
  return new_list(items, [](QueuedItem& i) { return new_queued_item(std::move(i)); });
}

PyObject* queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("EnvelopeQueue.__new__()", {"dir"});
    Args a(sig);
    std::string_view dir;
    if (!a.bind(args, kwargs) || !a.text(0, dir)) return nullptr;
    return wrap(type, QueueRec{std::string(dir)});
  });
}

PyObject* queue_default(PyObject*, PyObject*) {
  return guard([] { return wrap(envelope_queue_cell().get(), QueueRec{default_queue_dir()}); });
}

PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("EnvelopeQueue.push()", {"pair_class", "envelope"});
    Args a(sig);
    std::string_view pair_class;
    if (!a.bind(args, nargs, kwnames) || !a.text(0, pair_class) ||
        !a.instance(1, signed_envelope_cell().get(), "SignedEnvelope")) {
      return nullptr;
    }
    const std::string& dir = record_of<QueueRec>(self).dir;
    const auto& envelope = record_of<SignedEnvelope>(a[1]);
    auto r = run_to_completion(
        [&](Runtime& rt) { return queue_push(rt, dir, pair_class, envelope); });
    if (!r) return raise_queue_error(r.error());
    Py_RETURN_NONE;
  });
}

PyObject* list(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const std::string& dir = record_of<QueueRec>(self).dir;
    auto r = run_to_completion([&](Runtime& rt) { return queue_list(rt, dir); });
    if (!r) return raise_queue_error(r.error());
    return new_item_list(*r);
  });
}

// (items, bad): the good items, and for each entry that is not one the
// exception list() would raise for it, with its `path`.
PyObject* scan(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const std::string& dir = record_of<QueueRec>(self).dir;
    auto r = run_to_completion([&](Runtime& rt) { return queue_scan(rt, dir); });
    if (!r) return raise_queue_error(r.error());
    Ref bad = Ref::steal(new_list(r->bad, new_queue_error));
    if (!bad) return nullptr;
    Ref items = Ref::steal(new_item_list(r->items));
    if (!items) return nullptr;
    return Py_BuildValue("(NN)", items.release(), bad.release());
  });
}

PyObject* quarantine(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("EnvelopeQueue.quarantine()", {"path"});
    Args a(sig);
    if (!a.bind(args, nargs, kwnames)) return nullptr;
    // str, bytes or a path object, as the os module takes paths.
    Ref fspath = Ref::steal(PyOS_FSPath(a[0]));
    if (!fspath) return nullptr;
    Ref raw = PyUnicode_Check(fspath.get())
                  ? Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()))
                  : std::move(fspath);
    if (!raw) return nullptr;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(raw.get(), &data, &size) != 0) return nullptr;
    const std::string path(data, static_cast<std::size_t>(size));
    const std::string& dir = record_of<QueueRec>(self).dir;
    auto r = run_to_completion([&](Runtime& rt) { return queue_quarantine(rt, dir, path); });
    if (!r) return raise_queue_error(r.error());
    return new_path(*r);
  });
}

PyObject* drop_item(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr auto sig = params("EnvelopeQueue.drop_item()", {"queue_id"});
    Args a(sig);
    std::string_view id;
    if (!a.bind(args, nargs, kwnames) || !a.text(0, id)) return nullptr;
    const std::string& dir = record_of<QueueRec>(self).dir;
    auto r = run_to_completion([&](Runtime& rt) { return queue_drop(rt, dir, id); });
    if (!r) return raise_queue_error(r.error());
    Py_RETURN_NONE;
  });
}

// The path may hold bytes that are not UTF-8 (only through HOME).
PyObject* dir_of(const QueueRec& q) {
  return PyUnicode_DecodeUTF8(q.dir.data(), static_cast<Py_ssize_t>(q.dir.size()), "replace");
}

// A queue is its directory, so it pickles as one.
PyObject* queue_reduce(const QueueRec& q) {
  Ref dir = Ref::steal(dir_of(q));
  return dir ? Py_BuildValue("(O(N))", envelope_queue_cell().get(), dir.release()) : nullptr;
}

PyObject* queue_repr(const QueueRec& q) { return Repr("EnvelopeQueue").text("dir", q.dir).finish(); }

PyMethodDef queue_methods[] = {
    {"default", queue_default, METH_NOARGS | METH_STATIC,
     "default()\n--\n\nBind to the kernel's default directory."},
    {"push", ULO_FASTCALL(push), METH_FASTCALL | METH_KEYWORDS,
     "push($self, pair_class, envelope)\n--\n\n"
     "Spill an envelope into the queue. Raises `IOError` on filesystem\n"
     "failure or `ValueError` on JSON serialisation failure."},
    {"list", list, METH_NOARGS,
     "list($self)\n--\n\nEnumerate queued items in emission order (UUIDv7 prefix sort)."},
    {"drop_item", ULO_FASTCALL(drop_item), METH_FASTCALL | METH_KEYWORDS,
     "drop_item($self, queue_id)\n--\n\nDrop an item after successful re-emission."},
    {"scan", scan, METH_NOARGS,
     "scan($self)\n--\n\n"
     "Return (items, bad): the queued items in emission order, and for each\n"
     "entry that is not one the exception `list()` would raise for it, with\n"
     "the entry's `path`."},
    {"quarantine", ULO_FASTCALL(quarantine), METH_FASTCALL | METH_KEYWORDS,
     "quarantine($self, path)\n--\n\n"
     "Move a bad entry (a `path` from `scan()`) into the queue's\n"
     "\"quarantine\" subdirectory, never over another file; return its new path."},
    {"__reduce__", method0<QueueRec, queue_reduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef queue_getset[] = {
    {"dir", getter<QueueRec, dir_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "EnvelopeQueue(dir)\n--\n\n"
    "File-backed envelope spill queue: one JSON file per item.\n\n"
    "Operations are blocking from Python; the kernel's asynchronous\n"
    "file-system primitives run on the binding's internal worker runtime.\n"
    "The default directory is \"~/.tovane/envelope-queue/\", falling back to\n"
    "\"./.envelope-queue/\" if `HOME` is unset.";

}  // namespace

TypeCell& envelope_queue_cell() {
  static TypeCell cell([] {
    ClassDef def = record_class<QueueRec>("EnvelopeQueue", kDoc, repr_slot<QueueRec, queue_repr>);
    def.methods = queue_methods;
    def.getset = queue_getset;
    def.construct = queue_new;
    return def;
  }());
  return cell;
}

}  // namespace ulo::py
