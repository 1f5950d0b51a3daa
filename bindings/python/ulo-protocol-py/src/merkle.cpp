// The module-level Merkle functions: a root over a batch of leaves, the
// inclusion proof of one leaf, and its check against an anchored root.
#include <vector>

#include "bridge.hpp"
#include "classes.hpp"
#include "merkle.hpp"
#include "verify_batch.hpp"

namespace ulo::py {
namespace {

// Below this many hashes the work is done with the interpreter lock held:
// releasing it costs more than the hashing.
constexpr std::size_t kReleaseAt = 4096;
// Leaves are read, then hashed, this many at a time (a few milliseconds of
// hashing), with a check for a signal in between: whole chunks, so that a
// root is made of the chunks' roots.
constexpr std::size_t kBatch = 4 * kMerkleChunk;

// Runs `f`, without the interpreter lock when `n` hashes are worth it.
template <class F>
auto maybe_released(std::size_t n, F f) {
  if (n < kReleaseAt) return f();
  const WithoutInterpreter unlocked;
  return f();
}

// The leaves' hashes. Each batch of leaves is held (a list may change
// meanwhile: a signal handler, another thread) and hashed with the lock
// released; a million leaves need no million references held at once.
class LeafReader {
 public:
  // Roots only: `out` gets one root per chunk instead of every leaf's hash.
  enum class Keep : std::uint8_t { leaf_hashes, chunk_roots };

  LeafReader(std::vector<Sha256Digest>& out, Keep keep) : out_(out), keep_(keep) {
    held_.reserve(kBatch);
    views_.reserve(kBatch);
  }

  // Takes a new reference to one leaf; false with the exception set.
  bool add(PyObject* item) {
    Ref ref = Ref::steal(item);
    if (!ref) return false;
    if (!PyBytes_Check(ref.get())) {
      cast_error(ref.get(), ("leaves[" + std::to_string(read_ + views_.size()) + "]").c_str(),
                 "bytes");
      return false;
    }
    std::span<const std::uint8_t> data;
    if (!to_bytes(ref.get(), "leaves", data)) return false;
    views_.push_back(data);
    held_.push_back(std::move(ref));
    return views_.size() < kBatch || (flush() && PyErr_CheckSignals() == 0);
  }

  // Hashes what was read: every leaf's hash, or the roots of its chunks,
  // spread over the pool's threads where there are chunks enough. False
  // with the exception set when a signal handler stopped it.
  bool flush() {
    const std::size_t base = out_.size();
    const std::size_t n = views_.size();
    if (keep_ == Keep::leaf_hashes) {
      out_.resize(base + n);
      maybe_released(n, [&] { merkle_leaf_hashes(views_, std::span(out_).subspan(base)); });
    } else {
      const std::size_t chunks = (n + kMerkleChunk - 1) / kMerkleChunk;
      out_.resize(base + chunks);
      const std::span<Sha256Digest> roots = std::span(out_).subspan(base);
      const std::size_t tasks = std::min(chunks, available_cpus());
      const auto build = [&](Runtime* rt, std::size_t t) {
        return merkle_chunk_roots(rt, views_, roots, t);
      };
      auto ran = tasks >= 2 ? run_released([&](Runtime& rt) { return build(&rt, tasks); })
                            : maybe_released(n, [&] { return build(nullptr, 0); });
      if (!ran) panic(std::move(ran.error().text));
    }
    read_ += n;
    views_.clear();
    held_.clear();
    return true;
  }

  std::size_t read() const { return read_; }

 private:
  std::vector<Sha256Digest>& out_;
  Keep keep_;
  std::size_t read_ = 0;
  std::vector<Ref> held_;
  std::vector<std::span<const std::uint8_t>> views_;
};

bool leaf_hashes(PyObject* leaves, std::vector<Sha256Digest>& out,
                 LeafReader::Keep keep = LeafReader::Keep::leaf_hashes) {
  if (PyBytes_Check(leaves) || PyUnicode_Check(leaves)) {
    cast_error(leaves, "leaves", "Iterable[bytes]");
    return false;
  }
  LeafReader reader(out, keep);
  if (PyList_Check(leaves) || PyTuple_Check(leaves)) {
    // By index, the size read each time: a list may shrink meanwhile.
    for (Py_ssize_t i = 0; i < PySequence_Size(leaves); ++i) {
      if (!reader.add(PySequence_GetItem(leaves, i))) return false;
    }
  } else {
    Ref iter = Ref::steal(PyObject_GetIter(leaves));
    if (!iter) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        cast_error(leaves, "leaves", "Iterable[bytes]");
      }
      return false;
    }
    while (PyObject* item = PyIter_Next(iter.get())) {
      if (!reader.add(item)) return false;
    }
    if (PyErr_Occurred() != nullptr) return false;
  }
  reader.flush();
  if (reader.read() == 0) {
    raise_value_error("a Merkle tree needs at least one leaf");
    return false;
  }
  return true;
}

// Runs `f` on the hashes, without the interpreter lock for a large tree.
template <class F>
auto over_tree(std::vector<Sha256Digest>& hashes, F f) {
  return maybe_released(hashes.size(), [&] { return f(std::span(hashes)); });
}

PyObject* root_of(PyObject* leaves) {
  std::vector<Sha256Digest> roots;
  if (!leaf_hashes(leaves, roots, LeafReader::Keep::chunk_roots)) return nullptr;
  return to_python(merkle_root_in_place(roots));
}

PyObject* raise_proof_error(const MerkleProofError& e) { return raise_value_error(e.message()); }

// A negative index or size is out of range like one too large.
bool in_range(std::int64_t index, std::int64_t size) {
  if (index >= 0 && size > 0 && index < size) return true;
  raise_value_error("leaf index " + std::to_string(index) +
                    " is out of range for a tree of " + std::to_string(size) + " leaves");
  return false;
}

PyObject* proof_of(PyObject* leaves, std::int64_t index) {
  std::vector<Sha256Digest> hashes;
  if (!leaf_hashes(leaves, hashes)) return nullptr;
  if (!in_range(index, static_cast<std::int64_t>(hashes.size()))) return nullptr;
  auto path = over_tree(hashes, [index](std::span<Sha256Digest> level) {
    return merkle_path_in_place(level, static_cast<std::size_t>(index));
  });
  return new_list(path, [](const Sha256Digest& d) { return to_python(d); });
}

bool to_digest(PyObject* o, const std::string& name, Sha256Digest& out) {
  std::span<const std::uint8_t> data;
  if (!to_bytes(o, name.c_str(), data)) return false;
  if (data.size() != out.size()) {
    raise_value_error(name + " must be exactly 32 bytes");
    return false;
  }
  std::copy(data.begin(), data.end(), out.begin());
  return true;
}

bool proof_hashes(PyObject* proof, std::vector<Sha256Digest>& out) {
  if (PyBytes_Check(proof) || PyUnicode_Check(proof) || !PySequence_Check(proof)) {
    cast_error(proof, "proof", "Sequence[bytes]");
    return false;
  }
  const Py_ssize_t n = PySequence_Size(proof);
  if (n < 0) return false;
  out.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(proof, i));
    if (!item || !to_digest(item.get(), "proof[" + std::to_string(i) + "]",
                            out[static_cast<std::size_t>(i)])) {
      return false;
    }
  }
  return true;
}

PyObject* verify_inclusion(Bytes leaf, std::int64_t index, std::int64_t tree_size, PyObject* proof,
                           Bytes root) {
  std::vector<Sha256Digest> path;
  if (!proof_hashes(proof, path)) return nullptr;
  Sha256Digest want;
  if (root.size() != want.size()) return raise_value_error("root must be exactly 32 bytes");
  std::copy(root.begin(), root.end(), want.begin());
  if (!in_range(index, tree_size)) return nullptr;
  auto checked = merkle_verify_inclusion(merkle_leaf_hash(leaf), static_cast<std::uint64_t>(index),
                                         static_cast<std::uint64_t>(tree_size), path, want);
  if (!checked) return raise_proof_error(checked.error());
  return new_none();
}

}  // namespace

PyMethodDef& merkle_root_def() {
  static ModuleFunction f(function<root_of, "merkle_root", "leaves">(
      "The 32-byte Merkle root over `leaves`, an iterable of `bytes` in order.\n\n"
      "A leaf hashes as SHA-256(0x00 || leaf), a node as SHA-256(0x01 || left ||\n"
      "right), and a tree of n leaves splits at the largest power of two below n\n"
      "(the construction of RFC 9162), so no leaf passes for a node and [a, b, c]\n"
      "and [a, b, c, c] have different roots. Raises `ValueError` for no leaves."));
  return f.def;
}

PyMethodDef& merkle_inclusion_proof_def() {
  static ModuleFunction f(
      function<proof_of, "merkle_inclusion_proof", "leaves", "index">(
          "The inclusion proof of `leaves[index]` in `merkle_root(leaves)`: a list\n"
          "of 32-byte sibling hashes from the leaf up. Keep it with the index and\n"
          "`len(leaves)` to check it later with `verify_merkle_inclusion`."));
  return f.def;
}

PyMethodDef& verify_merkle_inclusion_def() {
  static ModuleFunction f(
      function<verify_inclusion, "verify_merkle_inclusion", "leaf", "index", "tree_size",
               "proof", "root">(
          "Check that `leaf`, at `index` of a tree of `tree_size` leaves, is in the\n"
          "tree whose root is `root` (32 bytes, e.g.\n"
          "`bytes.fromhex(receipt.merkle_root_hex)`). Returns None; raises\n"
          "`ValueError` when the proof does not lead to the root, has the wrong\n"
          "number of hashes, or the index is out of range."));
  return f.def;
}

}  // namespace ulo::py
