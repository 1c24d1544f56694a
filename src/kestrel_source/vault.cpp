// kestrel.vault: one numeric matrix kept as a .npy stream XORed with a 32-byte key.
//
// File byte i = .npy byte i XOR key[i % 32], where the key is the SHA-256 digest of
// the password; no header of our own. The cipher is its own inverse.
#include "pyglue.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using pyglue::Ref;

namespace {

constexpr const char* kPassword = "marigold";
constexpr const char* kFileName = "vault.bin";
constexpr size_t kKeyLen = 32;

// out[i] = in[i] ^ key[i % 32]; `in` may equal `out`. Whole key-length blocks are
// XORed as machine words, which the compiler vectorises; byte order does not matter
// because data and key are loaded the same way.
void apply_key(const unsigned char* in, unsigned char* out, size_t n, const unsigned char* key) {
    uint64_t k[4];
    std::memcpy(k, key, kKeyLen);
    size_t i = 0;
    for (; i + kKeyLen <= n; i += kKeyLen) {
        uint64_t w[4];
        std::memcpy(w, in + i, kKeyLen);
        for (int j = 0; j < 4; ++j) w[j] ^= k[j];
        std::memcpy(out + i, w, kKeyLen);
    }
    for (; i < n; ++i) out[i] = in[i] ^ key[i % kKeyLen];
}

// SHA-256 of the password, derived afresh on every call through the module's hashlib.
Ref derive_key(PyObject* module) {
    Ref hashlib = pyglue::global(module, "hashlib");
    Ref password = Ref::steal(PyUnicode_FromString(kPassword));
    Ref raw = password ? Ref::steal(PyUnicode_AsEncodedString(password.get(), "utf-8", "strict")) : Ref();
    if (!hashlib || !raw) return Ref();
    Ref digest = pyglue::call_method(hashlib.get(), "sha256", raw.get());
    Ref key = digest ? pyglue::call_method(digest.get(), "digest") : Ref();
    if (key && (!PyBytes_Check(key.get()) || PyBytes_GET_SIZE(key.get()) != static_cast<Py_ssize_t>(kKeyLen))) {
        PyErr_SetString(PyExc_ValueError, "the key digest must be 32 bytes");
        return Ref();
    }
    return key;
}

// Enciphers/deciphers `size` bytes into a new bytes object.
Ref apply_key_copy(const unsigned char* data, Py_ssize_t size, PyObject* key) {
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!out) return Ref();
    auto* dst = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.get()));
    auto* k = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(key));
    Py_BEGIN_ALLOW_THREADS
    apply_key(data, dst, static_cast<size_t>(size), k);
    Py_END_ALLOW_THREADS
    return out;
}

// os.path.join(script_dir, "vault.bin"), with script_dir read at call time.
Ref default_path(PyObject* module) {
    Ref os = pyglue::global(module, "os");
    Ref dir = pyglue::global(module, "script_dir");
    Ref path = os ? Ref::steal(PyObject_GetAttrString(os.get(), "path")) : Ref();
    Ref name = Ref::steal(PyUnicode_FromString(kFileName));
    if (!dir || !path || !name) return Ref();
    return pyglue::call_method(path.get(), "join", dir.get(), name.get());
}

Ref encode_path(PyObject* path) { return Ref::steal(PyUnicode_EncodeFSDefault(path)); }

PyObject* os_error(int err, PyObject* path) {
    errno = err;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

// Reads the whole file into a new bytes object.
Ref read_file(PyObject* path) {
    Ref fs = encode_path(path);
    if (!fs) return Ref();
    const char* name = PyBytes_AS_STRING(fs.get());
    int fd, err = 0;
    struct stat st{};
    Py_BEGIN_ALLOW_THREADS
    fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &st) != 0) err = errno;
    Py_END_ALLOW_THREADS
    if (err) {
        if (fd >= 0) ::close(fd);
        os_error(err, path);
        return Ref();
    }
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, S_ISREG(st.st_mode) ? st.st_size : 0);
    if (!raw) {
        ::close(fd);
        return Ref();
    }
    const Py_ssize_t capacity = PyBytes_GET_SIZE(raw);
    Py_ssize_t got = 0;
    Py_BEGIN_ALLOW_THREADS
    // Read to the recorded size; one extra read also surfaces errors such as EISDIR.
    for (;;) {
        char probe;
        char* dst = got < capacity ? PyBytes_AS_STRING(raw) + got : &probe;
        const size_t want = got < capacity ? static_cast<size_t>(capacity - got) : 1;
        const ssize_t r = ::read(fd, dst, want);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) err = errno;
        if (r <= 0 || got >= capacity) break;
        got += r;
    }
    ::close(fd);
    Py_END_ALLOW_THREADS
    if (err) {
        Py_DECREF(raw);
        os_error(err, path);
        return Ref();
    }
    if (got < capacity && _PyBytes_Resize(&raw, got) < 0) return Ref();
    return Ref::steal(raw);
}

// Writes `data` to a temporary file beside `path`, flushes it to disk and renames it
// over `path`: readers see the old file or the new one, never a truncated one. On any
// failure the temporary file is removed and the old file is left as it was.
bool write_atomically(PyObject* path, const char* data, size_t size) {
    Ref fs = encode_path(path);
    if (!fs) return false;
    std::string dest = PyBytes_AS_STRING(fs.get());
    std::random_device entropy;
    const unsigned long long salt = (static_cast<unsigned long long>(entropy()) << 32) ^ entropy();
    int err = 0;
    Py_BEGIN_ALLOW_THREADS
    // Replace what a symbolic link points to, as opening the link for writing would.
    struct stat st{};
    if (::lstat(dest.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* target = ::realpath(dest.c_str(), nullptr)) {
            dest = target;
            std::free(target);
        }
    }
    const size_t slash = dest.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : dest.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? dest : dest.substr(slash + 1);
    std::string tmp;
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < 64; ++attempt) {
        char suffix[40];
        std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", salt + attempt * 0x9E3779B97F4A7C15ull);
        tmp = dir + "." + base + suffix;
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        err = errno;
    } else {
        // Keep the permissions of the file being replaced.
        if (::stat(dest.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::fchmod(fd, st.st_mode & 07777);
        size_t done = 0;
        while (done < size && !err) {
            const ssize_t w = ::write(fd, data + done, size - done);
            if (w < 0 && errno != EINTR) err = errno;
            if (w > 0) done += static_cast<size_t>(w);
        }
        if (!err && ::fsync(fd) != 0) err = errno;
        if (::close(fd) != 0 && !err) err = errno;
        if (!err && ::rename(tmp.c_str(), dest.c_str()) != 0) err = errno;
        if (err) ::unlink(tmp.c_str());
    }
    Py_END_ALLOW_THREADS
    if (err) {
        os_error(err, path);
        return false;
    }
    return true;
}

// True when CuPy is importable and sees a usable GPU.
int gpu_usable(PyObject* module, Ref& cp) {
    cp = pyglue::global(module, "cp");
    if (!cp) return -1;
    if (cp.get() == Py_None) return 0;
    Ref cuda = Ref::steal(PyObject_GetAttrString(cp.get(), "cuda"));
    Ref ok = cuda ? pyglue::call_method(cuda.get(), "is_available") : Ref();
    return ok ? PyObject_IsTrue(ok.get()) : -1;
}

PyObject* load_vault(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vault_path"};
    static const pyglue::Params params{"load_vault", names, 1, 0};
    PyObject* a[1];
    if (!pyglue::parse(params, args, nargs, kwnames, a)) return nullptr;
    Ref path = Ref::borrow(a[0] ? a[0] : Py_None);
    if (!pyglue::check_exact(path.get(), &PyUnicode_Type, "vault_path", true)) return nullptr;
    if (path.get() == Py_None && !(path = default_path(module))) return nullptr;

    Ref os = pyglue::global(module, "os");
    Ref ospath = os ? Ref::steal(PyObject_GetAttrString(os.get(), "path")) : Ref();
    Ref exists = ospath ? pyglue::call_method(ospath.get(), "exists", path.get()) : Ref();
    if (!exists) return nullptr;
    const int found = PyObject_IsTrue(exists.get());
    if (found < 0) return nullptr;
    if (!found) {
        Ref msg = Ref::steal(PyUnicode_FromFormat("VAULT file not found: %S", path.get()));
        if (msg) PyErr_SetObject(PyExc_FileNotFoundError, msg.get());
        return nullptr;
    }

    Ref key = derive_key(module);
    Ref encrypted = key ? read_file(path.get()) : Ref();
    if (!encrypted) return nullptr;
    // The bytes object is new and ours alone, so it is deciphered in place.
    auto* data = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(encrypted.get()));
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(encrypted.get()));
    auto* k = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(key.get()));
    Py_BEGIN_ALLOW_THREADS
    apply_key(data, data, size, k);
    Py_END_ALLOW_THREADS

    Ref io = pyglue::global(module, "io");
    Ref np = pyglue::global(module, "np");
    if (!io || !np) return nullptr;
    Ref buffer = pyglue::call_method(io.get(), "BytesIO", encrypted.get());
    Ref array = buffer ? pyglue::call_method(np.get(), "load", buffer.get()) : Ref();
    if (!array) return nullptr;

    Ref cp;
    const int gpu = gpu_usable(module, cp);
    if (gpu < 0) return nullptr;
    return gpu ? pyglue::call_method(cp.get(), "asarray", array.get()).release() : array.release();
}

PyObject* save(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"array", "dest_path"};
    static const pyglue::Params params{"save", names, 2, 1};
    PyObject* a[2];
    if (!pyglue::parse(params, args, nargs, kwnames, a)) return nullptr;
    Ref array = Ref::borrow(a[0]);
    Ref path = Ref::borrow(a[1] ? a[1] : Py_None);
    if (!pyglue::check_exact(path.get(), &PyUnicode_Type, "dest_path", true)) return nullptr;

    Ref key = derive_key(module);
    if (!key) return nullptr;
    // A GPU array is copied to the host first.
    Ref cp;
    if (!(cp = pyglue::global(module, "cp"))) return nullptr;
    if (cp.get() != Py_None) {
        Ref ndarray = Ref::steal(PyObject_GetAttrString(cp.get(), "ndarray"));
        const int on_gpu = ndarray ? PyObject_IsInstance(array.get(), ndarray.get()) : -1;
        if (on_gpu < 0) return nullptr;
        if (on_gpu && !(array = pyglue::call_method(cp.get(), "asnumpy", array.get()))) return nullptr;
    }

    Ref io = pyglue::global(module, "io");
    Ref np = pyglue::global(module, "np");
    if (!io || !np) return nullptr;
    Ref buffer = pyglue::call_method(io.get(), "BytesIO");
    if (!buffer || !pyglue::call_method(np.get(), "save", buffer.get(), array.get())) return nullptr;
    Ref encrypted;
    {
        Ref view = pyglue::call_method(buffer.get(), "getbuffer");
        pyglue::Buffer plain;
        if (!view || !plain.acquire(view.get(), PyBUF_SIMPLE)) return nullptr;
        encrypted = apply_key_copy(plain.bytes(), plain.size(), key.get());
        if (!encrypted) return nullptr;
    }

    if (path.get() == Py_None && !(path = default_path(module))) return nullptr;
    if (!write_atomically(path.get(), PyBytes_AS_STRING(encrypted.get()),
                          static_cast<size_t>(PyBytes_GET_SIZE(encrypted.get()))))
        return nullptr;
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
     "The file is written beside the destination and renamed over it, so a failed\n"
     "save leaves any previous file intact."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    if (!pyglue::bind_import(module, "hashlib", "hashlib") || !pyglue::bind_import(module, "io", "io") ||
        !pyglue::bind_import(module, "os", "os") || !pyglue::bind_import(module, "cupy", "cp", true) ||
        !pyglue::bind_import(module, "numpy", "np"))
        return -1;
    // script_dir = os.path.dirname(os.path.abspath(__file__))
    Ref os = pyglue::global(module, "os");
    Ref file = pyglue::global(module, "__file__");
    Ref ospath = os && file ? Ref::steal(PyObject_GetAttrString(os.get(), "path")) : Ref();
    Ref absolute = ospath ? pyglue::call_method(ospath.get(), "abspath", file.get()) : Ref();
    Ref dir = absolute ? pyglue::call_method(ospath.get(), "dirname", absolute.get()) : Ref();
    return dir ? PyModule_AddObjectRef(module, "script_dir", dir.get()) : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.vault",
                          "A small enciphered store for one numeric matrix.", 0, functions, slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vault() { return PyModuleDef_Init(&module_def); }
