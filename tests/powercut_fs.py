"""A file system that forgets what was never flushed, for the queue's
power-cut tests. Run by the system interpreter (Debian's python3-pyfuse3),
in its own process, whatever interpreter runs the tests:

    /usr/bin/python3 powercut_fs.py MOUNTPOINT IMAGE [--keep-everything]

It serves every operation from memory and keeps a second, durable copy:
a file's bytes become durable when that file is fsynced (or fdatasynced),
a directory's entries (creations, renames, removals) when that directory
is fsynced, and nothing else ever does. That is the least any POSIX file
system promises, so a program that keeps its data here keeps it on ext4 or
XFS too. Cutting the power writes the durable copy to IMAGE and fails every
later operation with EIO; a new mount of IMAGE is the machine rebooted.
With --keep-everything the cut keeps the live state instead: a file system
that never loses anything, against which the model's own test must fail.

Commands, one a line on standard input, each answered by one line:
  cut-after N       cut the power at the Nth change or flush from now
  fail OP ERRNO     make OP (fsync, fsyncdir, opendir) fail; ERRNO 0 heals
  capacity BYTES    writes past this many bytes of files fail with ENOSPC
  stats             counts of the operations so far, as JSON
  quit              cut the power (unless done), unmount and exit
"""
import errno
import json
import os
import pickle
import stat
import sys
import time

import pyfuse3
import trio

ROOT = pyfuse3.ROOT_INODE


class Node:
    __slots__ = ("kind", "mode", "data", "entries", "nlink", "mtime_ns")

    def __init__(self, kind, mode, data=b"", entries=None):
        self.kind, self.mode = kind, mode
        self.data = bytearray(data)
        self.entries = dict(entries or {})
        self.nlink = 1
        self.mtime_ns = time.time_ns()


class PowerCut(pyfuse3.Operations):
    # Operations that change something or flush it: the points a cut may
    # land on.
    COUNTED = {"create", "write", "fsync", "fsyncdir", "rename", "unlink", "mkdir", "rmdir",
               "setattr"}

    def __init__(self, image, keep_everything):
        super().__init__()
        self.image, self.keep_everything = image, keep_everything
        self.nodes = {ROOT: Node("dir", stat.S_IFDIR | 0o755)}
        self.next_ino = ROOT + 1
        if os.path.exists(image):
            with open(image, "rb") as f:
                saved = pickle.load(f)
            self.next_ino = saved["next_ino"]
            self.nodes = {ino: Node(kind, mode, data, entries)
                          for ino, (kind, mode, data, entries) in saved["nodes"].items()}
        # What survives a cut: every file's bytes and every directory's
        # entries as they were when last flushed.
        self.durable_data = {i: bytes(n.data) for i, n in self.nodes.items() if n.kind == "file"}
        self.durable_entries = {i: dict(n.entries) for i, n in self.nodes.items()
                                if n.kind == "dir"}
        self.handles, self.next_fh = {}, 1
        self.dead = False
        self.cut_at = None  # counted operations left before the cut
        self.failing = {}   # operation -> errno
        self.capacity = 0
        self.stats = {}

    # -- the power cut ------------------------------------------------------

    def cut(self):
        if self.dead:
            return
        self.dead = True
        if self.keep_everything:
            data = {i: bytes(n.data) for i, n in self.nodes.items() if n.kind == "file"}
            entries = {i: dict(n.entries) for i, n in self.nodes.items() if n.kind == "dir"}
        else:
            data, entries = self.durable_data, self.durable_entries
        # The durable tree from the root; a directory reached twice (moved,
        # with only one side flushed) keeps its first place.
        nodes, seen, todo = {}, set(), [ROOT]
        while todo:
            ino = todo.pop()
            kept = {}
            for name, child in sorted(entries.get(ino, {}).items()):
                node = self.nodes[child]
                if node.kind == "dir":
                    if child in seen:
                        continue
                    seen.add(child)
                    todo.append(child)
                else:
                    nodes[child] = ("file", node.mode, data.get(child, b""), None)
                kept[name] = child
            nodes[ino] = ("dir", self.nodes[ino].mode, b"", kept)
        tmp = self.image + ".tmp"
        with open(tmp, "wb") as f:
            pickle.dump({"next_ino": self.next_ino, "nodes": nodes}, f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, self.image)

    def enter(self, op):
        self.stats[op] = self.stats.get(op, 0) + 1
        if op in self.COUNTED and self.cut_at is not None:
            self.cut_at -= 1
            if self.cut_at <= 0:
                self.cut_at = None
                self.cut()
        if self.dead:
            raise pyfuse3.FUSEError(errno.EIO)
        if self.failing.get(op):
            raise pyfuse3.FUSEError(self.failing[op])

    # -- helpers ------------------------------------------------------------

    def node(self, ino):
        try:
            return self.nodes[ino]
        except KeyError:
            raise pyfuse3.FUSEError(errno.ENOENT) from None

    def attrs(self, ino):
        n = self.node(ino)
        a = pyfuse3.EntryAttributes()
        a.st_ino, a.st_mode, a.st_nlink = ino, n.mode, n.nlink
        a.st_size = len(n.data)
        a.st_uid, a.st_gid = os.getuid(), os.getgid()
        a.st_blksize, a.st_blocks = 4096, (len(n.data) + 511) // 512
        a.st_atime_ns = a.st_mtime_ns = a.st_ctime_ns = n.mtime_ns
        a.entry_timeout = a.attr_timeout = 1.0
        return a

    def dir_node(self, ino):
        n = self.node(ino)
        if n.kind != "dir":
            raise pyfuse3.FUSEError(errno.ENOTDIR)
        return n

    def new_node(self, parent, name, node):
        d = self.dir_node(parent)
        if name in d.entries:
            raise pyfuse3.FUSEError(errno.EEXIST)
        ino, self.next_ino = self.next_ino, self.next_ino + 1
        self.nodes[ino] = node
        d.entries[name] = ino
        return ino

    def unlinked(self, ino):
        n = self.nodes[ino]
        n.nlink -= 1

    def open_handle(self, ino):
        fh, self.next_fh = self.next_fh, self.next_fh + 1
        self.handles[fh] = ino
        return fh

    def used(self):
        return sum(len(n.data) for n in self.nodes.values() if n.kind == "file" and n.nlink > 0)

    # -- operations ---------------------------------------------------------

    async def lookup(self, parent_inode, name, ctx=None):
        self.enter("lookup")
        d = self.dir_node(parent_inode)
        if name == b".":
            return self.attrs(parent_inode)
        if name not in d.entries:
            raise pyfuse3.FUSEError(errno.ENOENT)
        return self.attrs(d.entries[name])

    async def getattr(self, inode, ctx=None):
        self.enter("getattr")
        return self.attrs(inode)

    async def setattr(self, inode, attr, fields, fh, ctx):
        self.enter("setattr")
        n = self.node(inode)
        if fields.update_size:
            if self.capacity and attr.st_size > len(n.data) and \
                    self.used() + attr.st_size - len(n.data) > self.capacity:
                raise pyfuse3.FUSEError(errno.ENOSPC)
            del n.data[attr.st_size:]
            n.data.extend(bytes(attr.st_size - len(n.data)))
        if fields.update_mode:
            n.mode = (n.mode & ~0o7777) | (attr.st_mode & 0o7777)
        if fields.update_mtime:
            n.mtime_ns = attr.st_mtime_ns
        return self.attrs(inode)

    async def opendir(self, inode, ctx):
        self.enter("opendir")
        self.dir_node(inode)
        return self.open_handle(inode)

    async def readdir(self, fh, start_id, token):
        self.enter("readdir")
        d = self.dir_node(self.handles[fh])
        names = sorted(d.entries)
        for i in range(start_id, len(names)):
            if not pyfuse3.readdir_reply(token, names[i], self.attrs(d.entries[names[i]]), i + 1):
                break

    async def releasedir(self, fh):
        self.handles.pop(fh, None)

    async def fsyncdir(self, fh, datasync):
        self.enter("fsyncdir")
        ino = self.handles[fh]
        self.durable_entries[ino] = dict(self.dir_node(ino).entries)

    async def mkdir(self, parent_inode, name, mode, ctx):
        self.enter("mkdir")
        ino = self.new_node(parent_inode, name, Node("dir", stat.S_IFDIR | (mode & 0o7777)))
        return self.attrs(ino)

    async def rmdir(self, parent_inode, name, ctx):
        self.enter("rmdir")
        d = self.dir_node(parent_inode)
        if name not in d.entries:
            raise pyfuse3.FUSEError(errno.ENOENT)
        if self.dir_node(d.entries[name]).entries:
            raise pyfuse3.FUSEError(errno.ENOTEMPTY)
        self.unlinked(d.entries.pop(name))

    async def create(self, parent_inode, name, mode, flags, ctx):
        self.enter("create")
        ino = self.new_node(parent_inode, name, Node("file", stat.S_IFREG | (mode & 0o7777)))
        return pyfuse3.FileInfo(fh=self.open_handle(ino)), self.attrs(ino)

    async def open(self, inode, flags, ctx):
        self.enter("open")
        n = self.node(inode)
        if n.kind == "dir":
            raise pyfuse3.FUSEError(errno.EISDIR)
        if flags & os.O_TRUNC:
            del n.data[:]
        return pyfuse3.FileInfo(fh=self.open_handle(inode))

    async def read(self, fh, off, size):
        self.enter("read")
        return bytes(self.node(self.handles[fh]).data[off:off + size])

    async def write(self, fh, off, buf):
        self.enter("write")
        n = self.node(self.handles[fh])
        grow = max(0, off + len(buf) - len(n.data))
        if self.capacity and grow and self.used() + grow > self.capacity:
            raise pyfuse3.FUSEError(errno.ENOSPC)
        if off > len(n.data):
            n.data.extend(bytes(off - len(n.data)))
        n.data[off:off + len(buf)] = buf
        n.mtime_ns = time.time_ns()
        return len(buf)

    async def fsync(self, fh, datasync):
        self.enter("fsync")
        ino = self.handles[fh]
        self.durable_data[ino] = bytes(self.node(ino).data)

    async def flush(self, fh):
        if self.dead:
            raise pyfuse3.FUSEError(errno.EIO)

    async def release(self, fh):
        self.handles.pop(fh, None)

    async def unlink(self, parent_inode, name, ctx):
        self.enter("unlink")
        d = self.dir_node(parent_inode)
        if name not in d.entries:
            raise pyfuse3.FUSEError(errno.ENOENT)
        if self.nodes[d.entries[name]].kind == "dir":
            raise pyfuse3.FUSEError(errno.EISDIR)
        self.unlinked(d.entries.pop(name))

    async def rename(self, parent_inode_old, name_old, parent_inode_new, name_new, flags, ctx):
        self.enter("rename")
        src, dst = self.dir_node(parent_inode_old), self.dir_node(parent_inode_new)
        if name_old not in src.entries:
            raise pyfuse3.FUSEError(errno.ENOENT)
        if flags & ~pyfuse3.RENAME_NOREPLACE:
            raise pyfuse3.FUSEError(errno.EINVAL)
        moving = src.entries[name_old]
        if name_new in dst.entries:
            if flags & pyfuse3.RENAME_NOREPLACE:
                raise pyfuse3.FUSEError(errno.EEXIST)
            old = dst.entries[name_new]
            if old == moving:
                return
            if self.nodes[old].kind != self.nodes[moving].kind:
                raise pyfuse3.FUSEError(
                    errno.EISDIR if self.nodes[old].kind == "dir" else errno.ENOTDIR)
            if self.nodes[old].kind == "dir" and self.nodes[old].entries:
                raise pyfuse3.FUSEError(errno.ENOTEMPTY)
            self.unlinked(old)
        del src.entries[name_old]
        dst.entries[name_new] = moving

    async def statfs(self, ctx):
        s = pyfuse3.StatvfsData()
        s.f_bsize = s.f_frsize = 4096
        total = (self.capacity or 1 << 30) // 4096
        s.f_blocks = total
        s.f_bfree = s.f_bavail = max(0, total - self.used() // 4096)
        s.f_files, s.f_ffree, s.f_favail = 1 << 20, 1 << 20, 1 << 20
        s.f_namemax = 255
        return s


async def control(fs):
    stdin = trio.lowlevel.FdStream(os.dup(0))
    buf = b""
    while True:
        chunk = await stdin.receive_some(4096)
        if not chunk:
            break
        buf += chunk
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            cmd, *args = line.decode().split()
            if cmd == "quit":
                fs.cut()
                pyfuse3.terminate()
                return
            if cmd == "cut-after":
                fs.cut_at = int(args[0])
            elif cmd == "fail":
                fs.failing[args[0]] = int(args[1])
            elif cmd == "capacity":
                fs.capacity = int(args[0])
            elif cmd == "stats":
                print(json.dumps(fs.stats), flush=True)
                continue
            print("ok", flush=True)
    # The test went away: cut and leave.
    fs.cut()
    pyfuse3.terminate()


async def serve(fs):
    async with trio.open_nursery() as nursery:
        nursery.start_soon(control, fs)
        await pyfuse3.main()
        nursery.cancel_scope.cancel()


def main():
    mountpoint, image = sys.argv[1], sys.argv[2]
    fs = PowerCut(image, "--keep-everything" in sys.argv[3:])
    pyfuse3.init(fs, mountpoint, {"fsname=powercut", "default_permissions"})
    print("ready", flush=True)
    try:
        trio.run(serve, fs)
    finally:
        pyfuse3.close(unmount=True)


if __name__ == "__main__":
    main()
