// kestrel.vault: one numeric matrix kept as a .npy stream XORed with a 32-byte key.
//
// File byte i = .npy byte i XOR key[i % 32], where the key is the SHA-256 digest of
// the password; no header of our own. The cipher is its own inverse. The password ships
// with the package, so this obscures the file from casual reading and protects nothing.
//
// NumPy writes and reads the .npy stream through a small file-like object that
// enciphers on the way to the file descriptor and deciphers on the way back, so the
// matrix is never held in memory as a second whole copy.
#include "pyglue.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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
    bool truncate;   // cut the file to nothing before the first write
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
    if (s->truncate && total > 0) {
        if (::ftruncate(s->fd, 0) != 0) err = errno;
        s->truncate = false;
    }
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
    Stream(PyObject* module, int fd, const Ref& key, const Ref& path, bool truncate = false) {
        auto* type = reinterpret_cast<PyTypeObject*>(state(module)->stream_type);
        CipherStream* s = PyObject_New(CipherStream, type);
        ref_ = Ref::own(reinterpret_cast<PyObject*>(s));
        s->fd = fd;
        s->pos = 0;
        s->truncate = truncate;
        std::memcpy(s->key, PyBytes_AS_STRING(key.get()), kKeyLen);
        s->path = Py_NewRef(path.get());
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() {
        if (holds_gil()) as_stream(ref_.get())->fd = -1;
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

// A file descriptor, closed on scope exit, and the temporary file it writes (if any),
// removed unless it was renamed into place. As a member it is released even when its
// owner's constructor is left by an exception (a thread ended at interpreter exit).
struct OpenFile {
    int fd = -1;
    std::string tmp;

    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() { discard(); }

    void discard() {
        if (fd >= 0) ::close(fd);
        if (!tmp.empty()) ::unlink(tmp.c_str());
        fd = -1;
        tmp.clear();
    }
};

// Temporaries are named ".<name>.<pid>.<16 hex digits>.tmp" beside the destination,
// so that a later save can tell whose they are. The name part is cut to 200 bytes, so
// the temporary's name fits wherever the destination's does (names that share those
// 200 bytes share their temporaries' prefix).
std::string temp_base(const std::string& file_name) { return "." + file_name.substr(0, 200) + "."; }

// The process id in a temporary's name when `name` is one of `base`'s, else 0.
pid_t temp_owner(const char* name, const std::string& base) {
    if (std::strncmp(name, base.c_str(), base.size()) != 0) return 0;
    const char* p = name + base.size();
    long long pid = 0;
    const char* digits = p;
    while (*p >= '0' && *p <= '9' && p - digits < 10) pid = pid * 10 + (*p++ - '0');
    if (p == digits || *p++ != '.' || pid > INT_MAX) return 0;
    for (int i = 0; i < 16; ++i, ++p)
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return 0;
    return std::strcmp(p, ".tmp") == 0 ? static_cast<pid_t>(pid) : 0;
}

// Where save writes. A regular file (or a new one) is replaced atomically: the data
// goes to a temporary file beside it, is flushed to disk and renamed over it, so a
// failed save leaves the previous file intact. Where a replace would change what the
// path stands for, the file is written in place, as open(path, "wb") would: a device,
// FIFO or socket is written through; a file with other hard links, a writable file in
// a directory that refuses new files and a file whose owner the replacement could not
// keep are rewritten. Symbolic links are followed as open() follows them.
class Destination {
public:
    explicit Destination(const Ref& path) : path_(path), dest_(fs_path(path)) {
        int err = 0;
        Py_BEGIN_ALLOW_THREADS
        // The path strings may allocate; no exception may leave a region without the GIL.
        try {
            err = open_file();
        } catch (const std::bad_alloc&) {
            err = ENOMEM;
        }
        Py_END_ALLOW_THREADS
        if (err) raise_os_error(err, path_.get());
    }
    int fd() const { return file_.fd; }

    // True when the data goes into an existing regular file, whose old content the
    // first write cuts off (so a save that fails before writing leaves it intact).
    bool rewrites() const { return file_.tmp.empty() && !special_; }

    // Flushes the data to disk and renames a temporary over the destination.
    void commit() {
        int err = 0;
        Py_BEGIN_ALLOW_THREADS
        if (!special_ && ::fsync(file_.fd) != 0) err = errno;
        if (::close(file_.fd) != 0 && !err) err = errno;
        file_.fd = -1;
        if (!err && !file_.tmp.empty()) {
            if (::rename(file_.tmp.c_str(), dest_.c_str()) != 0) {
                err = errno;
            } else {
                file_.tmp.clear();
                sync_directory();
            }
        }
        Py_END_ALLOW_THREADS
        if (err) raise_os_error(err, path_.get());
    }

private:
    // Chooses how to write and opens the file; an errno value on failure. Runs without
    // the GIL.
    int open_file() {
        if (int err = follow_links()) return err;
        if (dest_.empty()) return ENOENT;
        struct stat st{};
        const bool exists = ::stat(dest_.c_str(), &st) == 0;
        if (dest_.back() == '/' || (exists && S_ISDIR(st.st_mode))) return EISDIR;  // before any work, as open()
        const size_t slash = dest_.rfind('/');
        dir_ = slash == std::string::npos ? std::string() : dest_.substr(0, slash + 1);
        base_ = temp_base(dest_.substr(dir_.size()));
        remove_leftovers();
        if (exists && (!S_ISREG(st.st_mode) || st.st_nlink > 1)) return open_in_place();
        // A directory that refuses new files, or a file whose owner we cannot give the
        // replacement, may still let the file itself be written.
        const int err = create_temporary(exists ? &st : nullptr);
        if (exists && (err == EACCES || err == EPERM)) return open_in_place();
        return err;
    }

    // Follows symbolic links as open() does, also to a target that does not exist yet;
    // ELOOP past the kernel's limit of 40.
    int follow_links() {
        for (int hops = 0; hops <= 40; ++hops) {
            struct stat st{};
            if (::lstat(dest_.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
            char target[PATH_MAX];
            const ssize_t n = ::readlink(dest_.c_str(), target, sizeof target);
            if (n <= 0) return n < 0 ? errno : ENOENT;
            if (n == static_cast<ssize_t>(sizeof target)) return ENAMETOOLONG;
            const std::string link(target, static_cast<size_t>(n));
            const size_t slash = dest_.rfind('/');
            dest_ = link[0] == '/' || slash == std::string::npos ? link : dest_.substr(0, slash + 1) + link;
        }
        return ELOOP;
    }

    // Removes this destination's temporaries left by processes that no longer exist (a
    // save killed mid-write). Those of live processes, and all other files, stay.
    void remove_leftovers() const {
        DIR* dir = ::opendir(dir_.empty() ? "." : dir_.c_str());
        if (!dir) return;
        while (const dirent* entry = ::readdir(dir)) {
            const pid_t pid = temp_owner(entry->d_name, base_);
            if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) ::unlinkat(::dirfd(dir), entry->d_name, 0);
        }
        ::closedir(dir);
    }

    // Opens the file itself for writing, as open(path, "wb") would, leaving its content
    // to the first write.
    int open_in_place() {
        file_.fd = ::open(dest_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (file_.fd < 0) return errno;
        struct stat st{};
        special_ = ::fstat(file_.fd, &st) == 0 && !S_ISREG(st.st_mode);
        return 0;
    }

    // Creates the temporary with the owner, group and permissions of the file it
    // replaces (`old`, null for a new file); EPERM where the owner cannot be kept.
    int create_temporary(const struct stat* old) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const unsigned long long salt = (static_cast<unsigned long long>(now.tv_sec) << 30) ^
                                        static_cast<unsigned long long>(now.tv_nsec);
        for (unsigned attempt = 0; file_.fd < 0 && attempt < 64; ++attempt) {
            char name[64];
            std::snprintf(name, sizeof name, "%d.%016llx.tmp", static_cast<int>(::getpid()),
                          salt + attempt * 0x9E3779B97F4A7C15ull);
            const std::string tmp = dir_ + base_ + name;
            file_.fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (file_.fd >= 0) file_.tmp = tmp;
            else if (errno != EEXIST) return errno;
        }
        if (file_.fd < 0) return EEXIST;
        if (!old) return 0;
        struct stat st{};
        if (::fstat(file_.fd, &st) != 0 ||
            ((st.st_uid != old->st_uid || st.st_gid != old->st_gid) && ::fchown(file_.fd, old->st_uid, old->st_gid) != 0) ||
            ::fchmod(file_.fd, old->st_mode & 07777) != 0) {
            const int err = errno;
            file_.discard();
            return err;
        }
        return 0;
    }

    // Makes the rename itself durable; the new file is in place either way.
    void sync_directory() const {
        const int dir = ::open(dir_.empty() ? "." : dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) return;
        ::fsync(dir);
        ::close(dir);
    }

    Ref path_;
    std::string dest_, dir_, base_;
    OpenFile file_;
    bool special_ = false;
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
    OpenFile file;
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

    // np.save writes through the cipher into the destination's temporary, or into the
    // file itself where it cannot be replaced.
    Ref np = global(module, "np");
    Destination file(path);
    np.method("save", Stream(module, file.fd(), key, path, file.rewrites()).ref(), array);
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
                    "content is refused.\n"
                    "The key is fixed and ships with this package: the file is obscured from casual\n"
                    "reading, not protected from anyone who has the package."),
    def<save>("save",
              "save(array, dest_path=None)\n--\n\n"
              "Store an array as an enciphered vault file.\n\n"
              "array: a NumPy array (a CuPy array is copied to the host first).\n"
              "dest_path: a str, or None for \"vault.bin\" in script_dir.\n"
              "A regular file, or a new one, is replaced atomically: the data goes to a\n"
              "temporary file beside it (named after it and this process's id), is flushed to\n"
              "disk and renamed over it, so a failed save leaves the previous file intact.\n"
              "Where a replace would change what the path stands for, the file is written in\n"
              "place as open(dest_path, \"wb\") would, and a failed write can leave it\n"
              "truncated: a device, FIFO or socket is written through; a file with other hard\n"
              "links, one whose owner the replacement could not keep, and a writable file in a\n"
              "directory that refuses new files are rewritten. Symbolic links are followed as\n"
              "open() follows them. Temporaries of the same target left by processes that have\n"
              "ended are removed.\n"
              "The key is fixed and ships with this package: the file is obscured from casual\n"
              "reading, not protected from anyone who has the package."),
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
                          "A small store for one numeric matrix, obscured with a fixed key shipped in the package\n"
                          "(it keeps casual readers out and protects nothing from anyone who has the package).", sizeof(VaultState), functions, slots,
                          traverse_module, clear_module, free_module};

}  // namespace

PyMODINIT_FUNC PyInit_vault() { return PyModuleDef_Init(&module_def); }
