import fcntl
import os
import pathlib
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pytest

import lodex

from conftest import HANG_LIMIT, SANITIZED, make_index, run_python

HEADER = struct.Struct("<4sHIBBQQQQQ")


def header_of(path):
    return HEADER.unpack(pathlib.Path(path).read_bytes()[:52])


def write_file(path, *, magic=b"LDXI", version=1, dim=8, bits=4, use_qjl=0, seed=3, count=0, ids=(), norms=(),
               codes=b"", qjl=b"", offsets=None, tail=b""):
    code_bytes = (dim * bits + 7) // 8
    n = count
    norms_offset, codes_offset = 52 + 8 * n, 52 + 10 * n
    qjl_offset = 52 + 10 * n + n * code_bytes if use_qjl else 0
    if offsets:
        norms_offset, codes_offset, qjl_offset = offsets
    body = HEADER.pack(magic, version, dim, bits, use_qjl, seed, count, norms_offset, codes_offset, qjl_offset)
    body += b"".join(struct.pack("<Q", i) for i in ids) + b"".join(struct.pack("<H", h) for h in norms)
    pathlib.Path(path).write_bytes(body + codes + qjl + tail)
    return path


@pytest.mark.parametrize("bits", [2, 3, 4, 5])
@pytest.mark.parametrize("use_qjl", [False, True])
def test_round_trip_is_byte_identical_and_searches_the_same(tmp_path, bits, use_qjl, rng):
    index = make_index(dim=32, bits=bits, use_qjl=use_qjl, seed=11, rows=300, rng=rng)
    first, second = tmp_path / "a.ldx", tmp_path / "b.ldx"
    index.save(str(first))
    loaded = lodex.Index.load(str(first))
    loaded.save(path=str(second))
    assert first.read_bytes() == second.read_bytes()
    assert loaded.config == index.config and loaded.size == 300
    q = rng.standard_normal(32).astype(np.float32)
    assert loaded.search(q, 300) == index.search(q, 300)


def test_file_size_and_offsets(tmp_path, rng):
    index = make_index(dim=128, bits=4, use_qjl=True, seed=1, rows=1000, rng=rng)
    path = tmp_path / "x.ldx"
    index.save(str(path))
    assert path.stat().st_size == 90052
    assert header_of(path) == (b"LDXI", 1, 128, 4, 1, 1, 1000, 8052, 10052, 74052)


@pytest.mark.parametrize("use_qjl, qjl_offset", [(False, 0), (True, 52)])
def test_empty_index_file(tmp_path, use_qjl, qjl_offset):
    path = tmp_path / "e.ldx"
    lodex.Index(64, 3, use_qjl, 99).save(str(path))
    assert path.stat().st_size == 52
    assert header_of(path) == (b"LDXI", 1, 64, 3, int(use_qjl), 99, 0, 52, 52, qjl_offset)
    loaded = lodex.Index.load(str(path))
    assert loaded.size == 0 and loaded.config == {"dim": 64, "bits": 3, "use_qjl": use_qjl, "seed": 99}


def test_loaded_index_grows_and_saves_in_order(tmp_path, rng):
    data = rng.standard_normal((6, 16)).astype(np.float32)
    whole = make_index(dim=16)
    whole.add_batch(range(6), data)
    part = make_index(dim=16)
    part.add_batch(range(3), data[:3])
    part.save(str(tmp_path / "p.ldx"))
    grown = lodex.Index.load(str(tmp_path / "p.ldx"))
    grown.add_batch(range(3, 6), data[3:])
    whole.save(str(tmp_path / "w.ldx"))
    grown.save(str(tmp_path / "g.ldx"))
    assert (tmp_path / "w.ldx").read_bytes() == (tmp_path / "g.ldx").read_bytes()


def test_save_over_the_file_it_was_loaded_from(tmp_path, rng):
    path = str(tmp_path / "same.ldx")
    make_index(dim=8, rows=10, rng=rng).save(path)
    loaded = lodex.Index.load(path)
    loaded.add_batch([99], np.ones((1, 8), np.float32))
    loaded.save(path)
    assert lodex.Index.load(path).size == 11


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "invalid .ldx file: file too small"),
        (b"0123456789", "invalid .ldx file: file too small"),
        (b"LDXI" + bytes(47), "invalid .ldx file: file too small"),
        (b"LDXJ" + bytes(48), "invalid .ldx file: bad magic"),
    ],
)
def test_invalid_files(tmp_path, content, message):
    path = tmp_path / "bad.ldx"
    path.write_bytes(content)
    with pytest.raises(RuntimeError) as info:
        lodex.Index.load(str(path))
    assert str(info.value) == message


def test_lenient_header_fields(tmp_path):
    assert lodex.Index.load(write_file(str(tmp_path / "v.ldx"), version=7)).size == 0
    loaded = lodex.Index.load(write_file(str(tmp_path / "q.ldx"), use_qjl=2))
    assert loaded.config["use_qjl"] is True
    with_tail = write_file(str(tmp_path / "t.ldx"), count=1, ids=[4], norms=[0x3F80], codes=bytes(4), tail=b"junk")
    assert lodex.Index.load(with_tail).size == 1


def test_qjl_flag_without_section_saves_zero_section(tmp_path):
    path = write_file(str(tmp_path / "n.ldx"), use_qjl=1, count=2, ids=[1, 2], norms=[0x3F80, 0x4000],
                      codes=bytes([0x12] * 8), offsets=(68, 72, 0))
    loaded = lodex.Index.load(path)
    out = tmp_path / "out.ldx"
    loaded.save(str(out))
    data = out.read_bytes()
    assert len(data) == 52 + 2 * (10 + 4 + 1) and data[-2:] == bytes(2)
    assert header_of(out)[-1] == 52 + 20 + 8


def test_unsupported_width_from_file(tmp_path):
    path = write_file(str(tmp_path / "b7.ldx"), bits=7, count=1, ids=[1], norms=[0x3F80], codes=bytes(7))
    index = lodex.Index.load(path)
    assert index.config["bits"] == 7
    with pytest.raises(RuntimeError) as info:
        index.search(np.ones(8, np.float32), 1)
    assert str(info.value) == "codebook error: unsupported bit-width 7. Valid: 2, 3, 4, 5"
    assert index.search(np.ones(8, np.float32), 0) == []
    with pytest.raises(RuntimeError) as info:
        index.add_batch([2], np.ones((1, 8), np.float32))
    assert str(info.value) == "unsupported bit-width 7. Valid: 2, 3, 4, 5"
    assert index.size == 1
    index.add_batch([], np.ones((0, 8), np.float32))


def test_dimension_not_power_of_two_fails_after_rows(tmp_path):
    path = write_file(str(tmp_path / "d.ldx"), dim=100, count=1, ids=[1], norms=[0], codes=bytes(50))
    with pytest.raises(RuntimeError) as info:
        lodex.Index.load(path)
    assert str(info.value) == "dimension 100 is not a power of 2"


@pytest.mark.parametrize("extra", [1, 2**60])
def test_count_beyond_the_file_is_an_internal_fault(tmp_path, extra):
    path = write_file(str(tmp_path / "c.ldx"), count=1, ids=[1], norms=[0x3F80], codes=bytes(4))
    data = bytearray(pathlib.Path(path).read_bytes())
    struct.pack_into("<Q", data, 20, 1 + extra)
    pathlib.Path(path).write_bytes(bytes(data))
    # A broken invariant: not an ordinary error, but catchable by name.
    with pytest.raises(lodex.InternalFault):
        lodex.Index.load(path)


# Loads a file in a child process whose address space may grow only by
# `headroom` bytes once lodex is imported: a load that reads or reserves more
# than the file's rows need fails there instead of taking the machine's memory.
LIMITED_LOAD = """
import resource, sys
import lodex
headroom = int(sys.argv[2])
if headroom:
    with open("/proc/self/status") as f:
        mapped = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (mapped + headroom, mapped + headroom))
try:
    index = lodex.Index.load(sys.argv[1])
except BaseException as e:
    print(f"{type(e).__name__}: {e}")
else:
    print(f"loaded {index.size} rows")
"""


def load_in_child(path, headroom):
    env = dict(os.environ)
    if SANITIZED:
        # Only the load's answer matters here. LeakSanitizer's exit-time scan
        # of this child sometimes dies reading a dynamic TLS entry it
        # recorded wrongly (a fault of the tool, not of the load).
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    run = subprocess.run([sys.executable, "-c", LIMITED_LOAD, str(path), str(0 if SANITIZED else headroom)],
                         capture_output=True, text=True, timeout=300, env=env)
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


@pytest.mark.parametrize("target, expected", [
    ("/dev/zero", "RuntimeError: invalid .ldx file: bad magic"),
    ("/dev/full", "RuntimeError: invalid .ldx file: bad magic"),
    ("sparse tail", "loaded 3 rows"),
])
def test_load_reads_the_header_then_only_what_the_rows_need(tmp_path, target, expected):
    if target == "sparse tail":
        target = write_file(str(tmp_path / "t.ldx"), count=3, ids=[1, 2, 3], norms=[0x3F80] * 3, codes=bytes(12))
        os.truncate(target, 2**30)  # a GiB of zeros after the rows, costing no disk
    elif not os.path.exists(target):
        pytest.skip(f"no {target}")
    assert load_in_child(target, 2**28) == expected


def test_a_pipe_fed_without_end_is_read_only_as_far_as_the_rows_need(tmp_path, rng):
    index = make_index(dim=64, rows=300, rng=rng)
    index.save(str(tmp_path / "x.ldx"))
    content = (tmp_path / "x.ldx").read_bytes()
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    fed = {}

    def feed():
        # The rows, then junk up to 64 MiB (a stand-in for "forever"), until
        # the reader closes its end.
        fd = os.open(pipe, os.O_WRONLY)
        fed["capacity"] = fcntl.fcntl(fd, fcntl.F_GETPIPE_SZ)
        stream, sent = memoryview(content + bytes(2**26 - len(content))), 0
        try:
            while sent < len(stream):
                sent += os.write(fd, stream[sent:sent + 2**16])
        except BrokenPipeError:
            pass
        finally:
            os.close(fd)
            fed["sent"] = sent

    feeder = threading.Thread(target=feed)
    feeder.start()
    loaded = lodex.Index.load(str(pipe))
    feeder.join()
    assert loaded.size == 300
    q = rng.standard_normal(64).astype(np.float32)
    assert loaded.search(q, 300) == index.search(q, 300)
    assert fed["sent"] <= len(content) + fed["capacity"]  # beyond the rows, only what the pipe held unread


def test_a_file_too_big_for_memory_raises_memory_error(tmp_path):
    if SANITIZED:
        pytest.skip("no address-space limit under AddressSanitizer")
    rows = 131072  # 8 KiB of codes a row at dim 16384, 4 bits: a GiB
    path = write_file(str(tmp_path / "big.ldx"), dim=16384, bits=4, count=rows)
    os.truncate(path, 52 + rows * (10 + 8192))
    outcome = load_in_child(path, 2**28)
    assert outcome.partition(":")[0] == "MemoryError"


def test_a_header_claiming_a_huge_dimension_costs_what_the_file_holds(tmp_path):
    path = write_file(str(tmp_path / "wide.ldx"), dim=2**28)
    out = run_python(
        f"""
        import lodex

        def peak_kib():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))

        before = peak_kib()
        index = lodex.Index.load({path!r})
        print(index.size, index.config["dim"], peak_kib() - before)
        """
    )
    size, dim, grown_kib = map(int, out.split())
    assert (size, dim) == (0, 2**28)
    assert grown_kib < 64 * 1024  # the sign vector alone would be 1 GiB


@pytest.mark.parametrize("writer", [True, False], ids=["waiting-in-read", "waiting-in-open"])
def test_ctrl_c_ends_a_load_from_a_fifo_that_never_ends(tmp_path, writer):
    """A header promising rows that never come, through a FIFO whose writer
    stays open, or a FIFO nobody opens for writing: the load waits in read()
    or in open(), and Ctrl-C must end it."""
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    header = HEADER.pack(b"LDXI", 1, 8, 4, 0, 0, 1000, 52 + 8000, 52 + 10000, 0)
    done = threading.Event()
    interrupted = []

    def on_ctrl_c(signum, frame):
        # A signal that lands before the load blocks cannot wake it (on a
        # busy machine the load may start late), so Ctrl-C comes again
        # until the load ends; only the first one raises.
        if not interrupted:
            interrupted.append(signum)
            raise KeyboardInterrupt

    def feed():
        try:
            with open(fifo, "wb") as f:
                f.write(header)
                f.flush()
                done.wait(HANG_LIMIT)
        except BrokenPipeError:
            pass  # the load ended before it read: see below

    def interrupt(main):
        while not done.wait(0.3):
            signal.pthread_kill(main, signal.SIGINT)

    previous = signal.signal(signal.SIGINT, on_ctrl_c)
    feeding = threading.Thread(target=feed if writer else lambda: None)
    feeding.start()
    interrupting = threading.Thread(target=interrupt, args=(threading.main_thread().ident,))
    interrupting.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            lodex.Index.load(fifo)
    finally:
        done.set()
        if writer:
            # A writer still waiting for a reader (the load ended before it
            # opened the FIFO) is let through by one that leaves at once.
            os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
        feeding.join()
        interrupting.join()
        signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("method", ["save", "load"])
@pytest.mark.parametrize("path", [pathlib.Path("x.ldx"), b"x.ldx", None, 3])
def test_path_must_be_str(method, path):
    with pytest.raises(TypeError, match="^argument 'path': "):
        if method == "save":
            make_index().save(path)
        else:
            lodex.Index.load(path)


def test_io_errors(tmp_path):
    missing = tmp_path / "nope.ldx"
    with pytest.raises(OSError) as info:
        lodex.Index.load(str(missing))
    assert str(info.value) == "I/O error: No such file or directory (os error 2)"
    assert type(info.value) is OSError and info.value.errno is None
    with pytest.raises(IOError, match=r"^I/O error: Is a directory \(os error 21\)$"):
        lodex.Index.load(str(tmp_path))
    with pytest.raises(OSError, match=r"^I/O error: .* \(os error 2\)$"):
        make_index().save(str(tmp_path / "no" / "dir.ldx"))
    assert not (tmp_path / "no").exists()
    (tmp_path / "plain").write_bytes(b"x")
    with pytest.raises(OSError, match=r"\(os error 20\)$"):
        make_index().save(str(tmp_path / "plain" / "child.ldx"))


@pytest.mark.parametrize("method", ["save", "load"])
def test_nul_in_path(tmp_path, method):
    target = str(tmp_path / "a\0b.ldx")
    with pytest.raises(OSError) as info:
        make_index().save(target) if method == "save" else lodex.Index.load(target)
    assert str(info.value) == "I/O error: file name contained an unexpected NUL byte"
    assert list(tmp_path.iterdir()) == []


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_device_target_reports_the_write_error(rng):
    with pytest.raises(OSError, match=r"\(os error 28\)$"):
        make_index(dim=64, rows=500, rng=rng).save("/dev/full")


def test_replacing_keeps_mode_and_leaves_no_temporary(tmp_path, rng):
    path = tmp_path / "keep.ldx"
    make_index(dim=8, rows=5, rng=rng).save(str(path))
    before = path.read_bytes()
    os.chmod(path, 0o640)
    make_index(dim=8, rows=9, rng=rng).save(str(path))
    assert stat.S_IMODE(path.stat().st_mode) == 0o640  # replacing keeps the permission bits
    assert path.read_bytes() != before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["keep.ldx"]  # no temporary left behind


@pytest.fixture
def shared_dir():
    """A directory any user can reach (pytest's own tmp_path is private to root)."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="ldx-shared-"))
    yield path
    path.chmod(0o700)
    shutil.rmtree(path)


# Forking a process that may run the search pool's threads; Python warns about it.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_directory_that_takes_no_new_names_leaves_the_file_whole(shared_dir, rng):
    path = shared_dir / "kept.ldx"
    make_index(dim=8, rows=5, rng=rng).save(str(path))
    before = path.read_bytes()
    path.chmod(0o666)
    bigger = make_index(dim=64, rows=2000, rng=rng)
    shared_dir.chmod(0o555)  # the file may be written, the directory takes no new name
    pid = os.fork()
    if pid == 0:  # root ignores directory permissions: the child saves as an ordinary user
        code = 3
        try:
            if os.geteuid() == 0:
                os.setuid(65534)
            code = 4 if not os.access(path, os.W_OK) else 1
            if code == 1:
                bigger.save(str(path))
        except OSError as e:
            code = 0 if str(e) == "I/O error: Permission denied (os error 13)" else 2
        finally:
            os._exit(code)
    code = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    if code in (3, 4):
        pytest.skip("no ordinary user who can write the file here")
    assert code == 0, "1: the save went ahead, 2: another error"
    assert path.read_bytes() == before
    assert sorted(p.name for p in shared_dir.iterdir()) == ["kept.ldx"]


def test_symlink_is_kept_and_its_target_replaced(tmp_path, rng):
    real = tmp_path / "real.ldx"
    link = tmp_path / "link.ldx"
    make_index(dim=8, rows=1, rng=rng).save(str(real))
    link.symlink_to(real)
    make_index(dim=8, rows=4, rng=rng).save(str(link))
    assert link.is_symlink() and lodex.Index.load(str(real)).size == 4


def test_new_file_mode_follows_umask(tmp_path):
    old = os.umask(0o027)
    try:
        make_index().save(str(tmp_path / "m.ldx"))
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "m.ldx").stat().st_mode) == 0o640


def test_save_waits_for_nothing_but_add_batch_waits_for_save(tmp_path, rng):
    index = make_index(dim=256, bits=5, rows=20000, rng=rng)
    path = str(tmp_path / "big.ldx")
    saver = threading.Thread(target=index.save, args=(path,))
    saver.start()
    index.add_batch([10**9], np.ones((1, 256), np.float32))
    saver.join()
    size = lodex.Index.load(path).size
    assert size in (20000, 20001)  # a consistent snapshot, never a torn one
