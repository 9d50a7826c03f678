"""A saved collection's directory: the manifest that names its shard files, and the save lock.

The manifest is the one file a load trusts to say which shard files form the collection; a save
replaces it atomically, and only the save that holds the directory's lock writes it or deletes
shard files. Workers never touch the manifest or the lock: the client coordinating a save does.
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import re
import secrets
import threading
import time
from collections.abc import Collection, Iterator
from contextlib import contextmanager
from typing import Any

from ._routing import ROUTING

MANIFEST = "manifest.json"
LOCK = "save.lock"
FORMAT = "lodex-sharded"
# A writer bumps the version whenever it adds a field; a reader reads every version up to its own
# and refuses a newer one rather than ignore what it cannot know. Version 2 adds each shard
# file's sha256; version 3 the metric, rotation and centre, whether the files are mappable, and
# each file's length in bytes (what a mapped load checks instead of reading every id). Version 4
# names each shard file with its place, the shard count and the save's generation, and lists
# every file of that generation: a list edited down (to one shard, say, where every id routes
# home) contradicts the names of the files it keeps or leaves one of its generation unlisted.
VERSION = 4
METRICS = ("ip", "cosine", "l2")
ROTATIONS = ("hadamard", "general")
# What a manifest before version 3 means: Index's defaults.
DEFAULT_OPTIONS: dict[str, Any] = {"metric": "ip", "rotation": "hadamard", "center": None}
# shard-00001-of-00004-<generation>.ldx since version 4; shard-00001-<generation>.ldx before.
SHARD_FILE = re.compile(r"shard-(?P<shard>\d{5})(?:-of-(?P<count>\d{5}))?-(?P<generation>[0-9a-f]{8})\.ldx")
SHA256 = re.compile(r"[0-9a-f]{64}")
# How often a save waiting for another one tries the lock again.
LOCK_POLL = 0.05


def shard_file(shard: int, count: int, generation: str) -> str:
    return f"shard-{shard:05d}-of-{count:05d}-{generation}.ldx"


def build(
    config: dict[str, Any],
    options: dict[str, Any],
    mappable: bool,
    files: list[str],
    saved: list[tuple[int, str, int]],
) -> dict[str, Any]:
    """The manifest of a save: the parameters, the routing and, per shard, (file, rows, sha256, bytes)."""
    return {
        "format": FORMAT,
        "version": VERSION,
        **config,
        **options,  # the centre as a list of floats: each float32 value survives JSON exactly
        "mappable": mappable,
        "routing": ROUTING,
        "shard_count": len(files),
        "shards": [
            {"file": name, "rows": rows, "sha256": digest, "bytes": size}
            for name, (rows, digest, size) in zip(files, saved)
        ],
    }


def write_atomically(path: str, data: bytes) -> None:
    """Replaces `path` by `data` so that a crash leaves the old file or the new one, never a mix."""
    temporary = f"{path}.{secrets.token_hex(4)}.tmp"
    try:
        with open(temporary, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise
    # The rename itself is durable only once the directory is.
    descriptor = os.open(os.path.dirname(path), os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def write(directory: str, manifest: dict[str, Any]) -> None:
    write_atomically(os.path.join(directory, MANIFEST), json.dumps(manifest, indent=1).encode())


def read(directory: str) -> dict[str, Any]:
    """The manifest of `directory`, checked field by field (ValueError naming what is wrong)."""
    path = os.path.join(directory, MANIFEST)
    with open(path, "rb") as f:
        text = f.read()

    def invalid(why: str) -> ValueError:
        return ValueError(f"invalid manifest {path}: {why}")

    try:
        manifest = json.loads(text)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise invalid("not JSON") from exc
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise invalid(f"format is not {FORMAT!r}")
    version = manifest.get("version")
    if type(version) is not int or not 1 <= version <= VERSION:
        raise invalid(f"version {version!r}; this lodex_dask reads versions 1 to {VERSION}")
    if manifest.get("routing") != ROUTING:
        raise invalid(f"routing {manifest.get('routing')!r}; this lodex_dask routes by {ROUTING!r}")
    for key, kind in (("dim", int), ("bits", int), ("use_qjl", bool), ("seed", int)):
        if type(manifest.get(key)) is not kind:
            raise invalid(f"{key} missing or not {kind.__name__}")
    if version >= 3:
        if manifest.get("metric") not in METRICS or manifest.get("rotation") not in ROTATIONS:
            raise invalid("metric or rotation missing or unknown")
        center = manifest.get("center")
        if center is not None and not (
            isinstance(center, list) and all(type(c) in (int, float) for c in center)
        ):
            raise invalid("center is neither null nor a list of numbers")
        if type(manifest.get("mappable")) is not bool:
            raise invalid("mappable missing or not bool")
    shards = manifest.get("shards")
    if not isinstance(shards, list) or not shards:
        raise invalid("no shard list")
    if manifest.get("shard_count") != len(shards):
        raise invalid(f"shard_count {manifest.get('shard_count')!r}, but {len(shards)} shards are listed")
    for s, shard in enumerate(shards):
        if not (
            isinstance(shard, dict)
            and isinstance(shard.get("file"), str)
            and SHARD_FILE.fullmatch(shard["file"])
            and type(shard.get("rows")) is int
            and shard["rows"] >= 0
        ):
            raise invalid(f"shard {s} needs a shard file name and a row count")
        if version >= 2 and not (isinstance(shard.get("sha256"), str) and SHA256.fullmatch(shard["sha256"])):
            raise invalid(f"shard {s} needs the sha256 of its file")
        if version >= 3 and not (type(shard.get("bytes")) is int and shard["bytes"] >= 0):
            raise invalid(f"shard {s} needs the length of its file")
    return manifest


def config(manifest: dict[str, Any]) -> dict[str, Any]:
    return {key: manifest[key] for key in ("dim", "bits", "use_qjl", "seed")}


def options(manifest: dict[str, Any]) -> dict[str, Any]:
    """The metric, rotation and centre (a list, or None) the manifest records."""
    return {key: manifest.get(key, default) for key, default in DEFAULT_OPTIONS.items()}


def check_names(directory: str, manifest: dict[str, Any]) -> None:
    """Refuses (ValueError) a manifest of version 4 or later whose list its file names contradict.

    It reads names only, never a file: every listed file must carry the manifest's shard count
    and one generation, and no other file of that generation may lie in the directory. Older
    manifests' files carry no count, and pass as before.
    """
    if manifest["version"] < 4:
        return
    path = os.path.join(directory, MANIFEST)
    count = manifest["shard_count"]
    files = [shard["file"] for shard in manifest["shards"]]
    generation = None
    for s, file in enumerate(files):
        name = SHARD_FILE.fullmatch(file)
        if name is None or name["count"] is None:
            raise ValueError(
                f"invalid manifest {path}: shard {s} is {file}, not a name "
                "shard-NNNNN-of-NNNNN-<generation>.ldx as every shard file of a version 4 save has"
            )
        if int(name["count"]) != count:
            raise ValueError(
                f"invalid manifest {path}: shard_count {count}, but shard {s} is {file}, "
                f"a file saved as one of {int(name['count'])} shards"
            )
        generation = generation or name["generation"]
        if name["generation"] != generation:
            raise ValueError(f"invalid manifest {path}: shard {s} is {file}, of another save than {files[0]}")
    for other in sorted(os.listdir(directory)):
        found = SHARD_FILE.fullmatch(other)
        if found and found["generation"] == generation and other not in files:
            raise ValueError(
                f"invalid manifest {path}: {os.path.join(directory, other)} belongs to the same save "
                "but is not listed (a shard left out of the list)"
            )


def listed(directory: str) -> list[str]:
    """The shard files the directory's current manifest names (none when it has no readable one)."""
    try:
        return [shard["file"] for shard in read(directory)["shards"]]
    except (OSError, ValueError):
        return []


def remove_unlisted(directory: str, files: Collection[str]) -> None:
    """Deletes every shard file of `directory` but `files`, those of the manifest just written.

    Only the holder of the save lock may call this: no other save is then writing files, and
    every other shard file belongs to a manifest already replaced or to a save that failed.
    """
    for name in os.listdir(directory):
        if SHARD_FILE.fullmatch(name) and name not in files:
            os.remove(os.path.join(directory, name))


def remove_quietly(directory: str, files: Collection[str]) -> None:
    """Deletes what a failed save wrote (no manifest names it), without hiding its failure."""
    for name in files:
        try:
            os.remove(os.path.join(directory, name))
        except OSError:
            pass


# One lock per directory within this process, by the directory's identity (whatever path
# reaches it): see save_lock.
_locks_guard = threading.Lock()
_locks: dict[tuple[int, int], threading.Lock] = {}


@contextmanager
def save_lock(directory: str, timeout: float) -> Iterator[None]:
    """Holds the save lock of `directory`: one save at a time, whichever process or machine runs it.

    The lock is a POSIX record lock on the file `save.lock` beside the manifest. The kernel (or
    the NFS lock manager, on a shared file system) drops it when its holder dies, so a crashed
    save never leaves a stale lock. Such a lock belongs to a process, not to a thread, and closing
    any descriptor of the file drops it: threads of one process first take a lock of their own,
    and only its holder opens the file. A save waits up to `timeout` seconds for another one,
    then raises TimeoutError.
    """
    status = os.stat(directory)
    with _locks_guard:
        local = _locks.setdefault((status.st_dev, status.st_ino), threading.Lock())
    deadline = time.monotonic() + timeout

    def busy() -> TimeoutError:
        return TimeoutError(f"another save into {directory} did not finish within {timeout:g} s")

    if not local.acquire(timeout=timeout):
        raise busy()
    try:
        descriptor = os.open(os.path.join(directory, LOCK), os.O_RDWR | os.O_CREAT, 0o666)
        try:
            while True:
                try:
                    fcntl.lockf(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except OSError as exc:
                    if exc.errno not in (errno.EACCES, errno.EAGAIN):
                        raise
                if time.monotonic() >= deadline:
                    raise busy()
                time.sleep(LOCK_POLL)
            yield  # closing the descriptor releases the lock
        finally:
            os.close(descriptor)
    finally:
        local.release()
