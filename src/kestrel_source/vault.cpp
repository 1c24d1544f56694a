// kestrel.vault: one numeric matrix kept as a .npy stream XORed with a 32-byte key.
//
// File byte i = .npy byte i XOR key[i % 32], where the key is the SHA-256 digest of
// the password; no header of our own. The cipher is its own inverse.
//
// NumPy writes and reads the .npy stream through a small file-like object that
// enciphers on the way to the file descriptor and deciphers on the way back, so the
// matrix is never held in memory as a second whole copy.
#include "legacy.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using pyglue::Ref;

namespace {

constexpr const char* kPassword = "marigold";
constexpr const char* kFileName = "vault.bin";
constexpr size_t kKeyLen = 32;

// out[i] = in[i] ^ key[(offset + i) % 32]; `in` may equal `out`. Aligned key-length
// blocks are XORed as machine words, which the compiler vectorises; byte order does
// not matter because data and key are loaded the same way.
void apply_key(const unsigned char* in, unsigned char* out, size_t n, const unsigned char* key,
               uint64_t offset) {
    size_t i = 0;
    for (; i < n && (offset + i) % kKeyLen != 0; ++i) out[i] = in[i] ^ key[(offset + i) % kKeyLen];
    uint64_t k[4];
    std::memcpy(k, key, kKeyLen);
    for (; i + kKeyLen <= n; i += kKeyLen) {
        uint64_t w[4];
        std::memcpy(w, in + i, kKeyLen);
        for (int j = 0; j < 4; ++j) w[j] ^= k[j];
        std::memcpy(out + i, w, kKeyLen);
    }
    for (; i < n; ++i) out[i] = in[i] ^ key[(offset + i) % kKeyLen];
}

PyObject* os_error(int err, PyObject* path) {
    errno = err;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

// ---------------------------------------------------------------- cipher stream

// The file-like object handed to np.save / np.load: read, write, seek and tell on a
// file descriptor it does not own, with the key applied at the stream position.
struct CipherStream {
    PyObject_HEAD
    int fd;
    uint64_t pos;
    unsigned char key[kKeyLen];
    PyObject* path;  // for error messages
};

PyObject* stream_error(CipherStream* s, int err) { return os_error(err, s->path); }

PyObject* stream_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    auto* s = reinterpret_cast<CipherStream*>(self);
    Py_ssize_t want = -1;
    if (nargs > 1) return PyErr_Format(PyExc_TypeError, "read() takes at most 1 argument (%zd given)", nargs);
    if (nargs == 1 && args[0] != Py_None && (want = PyLong_AsSsize_t(args[0])) == -1 && PyErr_Occurred())
        return nullptr;
    if (want < 0) {  // to the end of the file
        struct stat st{};
        if (::fstat(s->fd, &st) != 0) return stream_error(s, errno);
        want = st.st_size > static_cast<off_t>(s->pos) ? static_cast<Py_ssize_t>(st.st_size - s->pos) : 0;
    }
    PyObject* out = PyBytes_FromStringAndSize(nullptr, want);
    if (!out) return nullptr;
    Py_ssize_t got = 0;
    int err = 0;
    Py_BEGIN_ALLOW_THREADS
    while (got < want) {
        const ssize_t r = ::read(s->fd, PyBytes_AS_STRING(out) + got, static_cast<size_t>(want - got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) err = errno;
        if (r <= 0) break;
        got += r;
    }
    if (!err)
        apply_key(reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out)),
                  reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out)), static_cast<size_t>(got), s->key,
                  s->pos);
    Py_END_ALLOW_THREADS
    if (err) {
        Py_DECREF(out);
        return stream_error(s, err);
    }
    s->pos += static_cast<uint64_t>(got);
    if (got < want && _PyBytes_Resize(&out, got) < 0) return nullptr;
    return out;
}

PyObject* stream_write(PyObject* self, PyObject* data) {
    auto* s = reinterpret_cast<CipherStream*>(self);
    pyglue::Buffer plain;
    if (!plain.acquire(data, PyBUF_SIMPLE)) return nullptr;
    const size_t total = static_cast<size_t>(plain.size());
    int err = 0;
    Py_BEGIN_ALLOW_THREADS
    unsigned char scratch[1 << 16];
    const uint64_t start = s->pos;
    for (size_t done = 0; done < total && !err;) {
        const size_t n = std::min(sizeof scratch, total - done);
        apply_key(plain.bytes() + done, scratch, n, s->key, s->pos);
        for (size_t w = 0; w < n && !err;) {
            const ssize_t r = ::write(s->fd, scratch + w, n - w);
            if (r < 0 && errno != EINTR) err = errno;
            if (r == 0) err = EIO;  // no progress: never spin
            if (r > 0) w += static_cast<size_t>(r);
        }
        done += n;
        s->pos += n;
    }
#ifdef SYNC_FILE_RANGE_WRITE
    // Start writing this piece to disk now, so the final fsync has little left to do.
    if (!err) ::sync_file_range(s->fd, static_cast<off_t>(start), static_cast<off_t>(total), SYNC_FILE_RANGE_WRITE);
#else
    (void)start;
#endif
    Py_END_ALLOW_THREADS
    if (err) return stream_error(s, err);
    return PyLong_FromSize_t(total);
}

PyObject* stream_seek(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    auto* s = reinterpret_cast<CipherStream*>(self);
    if (nargs < 1 || nargs > 2)
        return PyErr_Format(PyExc_TypeError, "seek() takes 1 or 2 arguments (%zd given)", nargs);
    const long long offset = PyLong_AsLongLong(args[0]);
    if (offset == -1 && PyErr_Occurred()) return nullptr;
    const int whence = nargs == 2 ? PyLong_AsInt(args[1]) : SEEK_SET;
    if (whence == -1 && PyErr_Occurred()) return nullptr;
    const off_t at = ::lseek(s->fd, static_cast<off_t>(offset), whence);
    if (at < 0) return stream_error(s, errno);
    s->pos = static_cast<uint64_t>(at);
    return PyLong_FromLongLong(at);
}

PyObject* stream_tell(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<CipherStream*>(self)->pos);
}

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<CipherStream*>(self)->path);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef stream_methods[] = {
    {"read", pyglue::fastcall(stream_read), METH_FASTCALL, nullptr},
    {"write", stream_write, METH_O, nullptr},
    {"seek", pyglue::fastcall(stream_seek), METH_FASTCALL, nullptr},
    {"tell", stream_tell, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, stream_methods},
    {Py_tp_doc, const_cast<char*>("Enciphering file stream used by save and load_vault.")},
    {0, nullptr},
};

PyType_Spec stream_spec = {"kestrel.vault._CipherStream", sizeof(CipherStream), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, stream_slots};

// Per-module state: the stream type, kept out of reach of the module's namespace.
struct VaultState {
    PyObject* stream_type;
};

VaultState* state(PyObject* module) { return static_cast<VaultState*>(PyModule_GetState(module)); }

Ref new_stream(PyObject* module, int fd, PyObject* key, PyObject* path) {
    auto* s = PyObject_New(CipherStream, reinterpret_cast<PyTypeObject*>(state(module)->stream_type));
    if (!s) return Ref();
    s->fd = fd;
    s->pos = 0;
    std::memcpy(s->key, PyBytes_AS_STRING(key), kKeyLen);
    s->path = Py_NewRef(path);
    return Ref::steal(reinterpret_cast<PyObject*>(s));
}

// Ends the stream's use of its descriptor: a stream kept alive elsewhere (in a
// traceback, say) then fails with EBADF instead of touching a reused descriptor.
void detach(const Ref& stream) {
    if (stream) reinterpret_cast<CipherStream*>(stream.get())->fd = -1;
}

// ---------------------------------------------------------------- files

// The path as file-system bytes; ValueError for an embedded null byte, as open() gives.
Ref fs_path(PyObject* path) {
    PyObject* fs = nullptr;
    return PyUnicode_FSConverter(path, &fs) ? Ref::steal(fs) : Ref();
}

// Owns a file descriptor; closes it on scope exit.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// The temporary file that becomes the destination once it is complete: created beside
// the destination (a symbolic link is followed, as opening it would) with the mode of
// the file it replaces, and removed unless committed.
class PendingFile {
public:
    ~PendingFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!tmp_.empty()) ::unlink(tmp_.c_str());
    }
    int fd() const { return fd_; }

    bool open(PyObject* path) {
        Ref fs = fs_path(path);
        if (!fs) return false;
        dest_ = PyBytes_AS_STRING(fs.get());
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const unsigned long long salt =
            (static_cast<unsigned long long>(::getpid()) << 40) ^ (static_cast<unsigned long long>(now.tv_sec) << 20) ^
            static_cast<unsigned long long>(now.tv_nsec);
        int err = 0;
        Py_BEGIN_ALLOW_THREADS
        resolve_link();
        struct stat st{};
        if (dest_.empty() || dest_.back() == '/' || (::stat(dest_.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
            err = EISDIR;  // as open() reports it, and before any work is done
        } else {
            const size_t slash = dest_.rfind('/');
            dir_ = slash == std::string::npos ? std::string() : dest_.substr(0, slash + 1);
            // Short enough that the temporary name fits wherever the destination's does.
            const std::string base = dest_.substr(dir_.size()).substr(0, 200);
            for (unsigned attempt = 0; fd_ < 0 && attempt < 64; ++attempt) {
                char suffix[40];
                std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", salt + attempt * 0x9E3779B97F4A7C15ull);
                const std::string name = dir_ + "." + base + suffix;
                fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                if (fd_ >= 0) tmp_ = name;
                else if (errno != EEXIST) break;
            }
            if (fd_ < 0) err = errno;
            else if (::stat(dest_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::fchmod(fd_, st.st_mode & 07777);
        }
        Py_END_ALLOW_THREADS
        if (err) os_error(err, path);
        return !err;
    }

    // Flushes the data to disk and renames the file over the destination.
    bool commit(PyObject* path) {
        int err = 0;
        Py_BEGIN_ALLOW_THREADS
        if (::fsync(fd_) != 0) err = errno;
        if (::close(fd_) != 0 && !err) err = errno;
        fd_ = -1;
        if (!err && ::rename(tmp_.c_str(), dest_.c_str()) != 0) err = errno;
        if (!err) {
            tmp_.clear();
            // Make the rename itself durable; the new file is in place either way.
            const int dir = ::open(dir_.empty() ? "." : dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir >= 0) {
                ::fsync(dir);
                ::close(dir);
            }
        }
        Py_END_ALLOW_THREADS
        if (err) os_error(err, path);
        return !err;
    }

private:
    // Writing through a symbolic link replaces what it points to, as opening it would,
    // also when that does not exist yet.
    void resolve_link() {
        struct stat st{};
        if (::lstat(dest_.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return;
        if (char* target = ::realpath(dest_.c_str(), nullptr)) {
            dest_ = target;
            std::free(target);
            return;
        }
        char target[4096];
        const ssize_t n = ::readlink(dest_.c_str(), target, sizeof target - 1);
        if (n <= 0) return;
        const std::string link(target, static_cast<size_t>(n));
        const size_t slash = dest_.rfind('/');
        dest_ = link[0] == '/' || slash == std::string::npos ? link : dest_.substr(0, slash + 1) + link;
    }

    int fd_ = -1;
    std::string dest_, dir_, tmp_;
};

// ---------------------------------------------------------------- module functions

// SHA-256 of the password, derived afresh on every call through the module's hashlib.
Ref derive_key(PyObject* module) {
    Ref hashlib = pyglue::legacy::global(module, "hashlib");
    Ref password = hashlib ? Ref::steal(PyUnicode_FromString(kPassword)) : Ref();
    Ref raw = password ? Ref::steal(PyUnicode_AsEncodedString(password.get(), "utf-8", "strict")) : Ref();
    if (!raw) return Ref();
    Ref digest = pyglue::legacy::call_method(hashlib.get(), "sha256", raw.get());
    Ref key = digest ? pyglue::legacy::call_method(digest.get(), "digest") : Ref();
    if (key && (!PyBytes_Check(key.get()) || PyBytes_GET_SIZE(key.get()) != static_cast<Py_ssize_t>(kKeyLen))) {
        PyErr_SetString(PyExc_ValueError, "the key digest must be 32 bytes");
        return Ref();
    }
    return key;
}

// os.path.join(script_dir, "vault.bin"), with script_dir read at call time.
Ref default_path(PyObject* module) {
    Ref os = pyglue::legacy::global(module, "os");
    Ref path = os ? Ref::steal(PyObject_GetAttrString(os.get(), "path")) : Ref();
    Ref dir = path ? pyglue::legacy::global(module, "script_dir") : Ref();
    Ref name = dir ? Ref::steal(PyUnicode_FromString(kFileName)) : Ref();
    if (!name) return Ref();
    return pyglue::legacy::call_method(path.get(), "join", dir.get(), name.get());
}

// True when CuPy is importable and sees a usable GPU.
int gpu_usable(PyObject* module, Ref& cp) {
    cp = pyglue::legacy::global(module, "cp");
    if (!cp) return -1;
    if (cp.get() == Py_None) return 0;
    Ref cuda = Ref::steal(PyObject_GetAttrString(cp.get(), "cuda"));
    Ref ok = cuda ? pyglue::legacy::call_method(cuda.get(), "is_available") : Ref();
    return ok ? PyObject_IsTrue(ok.get()) : -1;
}

PyObject* load_vault(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vault_path"};
    static const pyglue::legacy::Params params{"load_vault", names, 1, 0};
    PyObject* a[1];
    if (!pyglue::legacy::parse(params, args, nargs, kwnames, a)) return nullptr;
    Ref path = Ref::borrow(a[0] ? a[0] : Py_None);
    if (!pyglue::legacy::check_exact(path.get(), &PyUnicode_Type, "vault_path", true)) return nullptr;
    if (path.get() == Py_None && !(path = default_path(module))) return nullptr;

    Ref os = pyglue::legacy::global(module, "os");
    Ref ospath = os ? Ref::steal(PyObject_GetAttrString(os.get(), "path")) : Ref();
    Ref exists = ospath ? pyglue::legacy::call_method(ospath.get(), "exists", path.get()) : Ref();
    if (!exists) return nullptr;
    const int found = PyObject_IsTrue(exists.get());
    if (found < 0) return nullptr;
    if (!found) {
        Ref msg = Ref::steal(PyUnicode_FromFormat("VAULT file not found: %S", path.get()));
        if (msg) PyErr_SetObject(PyExc_FileNotFoundError, msg.get());
        return nullptr;
    }

    Ref key = derive_key(module);
    Ref fs = key ? fs_path(path.get()) : Ref();
    if (!fs) return nullptr;
    Fd file;
    Py_BEGIN_ALLOW_THREADS
    file.fd = ::open(PyBytes_AS_STRING(fs.get()), O_RDONLY | O_CLOEXEC);
    Py_END_ALLOW_THREADS
    if (file.fd < 0) return os_error(errno, path.get());

    Ref np = pyglue::legacy::global(module, "np");
    Ref stream = np ? new_stream(module, file.fd, key.get(), path.get()) : Ref();
    Ref array = stream ? pyglue::legacy::call_method(np.get(), "load", stream.get()) : Ref();
    detach(stream);
    if (!array) return nullptr;
    // An .npz archive would come back as a reader tied to the closed stream.
    Ref ndarray = Ref::steal(PyObject_GetAttrString(np.get(), "ndarray"));
    const int is_array = ndarray ? PyObject_IsInstance(array.get(), ndarray.get()) : -1;
    if (is_array < 0) return nullptr;
    if (!is_array) {
        PyErr_Format(PyExc_ValueError, "%U holds a %.200s, not a single .npy array", path.get(),
                     Py_TYPE(array.get())->tp_name);
        return nullptr;
    }

    Ref cp;
    const int gpu = gpu_usable(module, cp);
    if (gpu < 0) return nullptr;
    return gpu ? pyglue::legacy::call_method(cp.get(), "asarray", array.get()).release() : array.release();
}

PyObject* save(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"array", "dest_path"};
    static const pyglue::legacy::Params params{"save", names, 2, 1};
    PyObject* a[2];
    if (!pyglue::legacy::parse(params, args, nargs, kwnames, a)) return nullptr;
    Ref array = Ref::borrow(a[0]);
    Ref path = Ref::borrow(a[1] ? a[1] : Py_None);
    if (!pyglue::legacy::check_exact(path.get(), &PyUnicode_Type, "dest_path", true)) return nullptr;

    Ref key = derive_key(module);
    Ref cp = key ? pyglue::legacy::global(module, "cp") : Ref();
    if (!cp) return nullptr;
    // A GPU array is copied to the host first.
    if (cp.get() != Py_None) {
        Ref ndarray = Ref::steal(PyObject_GetAttrString(cp.get(), "ndarray"));
        const int on_gpu = ndarray ? PyObject_IsInstance(array.get(), ndarray.get()) : -1;
        if (on_gpu < 0) return nullptr;
        if (on_gpu && !(array = pyglue::legacy::call_method(cp.get(), "asnumpy", array.get()))) return nullptr;
    }
    if (path.get() == Py_None && !(path = default_path(module))) return nullptr;

    // np.save writes through the cipher into a temporary file; only a complete file
    // replaces the destination.
    Ref np = pyglue::legacy::global(module, "np");
    PendingFile file;
    if (!np || !file.open(path.get())) return nullptr;
    Ref stream = new_stream(module, file.fd(), key.get(), path.get());
    Ref saved = stream ? pyglue::legacy::call_method(np.get(), "save", stream.get(), array.get()) : Ref();
    detach(stream);
    if (!saved || !file.commit(path.get())) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"load_vault", pyglue::fastcall(load_vault), METH_FASTCALL | METH_KEYWORDS,
     "load_vault(vault_path=None)\n--\n\n"
     "Load the matrix stored in an enciphered vault file.\n\n"
     "vault_path: a str, or None for \"vault.bin\" in script_dir.\n"
     "Returns a CuPy array on the current device when CuPy and a GPU are usable,\n"
     "a NumPy array otherwise, with the stored dtype and shape.\n"
     "Raises FileNotFoundError \"VAULT file not found: <path>\" for a missing file;\n"
     "NumPy's error for a file that does not decipher to a .npy stream; pickled\n"
     "content is refused."},
    {"save", pyglue::fastcall(save), METH_FASTCALL | METH_KEYWORDS,
     "save(array, dest_path=None)\n--\n\n"
     "Store an array as an enciphered vault file.\n\n"
     "array: a NumPy array (a CuPy array is copied to the host first).\n"
     "dest_path: a str, or None for \"vault.bin\" in script_dir.\n"
     "The file is written beside the destination, flushed to disk and renamed over\n"
     "it, so a failed save leaves any previous file intact."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    if (!pyglue::legacy::bind_import(module, "hashlib", "hashlib") || !pyglue::legacy::bind_import(module, "io", "io") ||
        !pyglue::legacy::bind_import(module, "os", "os") || !pyglue::legacy::bind_import(module, "cupy", "cp", true) ||
        !pyglue::legacy::bind_import(module, "numpy", "np"))
        return -1;
    state(module)->stream_type = PyType_FromModuleAndSpec(module, &stream_spec, nullptr);
    if (!state(module)->stream_type) return -1;
    // script_dir = os.path.dirname(os.path.abspath(__file__))
    Ref os = pyglue::legacy::global(module, "os");
    Ref file = pyglue::legacy::global(module, "__file__");
    Ref ospath = os && file ? Ref::steal(PyObject_GetAttrString(os.get(), "path")) : Ref();
    Ref absolute = ospath ? pyglue::legacy::call_method(ospath.get(), "abspath", file.get()) : Ref();
    Ref dir = absolute ? pyglue::legacy::call_method(ospath.get(), "dirname", absolute.get()) : Ref();
    return dir ? PyModule_AddObjectRef(module, "script_dir", dir.get()) : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state(module)->stream_type);
    return 0;
}

int clear_module(PyObject* module) {
    Py_CLEAR(state(module)->stream_type);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.vault",
                          "A small enciphered store for one numeric matrix.", sizeof(VaultState), functions, slots,
                          traverse_module, clear_module, free_module};

}  // namespace

PyMODINIT_FUNC PyInit_vault() { return PyModuleDef_Init(&module_def); }
