// kestrel.vault: one numeric matrix kept as a .npy stream XORed with a 32-byte key.
//
// File byte i = .npy byte i XOR key[i % 32], where the key is the SHA-256 digest of
// the password; no header of our own. The cipher is its own inverse.
//
// NumPy writes and reads the .npy stream through a small file-like object that
// enciphers on the way to the file descriptor and deciphers on the way back, so the
// matrix is never held in memory as a second whole copy.
#include "pyglue.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pyglue;

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

// Raises the OSError (or its subclass) for `err`, naming `path` as open() does.
[[noreturn]] void raise_os_error(int err, PyObject* path) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw python_error();
}

// ---------------------------------------------------------------- cipher stream

// The file-like object handed to np.save / np.load: read, write, seek and tell on a
// file descriptor it does not own, with the key applied at the stream position. Its
// methods receive the stream where module functions receive the module.
struct CipherStream {
    PyObject_HEAD
    int fd;
    uint64_t pos;
    unsigned char key[kKeyLen];
    PyObject* path;  // for error messages
};

CipherStream* as_stream(PyObject* self) { return reinterpret_cast<CipherStream*>(self); }

Ref stream_read(PyObject* self, const Args& args) {
    static const Signature<1> sig{"read", {"size"}, 0};
    auto [size] = sig.parse(args);
    CipherStream* s = as_stream(self);
    Py_ssize_t want = size && size != Py_None ? Ref::borrow(size).to_ssize() : -1;
    if (want < 0) {  // to the end of the file
        struct stat st{};
        if (::fstat(s->fd, &st) != 0) raise_os_error(errno, s->path);
        want = st.st_size > static_cast<off_t>(s->pos) ? static_cast<Py_ssize_t>(st.st_size - s->pos) : 0;
    }
    Ref out = Ref::own(PyBytes_FromStringAndSize(nullptr, want));
    auto* data = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.get()));
    Py_ssize_t got = 0;
    int err = 0;
    Py_BEGIN_ALLOW_THREADS
    while (got < want) {
        const ssize_t r = ::read(s->fd, data + got, static_cast<size_t>(want - got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) err = errno;
        if (r <= 0) break;
        got += r;
    }
    if (!err) apply_key(data, data, static_cast<size_t>(got), s->key, s->pos);
    Py_END_ALLOW_THREADS
    if (err) raise_os_error(err, s->path);
    s->pos += static_cast<uint64_t>(got);
    // Short only at the end of the file.
    return got < want ? Ref::own(PyBytes_FromStringAndSize(PyBytes_AS_STRING(out.get()), got)) : out;
}

Ref stream_write(PyObject* self, const Args& args) {
    static const Signature<1> sig{"write", {"data"}, 1};
    auto [data] = sig.parse(args);
    CipherStream* s = as_stream(self);
    Buffer plain(data, PyBUF_SIMPLE);
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
    if (err) raise_os_error(err, s->path);
    return Ref::own(PyLong_FromSize_t(total));
}

Ref stream_seek(PyObject* self, const Args& args) {
    static const Signature<2> sig{"seek", {"offset", "whence"}, 1};
    auto [offset_, whence_] = sig.parse(args);
    CipherStream* s = as_stream(self);
    const long long offset = Ref::borrow(offset_).to_longlong();
    const long long whence = whence_ ? Ref::borrow(whence_).to_longlong() : SEEK_SET;
    if (whence < INT_MIN || whence > INT_MAX) raise_os_error(EINVAL, s->path);
    const off_t at = ::lseek(s->fd, static_cast<off_t>(offset), static_cast<int>(whence));
    if (at < 0) raise_os_error(errno, s->path);
    s->pos = static_cast<uint64_t>(at);
    return integer(at);
}

Ref stream_tell(PyObject* self, const Args& args) {
    static const Signature<0> sig{"tell", {}, 0};
    sig.parse(args);
    return Ref::own(PyLong_FromUnsignedLongLong(as_stream(self)->pos));
}

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(as_stream(self)->path);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef stream_methods[] = {
    def<stream_read>("read", nullptr),
    def<stream_write>("write", nullptr),
    def<stream_seek>("seek", nullptr),
    def<stream_tell>("tell", nullptr),
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

// A cipher stream over `fd` for the length of one call. It is detached when the call
// ends: a stream kept alive elsewhere (in a traceback, say) then fails with EBADF
// instead of touching a reused descriptor. A thread ended at interpreter exit leaves it.
class Stream {
public:
    Stream(PyObject* module, int fd, const Ref& key, const Ref& path) {
        auto* type = reinterpret_cast<PyTypeObject*>(state(module)->stream_type);
        CipherStream* s = PyObject_New(CipherStream, type);
        ref_ = Ref::own(reinterpret_cast<PyObject*>(s));
        s->fd = fd;
        s->pos = 0;
        std::memcpy(s->key, PyBytes_AS_STRING(key.get()), kKeyLen);
        s->path = Py_NewRef(path.get());
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() {
        if (PyGILState_Check()) as_stream(ref_.get())->fd = -1;
    }
    const Ref& ref() const { return ref_; }

private:
    Ref ref_;
};

// ---------------------------------------------------------------- files

// The path as file-system bytes; ValueError for an embedded null byte, as open() gives.
std::string fs_path(const Ref& path) {
    PyObject* fs = nullptr;
    if (!PyUnicode_FSConverter(path.get(), &fs)) throw python_error();
    Ref bytes = Ref::steal(fs);
    return std::string(PyBytes_AS_STRING(fs), static_cast<size_t>(PyBytes_GET_SIZE(fs)));
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
    explicit PendingFile(const Ref& path) : path_(path), dest_(fs_path(path)) {
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
        if (err) raise_os_error(err, path_.get());
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!tmp_.empty()) ::unlink(tmp_.c_str());
    }
    int fd() const { return fd_; }

    // Flushes the data to disk and renames the file over the destination.
    void commit() {
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
        if (err) raise_os_error(err, path_.get());
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

    Ref path_;
    int fd_ = -1;
    std::string dest_, dir_, tmp_;
};

// ---------------------------------------------------------------- module functions

// SHA-256 of the password's UTF-8 bytes, derived afresh on every call through the
// module's hashlib.
Ref derive_key(PyObject* module) {
    Ref password = Ref::own(PyUnicode_AsEncodedString(str(kPassword).get(), "utf-8", "strict"));
    Ref key = global(module, "hashlib").method("sha256", password).method("digest");
    if (!PyBytes_Check(key.get()) || PyBytes_GET_SIZE(key.get()) != static_cast<Py_ssize_t>(kKeyLen))
        raise(PyExc_ValueError, "the key digest must be 32 bytes");
    return key;
}

// os.path.join(script_dir, "vault.bin"), with script_dir read at call time.
Ref default_path(PyObject* module) {
    return global(module, "os").attr("path").method("join", global(module, "script_dir"), kFileName);
}

// True when a CuPy array can hold `dtype` as it is: booleans and numbers (CuPy's own
// type codes) in native byte order. CuPy would turn big-endian data little-endian and
// refuses strings, dates, records and extended precision.
bool device_holds(const Ref& dtype) {
    static const char* const kCuPyTypeCodes = "?bhilqBHILQefdFD";
    return dtype.attr("isnative").truthy() && str(kCuPyTypeCodes).method("__contains__", dtype.attr("char")).truthy();
}

Ref load_vault(PyObject* module, const Args& args) {
    static const Signature<1> sig{"load_vault", {"vault_path"}, 0};
    auto [vault_path] = sig.parse(args);
    Ref path = Ref::borrow(vault_path ? vault_path : Py_None);
    check_exact(path.get(), &PyUnicode_Type, "vault_path", true);
    if (path.is_none()) path = default_path(module);
    if (!path_exists(module, path)) raise(PyExc_FileNotFoundError, "VAULT file not found: %S", path.get());

    Ref key = derive_key(module);
    const std::string name = fs_path(path);
    Fd file;
    Py_BEGIN_ALLOW_THREADS
    file.fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    Py_END_ALLOW_THREADS
    if (file.fd < 0) raise_os_error(errno, path.get());

    Ref np = global(module, "np");
    Ref array = np.method("load", Stream(module, file.fd, key, path).ref());
    // An .npz archive would come back as a reader tied to the closed stream.
    if (!array.isinstance(np.attr("ndarray")))
        raise(PyExc_ValueError, "%U holds a %.200s, not a single .npy array", path.get(), array.type_name());
    if (!gpu_usable(module) || !device_holds(array.attr("dtype"))) return array;
    return global(module, "cp").method("asarray", array);
}

Ref save(PyObject* module, const Args& args) {
    static const Signature<2> sig{"save", {"array", "dest_path"}, 1};
    auto [array_, dest_path] = sig.parse(args);
    Ref array = Ref::borrow(array_);
    Ref path = Ref::borrow(dest_path ? dest_path : Py_None);
    check_exact(path.get(), &PyUnicode_Type, "dest_path", true);

    Ref key = derive_key(module);
    // A GPU array is copied to the host first.
    if (is_cupy(module, array)) array = global(module, "cp").method("asnumpy", array);
    if (path.is_none()) path = default_path(module);

    // np.save writes through the cipher into a temporary file; only a complete file
    // replaces the destination.
    Ref np = global(module, "np");
    PendingFile file(path);
    np.method("save", Stream(module, file.fd(), key, path).ref(), array);
    file.commit();
    return none();
}

PyMethodDef functions[] = {
    def<load_vault>("load_vault",
                    "load_vault(vault_path=None)\n--\n\n"
                    "Load the matrix stored in an enciphered vault file.\n\n"
                    "vault_path: a str, or None for \"vault.bin\" in script_dir.\n"
                    "Returns an array with the stored dtype and shape: a CuPy array on the current\n"
                    "device when CuPy and a GPU are usable and CuPy can hold that dtype (booleans\n"
                    "and numbers in native byte order), a NumPy array otherwise (no GPU, or\n"
                    "big-endian, string, date, structured or extended-precision data).\n"
                    "Raises FileNotFoundError \"VAULT file not found: <path>\" for a missing file;\n"
                    "NumPy's error for a file that does not decipher to a .npy stream; pickled\n"
                    "content is refused."),
    def<save>("save",
              "save(array, dest_path=None)\n--\n\n"
              "Store an array as an enciphered vault file.\n\n"
              "array: a NumPy array (a CuPy array is copied to the host first).\n"
              "dest_path: a str, or None for \"vault.bin\" in script_dir.\n"
              "The file is written beside the destination, flushed to disk and renamed over\n"
              "it, so a failed save leaves any previous file intact."),
    {nullptr, nullptr, 0, nullptr},
};

void exec_module(PyObject* module) {
    bind_import(module, "hashlib", "hashlib");
    bind_import(module, "io", "io");
    bind_import(module, "os", "os");
    bind_import(module, "cupy", "cp", true);
    bind_import(module, "numpy", "np");
    state(module)->stream_type = ok(PyType_FromModuleAndSpec(module, &stream_spec, nullptr));
    // script_dir = os.path.dirname(os.path.abspath(__file__))
    Ref ospath = global(module, "os").attr("path");
    add_global(module, "script_dir", ospath.method("dirname", ospath.method("abspath", global(module, "__file__"))));
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot<exec_module>)},
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
