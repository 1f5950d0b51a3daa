"""Operator's command line over the ulo_protocol extension module.

Lives in its own top-level package because `ulo_protocol` itself is a
single extension module and cannot hold Python submodules.
"""

from __future__ import annotations

import argparse
import base64
import binascii
import json
import os
import re
import sys
import warnings
from collections.abc import Sequence
from typing import NoReturn

import ulo_protocol

PROG = "ulo-protocol"
# No envelope or descriptor comes near this; a device or a runaway file does.
MAX_INPUT_CHARS = 256 * 1024 * 1024
# Arguments handed to the module as text, which must be valid UTF-8.
TEXT_ARGUMENTS = {"dir": "DIR", "id": "ID", "hint": "HINT", "counterparty": "COUNTERPARTY",
                  "signature": "--signature"}


class CliError(Exception):
    """A failure reported to the operator as one line, without a traceback."""


def _queue(directory: str | None) -> ulo_protocol.EnvelopeQueue:
    if directory is None:
        return ulo_protocol.EnvelopeQueue.default()
    return ulo_protocol.EnvelopeQueue(directory)


def _read_text(path: str) -> str:
    try:
        if path == "-":
            text = sys.stdin.read(MAX_INPUT_CHARS + 1)
        else:
            with open(path, encoding="utf-8") as f:
                text = f.read(MAX_INPUT_CHARS + 1)
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror or e}") from None
    except UnicodeDecodeError as e:
        raise CliError(f"cannot read {path}: not UTF-8 text ({e.reason})") from None
    except MemoryError:
        raise CliError(f"cannot read {path}: not enough memory to hold it") from None
    if len(text) > MAX_INPUT_CHARS:
        raise CliError(f"cannot read {path}: longer than {MAX_INPUT_CHARS} characters")
    return text


def _check_text_arguments(args: argparse.Namespace) -> None:
    """Name the argument that cannot be handed on as text."""
    for dest, shown in TEXT_ARGUMENTS.items():
        value = getattr(args, dest, None)
        if isinstance(value, str):
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                raw = os.fsencode(value)
                raise CliError(f"argument {shown} is not valid UTF-8: {raw!r}") from None


def _exchange_time(envelope: ulo_protocol.SignedEnvelope) -> str:
    try:
        # A leap second is shown as second 59; the listing needs no warning.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return envelope.opened_at.isoformat()
    except (ValueError, OverflowError):
        # Years that datetime cannot hold: fall back to the stored text.
        return str(envelope.to_dict()["opened_at"])


def _existing_queue(directory: str | None) -> ulo_protocol.EnvelopeQueue:
    queue = _queue(directory)
    if not os.path.exists(queue.dir):
        raise CliError(f"no queue directory at {queue.dir}")
    return queue


def cmd_queue_ls(args: argparse.Namespace) -> int:
    queue = _existing_queue(args.dir)
    bad = 0
    # Streamed: a backlog of millions is printed as it is read, not first
    # held in memory.
    items = queue.items()
    while True:
        try:
            item = next(items)
        except StopIteration:
            break
        except (OSError, ValueError) as error:
            # The directory itself failing ends the listing; a bad entry is
            # reported by path (`queue quarantine PATH` moves it aside), and
            # the listing goes on after it.
            if getattr(error, "path", queue.dir) == queue.dir:
                raise
            sys.stdout.flush()
            print(f"{PROG}: error: {error}", file=sys.stderr)
            bad += 1
            continue
        if args.json:
            # One object a line, so a backlog streams as it is read.
            print(json.dumps({"queue_id": item.queue_id, "pair_class": item.pair_class,
                              "opened_at": item.envelope.to_dict()["opened_at"]},
                             ensure_ascii=False))
        else:
            print(f"{item.queue_id}\t{item.pair_class}\t{_exchange_time(item.envelope)}")
    return 1 if bad else 0


def cmd_queue_count(args: argparse.Namespace) -> int:
    queue = _existing_queue(args.dir)
    count = queue.count()
    print(json.dumps({"dir": queue.dir, "count": count}) if args.json else count)
    return 0


def _entry_in_queue(queue: ulo_protocol.EnvelopeQueue, entry: str) -> str:
    """The entry as the queue spells its own entries, when its directory is
    the queue's by file (a relative, absolute or linked spelling of it)."""
    parent, name = os.path.split(entry)
    if not parent or not name:
        return entry
    # The directory is resolved, never the entry: it may be a broken link.
    if os.path.realpath(parent) == os.path.realpath(queue.dir):
        return os.path.join(queue.dir, name)
    return entry


def cmd_queue_quarantine(args: argparse.Namespace) -> int:
    queue = _queue(args.dir)
    print(queue.quarantine(_entry_in_queue(queue, args.entry)))
    return 0


def _no_item(queue_id: str) -> CliError:
    message = f"no queued item with id {queue_id!r}"
    if os.path.isdir(queue_id):
        message += f"; {queue_id!r} is a directory: the id comes first, then the queue directory"
    return CliError(message)


def cmd_queue_show(args: argparse.Namespace) -> int:
    for item in _queue(args.dir).scan()[0]:
        if item.queue_id == args.id:
            print(json.dumps(item.envelope.to_dict(), indent=2, ensure_ascii=False))
            return 0
    raise _no_item(args.id)


def _item_path(queue: ulo_protocol.EnvelopeQueue, queue_id: str) -> str:
    # The queue names an item's file by the id's ASCII letters, digits, - and _.
    return os.path.join(queue.dir, re.sub(r"[^A-Za-z0-9_-]", "", queue_id) + ".json")


def cmd_queue_drop(args: argparse.Namespace) -> int:
    queue = _queue(args.dir)
    path = _item_path(queue, args.id)
    present = os.path.lexists(path)
    # Deliberately not listing first: a corrupt item must stay droppable.
    queue.drop_item(args.id)
    # Still there: the file holds another id that shares its name.
    if not present or os.path.lexists(path):
        raise _no_item(args.id)
    return 0


def _item_envelope(text: str) -> ulo_protocol.SignedEnvelope | None:
    """The envelope inside a queue item file's text, or None if it is none."""
    try:
        value = json.loads(text)
    except (ValueError, RecursionError):
        return None
    if isinstance(value, dict) and "queue_id" in value and isinstance(value.get("envelope"), dict):
        return ulo_protocol.SignedEnvelope.from_dict(value["envelope"])
    return None


def _load_envelope(path: str) -> ulo_protocol.SignedEnvelope:
    """An envelope file, or a queue item file holding one."""
    text = _read_text(path)
    try:
        return ulo_protocol.SignedEnvelope.from_json(text)
    except ValueError:
        envelope = _item_envelope(text)
        if envelope is None:
            raise
        return envelope


def cmd_envelope_signing_bytes(args: argparse.Namespace) -> int:
    data = _load_envelope(args.file).canonical_signing_bytes()
    if args.hex:
        print(data.hex())
    else:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    return 0


def _decode_signature(text: str, error: str) -> bytes:
    # Accept the padded and the unpadded standard alphabet alike.
    stripped = text.strip().rstrip("=")
    try:
        return base64.b64decode(stripped + "=" * (-len(stripped) % 4), validate=True)
    except (binascii.Error, ValueError):
        raise CliError(error) from None


def _in_file(path: str, error: ValueError) -> CliError:
    """The module's message, then the file it concerns."""
    return CliError(f"{error.args[0] if error.args else error} (in {path})")


def cmd_envelope_verify(args: argparse.Namespace) -> int:
    # A given signature is checked before any file is read.
    given = None if args.signature is None else _decode_signature(
        args.signature, "--signature is not valid Base64"
    )
    try:
        envelope = _load_envelope(args.file)
    except ValueError as e:
        raise _in_file(args.file, e) from None
    signature = given if given is not None else _decode_signature(
        envelope.our_signature,
        f"the envelope's our_signature is not standard Base64; give the signature with "
        f"--signature (in {args.file})",
    )
    try:
        descriptor = ulo_protocol.PeerIdentityDescriptor.from_json(_read_text(args.descriptor))
    except ValueError as e:
        raise _in_file(args.descriptor, e) from None
    weak = descriptor.has_small_order_key
    if weak and not args.strict:
        print(f"{PROG}: warning: the key of {args.descriptor} is of small order: anyone can sign "
              f"for this key (--strict refuses it)", file=sys.stderr)
    check = descriptor.verify_strict if args.strict else descriptor.verify
    try:
        check(envelope.canonical_signing_bytes(), signature)
    except ValueError as e:
        message = f"{e.args[0]} ({args.file}, key of {args.descriptor})"
        if weak:
            message += ": the key is of small order; anyone can sign for this key"
        if args.json:
            print(json.dumps({"file": args.file, "ok": False, "error": message,
                              "small_order_key": weak}))
            return 1
        raise CliError(message) from None
    # Vouch only for what was checked: the fingerprint of the key that verified.
    key_b64 = descriptor.public_key_b64.rstrip("=")
    key = base64.b64decode(key_b64 + "=" * (-len(key_b64) % 4))
    fingerprint = ulo_protocol.PeerIdentityDescriptor.fingerprint_of(key)
    if fingerprint != descriptor.fingerprint:
        raise CliError(
            f"the signature verifies with the descriptor's key, whose fingerprint is "
            f"{fingerprint}, but the descriptor claims the fingerprint {descriptor.fingerprint}"
        )
    if args.json:
        print(json.dumps({"file": args.file, "ok": True, "fingerprint": fingerprint,
                          "small_order_key": weak}))
    else:
        print(f"ok: signature by {fingerprint} verifies")
    return 0


def cmd_classify(args: argparse.Namespace) -> int:
    print(ulo_protocol.classify_exchange(args.hint, args.counterparty))
    return 0


def cmd_identity_new(args: argparse.Namespace) -> int:
    identity = ulo_protocol.SoftwareIdentity.generate()
    seed = identity.secret_bytes()
    try:
        # O_EXCL: never overwrite an existing key file.
        fd = os.open(args.seed_out, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        raise CliError(f"refusing to overwrite existing file {args.seed_out}") from None
    except OSError as e:
        raise CliError(f"cannot create {args.seed_out}: {e.strerror or e}") from None
    try:
        try:
            os.fchmod(fd, 0o600)  # independent of an unusual umask
            view = memoryview(seed)
            while view:
                view = view[os.write(fd, view) :]
            os.fsync(fd)
        finally:
            os.close(fd)
    except OSError as e:
        # A partial seed is no key, and would block the retry.
        os.unlink(args.seed_out)
        raise CliError(f"cannot write {args.seed_out}: {e.strerror or e}") from None
    print(identity.descriptor().to_json())
    return 0


def cmd_identity_descriptor(args: argparse.Namespace) -> int:
    try:
        with open(args.seed_file, "rb") as f:
            seed = f.read(33)
    except OSError as e:
        raise CliError(f"cannot read {args.seed_file}: {e.strerror or e}") from None
    if len(seed) != 32:
        raise CliError(f"{args.seed_file} is no seed file: a seed is exactly 32 bytes"
                       f"{'' if len(seed) > 32 else f', it holds {len(seed)}'}")
    print(ulo_protocol.SoftwareIdentity.from_seed(seed).descriptor().to_json())
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Inspect the envelope queue, envelopes and identities."
    )
    parser.add_argument("--version", action="version", version=ulo_protocol.__version__)
    groups = parser.add_subparsers(dest="group", required=True, metavar="COMMAND")

    default_dir = ulo_protocol.EnvelopeQueue.default().dir
    dir_help = (f"queue directory (default: {default_dir}, that is $HOME/.tovane/envelope-queue, "
                f"or .envelope-queue here when HOME is unset)")
    json_help = "print JSON instead of text"
    queue = groups.add_parser("queue", help="list, count, show and drop spilled envelopes")
    queue_cmds = queue.add_subparsers(dest="command", required=True, metavar="SUBCOMMAND")
    p = queue_cmds.add_parser("ls", help="one line per item: id, pair class, exchange time")
    p.add_argument("dir", nargs="?", metavar="DIR", help=dir_help)
    p.add_argument("--json", action="store_true",
                   help="one JSON object per line: queue_id, pair_class, opened_at")
    p.set_defaults(func=cmd_queue_ls)
    p = queue_cmds.add_parser(
        "count", help="the number of entries, by name, without reading them"
    )
    p.add_argument("dir", nargs="?", metavar="DIR", help=dir_help)
    p.add_argument("--json", action="store_true", help=json_help + ": dir and count")
    p.set_defaults(func=cmd_queue_count)
    p = queue_cmds.add_parser("show", help="print an item's envelope as indented JSON")
    p.add_argument("id", metavar="ID")
    p.add_argument("dir", nargs="?", metavar="DIR", help=dir_help)
    p.set_defaults(func=cmd_queue_show)
    p = queue_cmds.add_parser("drop", help="remove an item; exit status 1 if no item has that id")
    p.add_argument("id", metavar="ID")
    p.add_argument("dir", nargs="?", metavar="DIR", help=dir_help)
    p.set_defaults(func=cmd_queue_drop)
    p = queue_cmds.add_parser(
        "quarantine", help="move a bad entry into the queue's quarantine subdirectory"
    )
    p.add_argument("entry", metavar="ENTRY", help="the entry's path as `ls` reports it, or its name")
    p.add_argument("dir", nargs="?", metavar="DIR", help=dir_help)
    p.set_defaults(func=cmd_queue_quarantine)

    envelope = groups.add_parser("envelope", help="work with envelope JSON files")
    env_cmds = envelope.add_subparsers(dest="command", required=True, metavar="SUBCOMMAND")
    p = env_cmds.add_parser(
        "signing-bytes", help="write the canonical signing bytes of an envelope to stdout"
    )
    p.add_argument(
        "file", metavar="FILE", help="envelope JSON, or a queue item file ('-' for stdin)"
    )
    p.add_argument("--hex", action="store_true", help="write lowercase hex and a newline")
    p.set_defaults(func=cmd_envelope_signing_bytes)
    p = env_cmds.add_parser("verify", help="check a signature over an envelope's signing bytes")
    p.add_argument(
        "file", metavar="FILE", help="envelope JSON, or a queue item file ('-' for stdin)"
    )
    p.add_argument("--descriptor", required=True, metavar="FILE", help="signer's descriptor JSON")
    p.add_argument(
        "--signature", metavar="BASE64",
        help="the 64-byte signature in standard Base64 (default: the envelope's own "
        "our_signature, read as standard Base64)",
    )
    p.add_argument(
        "--strict", action="store_true",
        help="also refuse keys of small order or non-canonical encoding and R of small order, "
        "as libsodium does (a small-order key is otherwise only warned about)",
    )
    p.add_argument("--json", action="store_true",
                   help=json_help + ": file, ok, fingerprint or error, small_order_key")
    p.set_defaults(func=cmd_envelope_verify)

    p = groups.add_parser("classify", help="print the pair class of an exchange")
    p.add_argument("hint", metavar="HINT", help="protocol hint, e.g. quic")
    p.add_argument("counterparty", metavar="COUNTERPARTY", help="counterparty identifier")
    p.set_defaults(func=cmd_classify)

    identity = groups.add_parser("identity", help="software identities")
    id_cmds = identity.add_subparsers(dest="command", required=True, metavar="SUBCOMMAND")
    p = id_cmds.add_parser("new", help="create a key; write its seed, print its descriptor")
    p.add_argument(
        "--seed-out", required=True, metavar="FILE", help="new file (mode 0600) for the 32-byte seed"
    )
    p.set_defaults(func=cmd_identity_new)
    p = id_cmds.add_parser("descriptor", help="print the descriptor of the key in a seed file")
    p.add_argument("seed_file", metavar="SEEDFILE", help="a 32-byte seed, as `identity new` writes")
    p.set_defaults(func=cmd_identity_descriptor)
    return parser


def _fail(message: str, status: int = 1) -> NoReturn:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    raise SystemExit(status)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        _check_text_arguments(args)
        status: int = args.func(args)
        sys.stdout.flush()  # a closed pipe shows here, not at exit
        return status
    except CliError as e:
        _fail(str(e))
    except KeyboardInterrupt:
        _fail("interrupted", 130)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as e:
        # The queue's errors carry their whole text as the message.
        _fail(str(e.args[0]) if len(e.args) == 1 else str(e))
    except (ValueError, KeyError, TypeError) as e:
        _fail(str(e.args[0]) if e.args else type(e).__name__)
    except MemoryError:
        _fail("out of memory")
    except BaseException as e:  # the module's internal-fault class derives from BaseException
        if isinstance(e, SystemExit):
            raise
        _fail(f"internal error: {e or type(e).__name__}")


__all__ = ["main", "build_parser"]
