import hashlib
import io
import os
import pathlib
import re
import stat
import subprocess
import sys
import textwrap
import threading
import time
import types

import numpy as np
import pytest

from kestrel import vault

KEY = hashlib.sha256(b"marigold").digest()


def encipher(plain: bytes) -> bytes:
    """The file format computed independently: byte i XOR key[i % 32]."""
    data = np.frombuffer(plain, dtype=np.uint8)
    key = np.resize(np.frombuffer(KEY, dtype=np.uint8), data.size)
    return (data ^ key).tobytes()


def host(array):
    """load_vault's result on the host: it is a CuPy array where a GPU is usable."""
    return array.get() if hasattr(array, "get") else array


def npy_bytes(array) -> bytes:
    buf = io.BytesIO()
    np.save(buf, array)
    return buf.getvalue()


@pytest.mark.parametrize(
    "array",
    [
        np.arange(12, dtype=np.float32).reshape(3, 4),
        np.asfortranarray(np.arange(30, dtype=np.int16).reshape(5, 6)),
        np.array(3.5),
        np.zeros((0, 4), dtype=np.uint8),
        np.arange(1000, dtype=">f8")[::3],
    ],
    ids=["float32", "fortran", "0-d", "empty", "big-endian-view"],
)
def test_file_is_npy_stream_xored_with_the_password_digest(tmp_path, array):
    path = tmp_path / "m.bin"
    vault.save(array, str(path))
    stored = path.read_bytes()
    assert stored == encipher(npy_bytes(array))
    assert stored[:6] == bytes(a ^ b for a, b in zip(b"\x93NUMPY", KEY))

    loaded = vault.load_vault(str(path))
    assert loaded.dtype == array.dtype and loaded.shape == array.shape
    np.testing.assert_array_equal(host(loaded), array)


def test_reads_files_written_by_other_programs(tmp_path):
    array = np.random.default_rng(1).standard_normal((7, 9)).astype(np.float64)
    path = tmp_path / "foreign.bin"
    path.write_bytes(encipher(npy_bytes(array)))
    np.testing.assert_array_equal(host(vault.load_vault(str(path))), array)


def test_relative_paths_follow_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    vault.save(np.ones(3), "rel.bin")
    assert (tmp_path / "rel.bin").exists()
    np.testing.assert_array_equal(host(vault.load_vault("rel.bin")), np.ones(3))


def test_default_file_follows_script_dir_at_call_time(tmp_path, monkeypatch):
    assert vault.script_dir == os.path.dirname(os.path.abspath(vault.__file__))
    monkeypatch.setattr(vault, "script_dir", str(tmp_path))
    with pytest.raises(FileNotFoundError) as err:
        vault.load_vault()
    expected = os.path.join(str(tmp_path), "vault.bin")
    assert err.value.args == ("VAULT file not found: " + expected,)
    assert err.value.errno is None and err.value.filename is None

    vault.save(np.eye(2))
    assert (tmp_path / "vault.bin").exists()
    np.testing.assert_array_equal(host(vault.load_vault(None)), np.eye(2))


def test_missing_given_path_is_reported_unchanged():
    with pytest.raises(FileNotFoundError, match=r"^VAULT file not found: no/such\.bin$"):
        vault.load_vault("no/such.bin")


@pytest.mark.parametrize(
    "content",
    [b"", b"not a vault file at all", encipher(npy_bytes(np.ones(4)))[:40]],
    ids=["empty", "foreign", "truncated"],
)
def test_damaged_files_raise_numpys_error(tmp_path, content):
    path = tmp_path / "bad.bin"
    path.write_bytes(content)
    with pytest.raises((ValueError, EOFError)):
        vault.load_vault(str(path))


def test_pickled_content_is_refused_on_load(tmp_path):
    path = tmp_path / "obj.bin"
    vault.save(np.array([{"a": 1}, None], dtype=object), str(path))
    with pytest.raises(ValueError, match="allow_pickle"):
        vault.load_vault(str(path))


def test_unreadable_existing_path_raises_os_error(tmp_path):
    with pytest.raises(IsADirectoryError):
        vault.load_vault(str(tmp_path))


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vault.load_vault(b"x.bin"), "Argument 'vault_path' has incorrect type (expected str, got bytes)"),
        (lambda: vault.load_vault(pathlib.Path("x")), "Argument 'vault_path' has incorrect type (expected str, got PosixPath)"),
        (lambda: vault.save(np.ones(1), 3), "Argument 'dest_path' has incorrect type (expected str, got int)"),
        (lambda: vault.save(), "save() takes at least 1 positional argument (0 given)"),
        (lambda: vault.save(np.ones(1), None, None), "save() takes at most 2 positional arguments (3 given)"),
        (lambda: vault.load_vault(None, None), "load_vault() takes at most 1 positional argument (2 given)"),
        (lambda: vault.load_vault(path="x"), "load_vault() got an unexpected keyword argument 'path'"),
        (lambda: vault.save(np.ones(1), array=np.ones(1)), "save() got multiple values for keyword argument 'array'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_str_subclass_is_refused_with_a_note(tmp_path):
    with pytest.raises(TypeError) as err:
        vault.save(np.ones(1), Text(str(tmp_path / "x.bin")))
    assert str(err.value) == "Argument 'dest_path' has incorrect type (expected str, got Text)"
    assert "subclasses" in err.value.__notes__[0]
    assert not (tmp_path / "x.bin").exists()


def test_keywords_and_signatures():
    import inspect

    assert str(inspect.signature(vault.load_vault)) == "(vault_path=None)"
    assert str(inspect.signature(vault.save)) == "(array, dest_path=None)"


def test_unserialisable_array_leaves_destination_untouched(tmp_path, monkeypatch):
    path = tmp_path / "keep.bin"
    vault.save(np.arange(5), str(path))
    before = path.read_bytes()

    def refuse(*_):
        raise RuntimeError("cannot serialise")

    monkeypatch.setattr(vault, "np", types.SimpleNamespace(save=refuse, load=np.load))
    with pytest.raises(RuntimeError, match="cannot serialise"):
        vault.save(np.arange(7), str(path))
    assert path.read_bytes() == before


def test_failed_write_keeps_the_previous_file_and_no_temporary(tmp_path):
    path = tmp_path / "keep.bin"
    vault.save(np.arange(5), str(path))
    before = path.read_bytes()
    # A file-size limit makes the write of a large array fail half-way.
    script = textwrap.dedent(
        f"""
        import errno, resource, signal, numpy as np
        from kestrel import vault
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
        try:
            vault.save(np.zeros(1 << 20), {str(path)!r})
        except OSError as e:
            print(e.errno == errno.EFBIG, e.filename)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["True", str(path)]
    assert path.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["keep.bin"]


def test_missing_directory_raises_and_replacing_keeps_permissions(tmp_path):
    with pytest.raises(FileNotFoundError):
        vault.save(np.ones(2), str(tmp_path / "nowhere" / "m.bin"))
    path = tmp_path / "m.bin"
    vault.save(np.ones(2), str(path))
    os.chmod(path, 0o640)
    vault.save(np.zeros(2), str(path))
    assert path.stat().st_mode & 0o777 == 0o640
    np.testing.assert_array_equal(host(vault.load_vault(str(path))), np.zeros(2))


def test_save_through_a_symlink_replaces_its_target(tmp_path):
    target = tmp_path / "real.bin"
    link = tmp_path / "link.bin"
    vault.save(np.ones(2), str(target))
    link.symlink_to(target)
    vault.save(np.full(2, 4.0), str(link))
    assert link.is_symlink()
    np.testing.assert_array_equal(host(vault.load_vault(str(target))), np.full(2, 4.0))


class FakeCuPy:
    """Stands in for CuPy so the GPU branches run without a GPU."""

    class ndarray:
        def __init__(self, host):
            self.host = host

    def __init__(self, available):
        self.cuda = types.SimpleNamespace(is_available=lambda: available)

    def asarray(self, host):
        return self.ndarray(host)

    def asnumpy(self, array):
        return array.host


def test_gpu_arrays_in_and_out_follow_cupy(tmp_path, monkeypatch):
    path = str(tmp_path / "g.bin")
    monkeypatch.setattr(vault, "cp", FakeCuPy(available=True))
    vault.save(vault.cp.ndarray(np.arange(6.0)), path)
    loaded = vault.load_vault(path)
    assert isinstance(loaded, FakeCuPy.ndarray)
    np.testing.assert_array_equal(loaded.host, np.arange(6.0))

    # Big-endian data is not handed to CuPy, which would make it little-endian.
    vault.save(np.arange(3, dtype=">i4"), path)
    loaded = vault.load_vault(path)
    assert type(loaded) is np.ndarray and loaded.dtype == ">i4"

    monkeypatch.setattr(vault, "cp", FakeCuPy(available=False))
    assert isinstance(vault.load_vault(path), np.ndarray)


@pytest.mark.gpu
def test_cupy_round_trip(tmp_path):
    import cupy as cp

    array = cp.arange(24, dtype=cp.float32).reshape(4, 6)
    path = str(tmp_path / "gpu.bin")
    vault.save(array, path)
    loaded = vault.load_vault(path)
    assert isinstance(loaded, cp.ndarray)
    cp.testing.assert_array_equal(loaded, array)


# CuPy holds native-order numbers and booleans only: it would turn big-endian data
# little-endian on upload and refuses the rest, so those stay NumPy with the stored dtype.
HOST_ONLY = {
    "big-endian": np.arange(6, dtype=">f4"),
    "big-endian-int": np.arange(6, dtype=">i2").reshape(2, 3),
    "str": np.array(["ab", "c"]),
    "bytes": np.array([b"xy", b""]),
    "datetime": np.arange(3).astype("M8[s]"),
    "structured": np.zeros(2, dtype=[("a", "<f4"), ("b", "u1")]),
    "longdouble": np.arange(3, dtype=np.longdouble),
}
ON_DEVICE = {t: np.arange(6).astype(t) for t in ["?", "i1", "u2", "i8", "f2", "f8", "c8", "c16"]}


@pytest.mark.gpu
@pytest.mark.parametrize("name", [*HOST_ONLY, *ON_DEVICE])
def test_loaded_dtype_is_the_stored_one(tmp_path, name):
    import cupy as cp

    array = HOST_ONLY.get(name, ON_DEVICE.get(name))
    path = str(tmp_path / "d.bin")
    vault.save(array, path)
    loaded = vault.load_vault(path)
    assert type(loaded) is (np.ndarray if name in HOST_ONLY else cp.ndarray)
    assert loaded.dtype == array.dtype and loaded.shape == array.shape
    np.testing.assert_array_equal(host(loaded), array)


def test_destination_paths_open_would_refuse_are_refused_before_any_work(tmp_path):
    with pytest.raises(ValueError, match="null"):
        vault.save(np.ones(2), str(tmp_path / "x.bin") + "\0junk")
    with pytest.raises(IsADirectoryError):
        vault.save(np.ones(2), str(tmp_path))
    assert list(tmp_path.iterdir()) == []


def test_save_through_a_dangling_symlink_creates_its_target(tmp_path):
    link = tmp_path / "link.bin"
    link.symlink_to("target.bin")
    vault.save(np.arange(3), str(link))
    assert link.is_symlink() and (tmp_path / "target.bin").is_file()
    np.testing.assert_array_equal(host(vault.load_vault(str(link))), np.arange(3))


def test_an_archive_instead_of_one_array_is_refused(tmp_path):
    buf = io.BytesIO()
    np.savez(buf, a=np.ones(2))
    path = tmp_path / "archive.bin"
    path.write_bytes(encipher(buf.getvalue()))
    with pytest.raises(ValueError, match="not a single .npy array"):
        vault.load_vault(str(path))


# ---------------------------------------------------------------- what save writes into


def test_save_writes_through_a_fifo(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
    reader.start()
    array = np.arange(50_000.0)  # more than a pipe holds at once
    vault.save(array, str(fifo))
    reader.join(5)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert received == [encipher(npy_bytes(array))]
    assert os.listdir(tmp_path) == ["pipe"]


@pytest.mark.skipif(os.geteuid() != 0, reason="only root could replace a device node")
def test_save_writes_through_a_device(tmp_path):
    # A node of /dev/null's own device: a fault here cannot replace the system's.
    null = tmp_path / "null"
    try:
        os.mknod(null, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("device nodes cannot be made here")
    vault.save(np.ones(3), str(null))
    assert stat.S_ISCHR(os.stat(null).st_mode) and null.read_bytes() == b""


def refuse(*_):
    raise RuntimeError("cannot serialise")


def test_hard_linked_file_is_rewritten_in_place(tmp_path, monkeypatch):
    path, other = tmp_path / "m.bin", tmp_path / "other.bin"
    vault.save(np.ones(5), str(path))
    os.link(path, other)
    vault.save(np.arange(3), str(path))  # shorter than before
    assert os.path.samefile(path, other) and path.stat().st_nlink == 2
    assert other.read_bytes() == encipher(npy_bytes(np.arange(3)))

    # A save that fails before writing leaves the shared data as it was.
    monkeypatch.setattr(vault, "np", types.SimpleNamespace(save=refuse))
    with pytest.raises(RuntimeError, match="cannot serialise"):
        vault.save(np.ones(9), str(path))
    assert other.read_bytes() == encipher(npy_bytes(np.arange(3)))
    assert sorted(os.listdir(tmp_path)) == ["m.bin", "other.bin"]


def test_writable_file_in_a_directory_that_refuses_new_files(tmp_path):
    folder = tmp_path / "closed"
    folder.mkdir()
    path = folder / "m.bin"
    vault.save(np.ones(2), str(path))
    path.chmod(0o666)
    folder.chmod(0o555)
    # Root ignores the directory's permissions, so the save runs as nobody there.
    script = textwrap.dedent(
        f"""
        import os, sys, numpy as np
        from kestrel import vault
        os.chdir({str(folder)!r})
        if os.geteuid() == 0:
            os.setgroups([]); os.setgid(65534); os.setuid(65534)
        try:
            open("probe", "wb")
            sys.exit("the directory accepts new files")
        except PermissionError:
            pass
        vault.save(np.arange(4), "m.bin")
        """
    )
    try:
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    finally:
        folder.chmod(0o755)
    assert out.returncode == 0, out.stderr
    assert os.listdir(folder) == ["m.bin"]
    assert path.read_bytes() == encipher(npy_bytes(np.arange(4)))


@pytest.mark.parametrize("links", ["loop", "self", 40, 41])
def test_symbolic_links_are_followed_as_open_follows_them(tmp_path, links):
    """A chain of 40 links is followed, 41 or a loop raise open()'s OSError."""
    if links == "loop":
        (tmp_path / "a").symlink_to("b")
        (tmp_path / "b").symlink_to("a")
    elif links == "self":
        (tmp_path / "a").symlink_to("a")
    else:
        names = ["a", *(f"l{i}" for i in range(1, links)), "target.bin"]
        for name, to in zip(names, names[1:]):
            (tmp_path / name).symlink_to(to)
    before = sorted(os.listdir(tmp_path))
    first = str(tmp_path / "a")
    try:
        open(first, "wb").close()
        expected = None
        os.unlink(tmp_path / "target.bin")
    except OSError as err:
        expected = err
    if expected is None:
        vault.save(np.ones(2), first)
        np.testing.assert_array_equal(host(vault.load_vault(str(tmp_path / "target.bin"))), np.ones(2))
        assert sorted(os.listdir(tmp_path)) == sorted(before + ["target.bin"])
    else:
        with pytest.raises(OSError) as got:
            vault.save(np.ones(2), first)
        assert (type(got.value), got.value.errno, got.value.filename) == (type(expected), expected.errno, first)
        assert sorted(os.listdir(tmp_path)) == before
    assert all((tmp_path / name).is_symlink() for name in before)


def test_temporaries_of_ended_processes_are_removed(tmp_path):
    path = tmp_path / "m.bin"
    # A save killed mid-write leaves its temporary, named after the target and the process.
    script = textwrap.dedent(
        """
        import os, sys, types, numpy as np
        from kestrel import vault
        def die(stream, array):
            stream.write(b"x" * 100)
            os._exit(3)
        vault.np = types.SimpleNamespace(save=die)
        vault.save(np.ones(2), sys.argv[1])
        """
    )
    killed = subprocess.Popen([sys.executable, "-c", script, str(path)])
    assert killed.wait() == 3
    (left,) = os.listdir(tmp_path)
    assert re.fullmatch(rf"\.m\.bin\.{killed.pid}\.[0-9a-f]{{16}}\.tmp", left)

    live = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        kept = [
            f".m.bin.{live.pid}.{'0' * 16}.tmp",  # another live process's save
            f".m.bin.{os.getpid()}.{'1' * 16}.tmp",  # this process's
            f".other.bin.{killed.pid}.{'0' * 16}.tmp",  # another target's
            f".m.bin.{killed.pid}.tmp",
            f"m.bin.{killed.pid}.{'0' * 16}.tmp",
            f".m.bin.{killed.pid}.{'0' * 16}.tmp.keep",
            f".m.bin.{killed.pid}.{'g' * 16}.tmp",
        ]
        for name in kept:
            (tmp_path / name).write_bytes(b"")
        vault.save(np.arange(3), str(path))
        assert sorted(os.listdir(tmp_path)) == sorted(kept + ["m.bin"])
    finally:
        live.kill()
        live.wait()


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to make files of another owner")
def test_replacing_keeps_the_owner_or_rewrites_in_place(tmp_path):
    path = tmp_path / "m.bin"
    vault.save(np.ones(2), str(path))
    os.chown(path, 65534, 65534)
    inode = path.stat().st_ino
    vault.save(np.zeros(2), str(path))  # root can give the replacement the owner
    assert (path.stat().st_uid, path.stat().st_gid) == (65534, 65534) and path.stat().st_ino != inode

    # nobody cannot: a root-owned file nobody may write is rewritten, owner kept.
    os.chown(path, 0, 0)
    path.chmod(0o666)
    tmp_path.chmod(0o777)
    inode = path.stat().st_ino
    script = f"""import os, numpy as np; from kestrel import vault
os.chdir({str(tmp_path)!r}); os.setgroups([]); os.setgid(65534); os.setuid(65534)
vault.save(np.arange(4), "m.bin")"""
    subprocess.run([sys.executable, "-c", script], check=True)
    assert (path.stat().st_uid, path.stat().st_ino) == (0, inode)
    assert path.read_bytes() == encipher(npy_bytes(np.arange(4)))


def test_interpreter_exits_cleanly_while_a_thread_saves_and_loads(tmp_path):
    # The daemon thread is ended inside save or load_vault, often where it waits to take
    # the GIL back after file I/O; nothing on that path may stop its unwinding.
    script = textwrap.dedent(
        """
        import sys, threading, time, numpy as np
        from kestrel import vault
        path, delay = sys.argv[1], float(sys.argv[2])
        array = np.arange(200_000.0)
        def loop():
            while True:
                vault.save(array, path)
                vault.load_vault(path)
        threading.Thread(target=loop, daemon=True).start()
        time.sleep(delay)
        """
    )
    for run in range(20):
        path = str(tmp_path / f"m{run}.bin")
        out = subprocess.run([sys.executable, "-c", script, path, str(0.01 * (run % 5))], capture_output=True, text=True)
        assert out.returncode == 0, (run, out.returncode, out.stderr[-2000:])


def test_a_thread_woken_after_finalization_unwinds_without_touching_python(tmp_path):
    # The save's thread waits in open() on a FIFO while the interpreter finalizes; the
    # process is then held in exit() until the FIFO gets a reader. The woken thread is
    # ended as it asks for the GIL back: its unwinding must close the FIFO and release no
    # Python object (the interpreter is gone: that crashed).
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    script = textwrap.dedent(
        """
        import ctypes, sys, threading, numpy as np
        from kestrel import vault
        libc = ctypes.CDLL(None)
        libc.__cxa_atexit(ctypes.cast(libc.getchar, ctypes.c_void_p), None, None)  # exit() waits for stdin
        threading.Thread(target=vault.save, args=(np.ones(3), sys.argv[1]), daemon=True).start()
        print("ready", flush=True)
        """
    )
    child = subprocess.Popen([sys.executable, "-c", script, str(fifo)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert child.stdout.readline() == b"ready\n"
        time.sleep(0.5)  # the interpreter finalizes meanwhile
        received = []
        reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
        reader.start()
        reader.join(10)
        closed_by_the_thread = not reader.is_alive()
        child.stdin.close()
        assert child.wait(10) == 0
        assert closed_by_the_thread and received == [b""]
    finally:
        child.kill()
        child.wait()
