// rasterkit._cpu: the CPU kernels of rasterkit (NumPy arrays), rows shared by a thread team.
//
// The Python package resolves arguments (sizes, interpolation, kernel sizes, matrix
// inversion, normalisation constants) and allocates the outputs; these entries check
// every buffer they are handed (dtype, ndim, shape, strides, alignment, sizes) so that
// no call can crash the interpreter, then run without the GIL. Sources may be any
// strided view, negative strides included; outputs must be C-contiguous.
#include "pyglue.hpp"

// The 8-float vectors of the AVX2 paths pass only between inline functions of this
// unit (pixel_math.h's included); GCC's note that their calling convention differs
// without AVX concerns calls across units built for different targets, never made here.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "rasterkit/pixel_math.h"

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

using pyglue::Ref;
using rk::index_t;


namespace {

enum class DType { U8, F32 };

// A strided view in elements over up to four axes (n, h, w, c). A 2-D image is
// h x w with one channel; a 3-D image h x w x c; a 4-D array n x h x w x c.
struct View {
    char* data = nullptr;
    DType dtype = DType::F32;
    index_t n = 1, h = 1, w = 1, c = 1;
    index_t sn = 0, sy = 0, sx = 0, sc = 0;  // strides in elements

    template <class T>
    T* at(index_t i, index_t y, index_t x, index_t ch) const {
        return reinterpret_cast<T*>(data) + i * sn + y * sy + x * sx + ch * sc;
    }
    // Pixel rows laid out as plain w * c runs, the fast path of most kernels.
    bool packed_rows() const { return sc == 1 && sx == c; }
};

// The struct code of a buffer holding one native-order element type, or 0. NumPy
// writes an unaligned array's format with an explicit standard-size prefix ("=f"),
// which is the same float32: the alignment check then names the real fault.
char element_type(const char* format) {
    if (!format) return 'B';
    const char native = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? '<' : '>';
    if (*format == '@' || *format == '=' || *format == native) ++format;
    return (format[0] == 'B' || format[0] == 'f') && format[1] == '\0' ? format[0] : 0;
}

// Buffer acquisition with the checks every entry needs. `ndims` lists the accepted
// dimension counts; 4 means (n, h, w, c).
bool get_view(PyObject* obj, pyglue::Buffer& buf, View& v, const char* name, bool writable, int min_ndim,
              int max_ndim) {
    const int flags = writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
    if (!buf.acquire(obj, flags)) return false;
    const Py_buffer& b = buf.view();
    const char type = element_type(b.format);
    if (type != 'B' && type != 'f') {
        PyErr_Format(PyExc_TypeError, "%s must be a uint8 or float32 array (buffer format '%s')", name,
                     b.format ? b.format : "B");
        return false;
    }
    v.dtype = type == 'B' ? DType::U8 : DType::F32;
    if (b.ndim < min_ndim || b.ndim > max_ndim) {
        PyErr_Format(PyExc_ValueError, "%s must have %d to %d dimensions, got %d", name, min_ndim, max_ndim,
                     b.ndim);
        return false;
    }
    const Py_ssize_t item = b.itemsize;
    if (reinterpret_cast<std::uintptr_t>(b.buf) % static_cast<std::uintptr_t>(item) != 0) {
        PyErr_Format(PyExc_ValueError, "%s is not aligned to its element size", name);
        return false;
    }
    index_t shape[4] = {1, 1, 1, 1}, strides[4] = {0, 0, 0, 1};
    // Map the buffer's axes onto (n, h, w, c): 2-D -> (h, w), 3-D -> (h, w, c), 4-D -> all.
    const int offset = b.ndim == 2 ? 1 : (b.ndim == 3 ? 1 : 0);
    for (int i = 0; i < b.ndim; ++i) {
        if (b.strides[i] % item != 0) {
            PyErr_Format(PyExc_ValueError, "%s has a stride that is not a multiple of its element size", name);
            return false;
        }
        if (b.shape[i] <= 0) {
            PyErr_Format(PyExc_ValueError, "%s must not be empty", name);
            return false;
        }
        shape[offset + i] = b.shape[i];
        strides[offset + i] = b.strides[i] / item;
    }
    v.data = static_cast<char*>(b.buf);
    v.n = shape[0];
    v.h = shape[1];
    v.w = shape[2];
    v.c = shape[3];
    v.sn = strides[0];
    v.sy = strides[1];
    v.sx = strides[2];
    v.sc = strides[3];
    if (writable && !PyBuffer_IsContiguous(&b, 'C')) {
        PyErr_Format(PyExc_ValueError, "%s must be C-contiguous", name);
        return false;
    }
    return true;
}

bool check_shape(const View& v, index_t n, index_t h, index_t w, index_t c, const char* name) {
    if (v.n == n && v.h == h && v.w == w && v.c == c) return true;
    PyErr_Format(PyExc_ValueError, "%s has shape (%lld, %lld, %lld, %lld), expected (%lld, %lld, %lld, %lld)",
                 name, v.n, v.h, v.w, v.c, n, h, w, c);
    return false;
}

bool get_index(PyObject* obj, index_t lo, index_t hi, const char* name, index_t* out) {
    const long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < lo || value > hi) {
        PyErr_Format(PyExc_ValueError, "%s must be in %lld..%lld, got %lld", name, lo, hi, value);
        return false;
    }
    *out = value;
    return true;
}

// A sequence of exactly `count` finite floats.
bool get_floats(PyObject* obj, index_t count, const char* name, std::vector<double>& out) {
    // A tuple copy: a list could be changed under us by the __float__ of its items.
    Ref seq = Ref::steal(PySequence_Tuple(obj));
    if (!seq) return false;
    if (PyTuple_GET_SIZE(seq.get()) != count) {
        PyErr_Format(PyExc_ValueError, "%s must have %lld values", name, count);
        return false;
    }
    out.resize(static_cast<size_t>(count));
    for (index_t i = 0; i < count; ++i) {
        const double v = PyFloat_AsDouble(PyTuple_GET_ITEM(seq.get(), i));
        if (v == -1.0 && PyErr_Occurred()) return false;
        if (!std::isfinite(v)) {
            PyErr_Format(PyExc_ValueError, "%s must be finite", name);
            return false;
        }
        out[static_cast<size_t>(i)] = v;
    }
    return true;
}

// v as a float32 constant of a kernel; ValueError when it lies beyond float32's range.
bool to_float32(double v, const char* name, float* out) {
    if (!(std::fabs(v) <= static_cast<double>(std::numeric_limits<float>::max()))) {
        PyErr_Format(PyExc_ValueError, "%s is beyond the float32 range", name);
        return false;
    }
    *out = static_cast<float>(v);
    return true;
}

bool check_nargs(const char* func, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", func, expected, nargs);
    return false;
}

// The longest scratch row and tap table an entry allocates. Only broadcast views
// (stride 0) of huge virtual sizes get past it; such rows could not be held in memory.
constexpr index_t kMaxFloats = index_t{1} << 28;

// The sum of the products of the pairs, or kMaxFloats + 1 when that is larger (no
// overflow whatever the sizes).
index_t floats(std::initializer_list<std::pair<index_t, index_t>> terms) {
    index_t total = 0;
    for (const auto& [a, b] : terms) {
        index_t product;
        if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(total, product, &total) ||
            total > kMaxFloats)
            return kMaxFloats + 1;
    }
    return total;
}

// Thread-private scratch, allocated before the parallel region: nothing may throw
// inside one. A failed allocation throws std::bad_alloc out of the entry, whose guard
// raises MemoryError.
int team_size();

struct Scratch {
    std::vector<float> data;
    size_t per_thread = 0;
    int slots = 1;  // the threads it has room for: a team call using it takes no more
    bool allocate(index_t floats_per_thread) {
        if (floats_per_thread > kMaxFloats) {
            PyErr_Format(PyExc_ValueError, "image rows are too long to process (more than %lld values)", kMaxFloats);
            return false;
        }
        per_thread = static_cast<size_t>(floats_per_thread);
        slots = team_size();
        data.assign(per_thread * static_cast<size_t>(slots), 0.0f);
        return true;
    }
    // The scratch of the thread working in `slot` (0 .. team_size() - 1).
    float* of(int slot) { return data.data() + per_thread * static_cast<size_t>(slot); }
};

// Parallelise only work large enough to pay for waking a helper: about a millisecond of
// vectorised work on one core.
constexpr index_t kParallelWork = index_t{1} << 20;

// The batch conversions cost a load, a multiply-add and a store per element, and run
// right before and after an inference engine's own threads, which a helper would compete
// with below some 8M elements (about 2 ms of work on one core).
constexpr index_t kParallelConversion = index_t{1} << 23;

// ------------------------------------------------------------------ thread team, forks, Ctrl-C

// The rows of a kernel run on the calling thread and on helper threads that join as they
// wake: each takes the next row from a shared counter, and the caller waits only for rows
// a helper has taken and not yet finished. A helper the scheduler has not run yet (the
// other cores busy, or the helper still asleep) costs nothing: the caller does its rows
// too. A barrier at the end of every parallel region, as OpenMP has, waits for each
// worker instead; on a small busy machine that made two threads slower than one.
//
// One team serves one job at a time; a kernel called while another thread's job runs
// works alone. Helpers never touch Python. The team is never destroyed (its helpers wait
// for work until the process ends), and a child forked while it exists starts a new one:
// the parent's helpers do not exist there, and its lock may have been held at the fork.
class Team {
public:
    explicit Team(int size) : size_(size) {}

    int size() const { return size_.load(std::memory_order_relaxed); }
    void set_size(int n) { size_.store(n, std::memory_order_relaxed); }

    // body(row, slot) for every row of [lo, hi): slot 0 on the calling thread, 1 ..
    // slots - 1 on helpers, with at most `max_slots` slots (what the caller's scratch
    // was sized for, as the team's size may change meanwhile); on the calling thread
    // alone unless `parallel`.
    template <class Body>
    void rows(index_t lo, index_t hi, bool parallel, int max_slots, Body& body) {
        const int slots = std::min(size(), max_slots);
        if (!parallel || slots < 2 || hi - lo < 2 || busy_.exchange(true, std::memory_order_acquire)) {
            for (index_t y = lo; y < hi; ++y) body(y, 0);
            return;
        }
        Job job{[](void* b, index_t y, int slot) { (*static_cast<Body*>(b))(y, slot); }, &body, {lo}, hi, slots};
        if (start_helpers(slots - 1)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                job.generation = ++generation_;
                job_ = &job;
            }
            wake_.notify_all();
        }
        for (index_t y; (y = job.next.fetch_add(1, std::memory_order_relaxed)) < hi;) body(y, 0);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            job_ = nullptr;
            idle_.wait(lock, [&] { return job.users == 0; });
        }
        busy_.store(false, std::memory_order_release);
    }

private:
    struct Job {
        void (*run)(void*, index_t, int);
        void* body;
        std::atomic<index_t> next;
        index_t end;
        int slots;
        unsigned long generation = 0;
        int users = 0;  // helpers at work on it, guarded by mutex_
    };

    // Starts helpers up to `count`; false when there are none (the caller then works alone).
    bool start_helpers(int count) {
        std::lock_guard<std::mutex> lock(mutex_);
        try {
            for (; started_ < count; ++started_) std::thread(&Team::help, this, started_ + 1).detach();
        } catch (const std::exception&) {
            // No more threads now: the ones there are will do.
        }
        return started_ > 0;
    }

    void help(int slot) {
        unsigned long seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return job_ && job_->generation != seen; });
            Job& job = *job_;
            seen = job.generation;
            if (slot >= job.slots) continue;
            ++job.users;
            lock.unlock();
            for (index_t y; (y = job.next.fetch_add(1, std::memory_order_relaxed)) < job.end;)
                job.run(job.body, y, slot);
            lock.lock();
            if (--job.users == 0) idle_.notify_all();
        }
    }

    std::atomic<int> size_;
    std::atomic<bool> busy_{false};
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    Job* job_ = nullptr;
    unsigned long generation_ = 0;
    int started_ = 0;
};

// The threads a kernel may use: OMP_NUM_THREADS where set, the variable other libraries'
// thread teams follow, else the CPUs this process may run on.
int default_team_size() {
    if (const char* env = std::getenv("OMP_NUM_THREADS")) {
        const long n = std::strtol(env, nullptr, 10);
        if (n >= 1 && n <= 1024) return static_cast<int>(n);
    }
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) return std::max(1, CPU_COUNT(&cpus));
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

// The team, made on first use: anew in a forked child, with the parent's size.
std::atomic<Team*> the_team{nullptr};
std::atomic<int> inherited_size{0};

Team& team() {
    Team* t = the_team.load(std::memory_order_acquire);
    if (t) return *t;
    const int inherited = inherited_size.load(std::memory_order_relaxed);
    Team* made = new Team(inherited > 0 ? inherited : default_team_size());
    if (the_team.compare_exchange_strong(t, made, std::memory_order_acq_rel)) return *made;
    delete made;
    return *t;
}

int team_size() { return team().size(); }

void start_anew_in_child() {
    if (Team* t = the_team.load(std::memory_order_relaxed)) inherited_size.store(t->size(), std::memory_order_relaxed);
    the_team.store(nullptr, std::memory_order_relaxed);  // the parent's is left as it was
}

// body(row, slot) over rows [lo, hi), on the team when `large` says the work pays for it,
// with slots below `max_slots`.
template <class Body>
void team_rows(index_t lo, index_t hi, bool large, Body&& body, int max_slots = std::numeric_limits<int>::max()) {
    team().rows(lo, hi, large, max_slots, body);
}

// Multiply-adds per band of rows between two checks for Ctrl-C: a fraction of a second
// on one core.
constexpr double kBandWork = 1 << 27;

// A single row costing more than this (seconds on one core) could not be interrupted:
// refused. Real images stay far below it; only broadcast views of huge virtual sizes
// get there.
constexpr double kMaxRowWork = static_cast<double>(index_t{1} << 34);

// Runs body(lo, hi) without the GIL over rows [0, rows) in bands of about kBandWork
// (at least one row per thread), taking the GIL back briefly between bands to run
// pending signal handlers. False with the Python error set when one raised
// (KeyboardInterrupt) or a row costs too much. The GIL is taken back in this frame,
// outside any parallel region and any destructor: a thread that CPython ends at
// interpreter exit unwinds from there through the entry.
template <class Body>
bool in_bands(index_t rows, double row_work, Body&& body) {
    if (row_work > kMaxRowWork) {
        PyErr_Format(PyExc_ValueError, "image rows are too long to process (%.3g operations each)", row_work);
        return false;
    }
    const index_t band = std::max<index_t>(team_size(), static_cast<index_t>(kBandWork / std::max(row_work, 1.0)));
    for (index_t lo = 0; lo < rows; lo += band) {
        const index_t hi = std::min(rows, lo + band);
        Py_BEGIN_ALLOW_THREADS
        body(lo, hi);
        Py_END_ALLOW_THREADS
        if (hi < rows && PyErr_CheckSignals() < 0) return false;
    }
    return true;
}

// ------------------------------------------------------------------ separable resampling

// Per-axis tap tables: destination index d reads taps start[d] .. start[d + 1].
struct AxisTable {
    std::vector<index_t> start, index;
    std::vector<float> weight;
    index_t max_taps = 0;

    bool build(int mode, index_t dst, index_t src) {
        // OpenCV derives the scale as 1 / (dst / src); the same rounding keeps nearest
        // neighbour picks identical.
        const double scale = 1.0 / (static_cast<double>(dst) / static_cast<double>(src));
        // Counted first: an area axis has about src + dst taps, too many for a huge
        // broadcast view.
        index_t total = 0;
        for (index_t d = 0; d < dst && total <= kMaxFloats; ++d)
            total += std::min(rk::axis_span(mode, d, scale, src).count, kMaxFloats + 1);
        if (total > kMaxFloats) {
            PyErr_Format(PyExc_ValueError, "resizing %lld pixels to %lld needs more than %lld taps", src, dst,
                         kMaxFloats);
            return false;
        }
        start.assign(static_cast<size_t>(dst) + 1, 0);
        index.reserve(static_cast<size_t>(total));
        weight.reserve(static_cast<size_t>(total));
        for (index_t d = 0; d < dst; ++d) {
            const rk::AxisSpan s = rk::axis_span(mode, d, scale, src);
            for (index_t k = 0; k < s.count; ++k) {
                index_t i;
                float w;
                rk::axis_tap(mode, s, k, src, &i, &w);
                index.push_back(i);
                weight.push_back(w);
            }
            start[static_cast<size_t>(d) + 1] = static_cast<index_t>(index.size());
            max_taps = std::max<index_t>(max_taps, s.count);
        }
        return true;
    }
};

// row[i] (+)= weight * source row y, as w * c floats.
template <class T>
void accumulate_row(const View& v, index_t img, index_t y, float weight, bool first, float* row) {
    if (v.packed_rows()) {
        const T* p = v.at<const T>(img, y, 0, 0);
        const index_t count = v.w * v.c;
        if (first)
            for (index_t i = 0; i < count; ++i) row[i] = weight * rk::load(p + i);
        else
            for (index_t i = 0; i < count; ++i) row[i] += weight * rk::load(p + i);
        return;
    }
    for (index_t x = 0; x < v.w; ++x)
        for (index_t c = 0; c < v.c; ++c) {
            const float value = weight * rk::load(v.at<const T>(img, y, x, c));
            float& r = row[x * v.c + c];
            r = first ? value : r + value;
        }
}

// row[i] += weight * (source row ya + source row yb): two mirrored blur taps.
template <class T>
void accumulate_pair(const View& v, index_t ya, index_t yb, float weight, float* row) {
    if (v.packed_rows()) {
        const T* a = v.at<const T>(0, ya, 0, 0);
        const T* b = v.at<const T>(0, yb, 0, 0);
        const index_t count = v.w * v.c;
        for (index_t i = 0; i < count; ++i) row[i] += weight * (rk::load(a + i) + rk::load(b + i));
        return;
    }
    for (index_t x = 0; x < v.w; ++x)
        for (index_t c = 0; c < v.c; ++c)
            row[x * v.c + c] += weight * (rk::load(v.at<const T>(0, ya, x, c)) + rk::load(v.at<const T>(0, yb, x, c)));
}

// out[x * c + ch] = sum of taps of table over row; CN > 0 fixes the channel count.
template <int CN>
void horizontal(const AxisTable& t, index_t dst_w, index_t channels, const float* row, float* out) {
    const index_t cn = CN > 0 ? CN : channels;
    for (index_t x = 0; x < dst_w; ++x) {
        float acc[CN > 0 ? CN : 1];
        float* o = out + x * cn;
        if (CN > 0)
            for (int c = 0; c < CN; ++c) acc[c] = 0.0f;
        else
            for (index_t c = 0; c < cn; ++c) o[c] = 0.0f;
        for (index_t k = t.start[static_cast<size_t>(x)]; k < t.start[static_cast<size_t>(x) + 1]; ++k) {
            const float w = t.weight[static_cast<size_t>(k)];
            const float* r = row + t.index[static_cast<size_t>(k)] * cn;
            if (CN > 0)
                for (int c = 0; c < CN; ++c) acc[c] += w * r[c];
            else
                for (index_t c = 0; c < cn; ++c) o[c] += w * r[c];
        }
        if (CN > 0)
            for (int c = 0; c < CN; ++c) o[c] = acc[c];
    }
}

void horizontal_any(const AxisTable& t, index_t dst_w, index_t channels, const float* row, float* out) {
    switch (channels) {
        case 1: return horizontal<1>(t, dst_w, channels, row, out);
        case 3: return horizontal<3>(t, dst_w, channels, row, out);
        case 4: return horizontal<4>(t, dst_w, channels, row, out);
        default: return horizontal<0>(t, dst_w, channels, row, out);
    }
}

// One output row y of image `img` resampled through the tables, vertical taps first:
// scratch holds the vertically combined source row (v.w * c floats) followed by the
// finished row (dst_w * c floats), which is returned.
template <class T>
const float* resample_row(const View& v, index_t img, const AxisTable& tx, const AxisTable& ty, index_t dst_w,
                          index_t y, float* scratch) {
    float* row = scratch;
    float* out = scratch + v.w * v.c;
    const size_t k0 = static_cast<size_t>(ty.start[static_cast<size_t>(y)]);
    const size_t k1 = static_cast<size_t>(ty.start[static_cast<size_t>(y) + 1]);
    for (size_t k = k0; k < k1; ++k) accumulate_row<T>(v, img, ty.index[k], ty.weight[k], k == k0, row);
    horizontal_any(tx, dst_w, v.c, row, out);
    return out;
}

// Output rows [y0, y1); `row_work` is the cost of one.
template <class T>
void resize_rows(const View& src, const View& dst, const AxisTable& tx, const AxisTable& ty, Scratch& scratch,
                 index_t y0, index_t y1, double row_work) {
    const index_t row_len = dst.w * dst.c;
    team_rows(y0, y1, (y1 - y0) * row_work > kParallelWork, [&](index_t y, int slot) {
        const float* out = resample_row<T>(src, 0, tx, ty, dst.w, y, scratch.of(slot));
        T* d = dst.at<T>(0, y, 0, 0);
        for (index_t i = 0; i < row_len; ++i) rk::store(d + i, out[i]);
    }, scratch.slots);
}

// resize(src, dst, mode_x, mode_y): dst is C-contiguous of src's dtype and channels.
PyObject* py_resize(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("resize", nargs, 4)) return nullptr;
    pyglue::Buffer sb, db;
    View src, dst;
    index_t mode_x, mode_y;
    if (!get_view(args[0], sb, src, "src", false, 2, 3) || !get_view(args[1], db, dst, "dst", true, 2, 3) ||
        !get_index(args[2], 0, 3, "mode_x", &mode_x) || !get_index(args[3], 0, 3, "mode_y", &mode_y))
        return nullptr;
    if (dst.dtype != src.dtype || dst.c != src.c || sb.view().ndim != db.view().ndim) {
        PyErr_SetString(PyExc_ValueError, "dst must have the dtype and channels of src");
        return nullptr;
    }
    AxisTable tx, ty;
    Scratch scratch;
    if (!tx.build(static_cast<int>(mode_x), dst.w, src.w) || !ty.build(static_cast<int>(mode_y), dst.h, src.h) ||
        !scratch.allocate(floats({{src.w, src.c}, {dst.w, dst.c}})))
        return nullptr;
    const double row_work = static_cast<double>(ty.max_taps) * static_cast<double>(src.w * src.c) +
                            static_cast<double>(tx.index.size() + dst.w) * static_cast<double>(src.c);
    const bool done = in_bands(dst.h, row_work, [&](index_t y0, index_t y1) {
        if (src.dtype == DType::U8)
            resize_rows<unsigned char>(src, dst, tx, ty, scratch, y0, y1, row_work);
        else
            resize_rows<float>(src, dst, tx, ty, scratch, y0, y1, row_work);
    });
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ affine warp

// Output tiles of kTileRows x kTileCols: a tile's rows share the column terms of their
// positions, and a band of kTileRows rows is the unit of work a thread takes. Runs of
// up to 1024 pixels keep each row's start-up (planning, the first positions before the
// first loads) small against its pixels: 128-pixel runs cost 10-15 % more per pixel.
constexpr index_t kTileRows = 8, kTileCols = 1024;

// Columns [lo, hi) of an output row whose sample positions (sx, sy), linear in the
// column, satisfy pred. Each coordinate is monotone along the row, so such columns form
// one interval: estimated from lower[k] <= s_k < upper[k], then corrected with pred
// itself, which alone decides results (the caller's paths agree on every pixel; the
// interval only picks the fastest one).
struct Span {
    index_t lo, hi;
};

template <class Pred>
Span find_span(const double* slope, const double* base, const double* lower, const double* upper, index_t out_w,
               Pred&& pred) {
    double lo = 0.0, hi = static_cast<double>(out_w);
    for (int k = 0; k < 2; ++k) {
        if (slope[k] == 0.0) {
            if (!(base[k] >= lower[k] && base[k] < upper[k])) hi = lo;
            continue;
        }
        double a = (lower[k] - base[k]) / slope[k], b = (upper[k] - base[k]) / slope[k];
        if (a > b) std::swap(a, b);
        lo = std::max(lo, a);
        hi = std::min(hi, b + 1.0);
    }
    Span s;
    s.lo = static_cast<index_t>(std::clamp(std::ceil(lo), 0.0, static_cast<double>(out_w)));
    s.hi = std::max(s.lo, static_cast<index_t>(std::clamp(std::floor(hi), 0.0, static_cast<double>(out_w))));
    while (s.lo < s.hi && !pred(s.lo)) ++s.lo;
    while (s.hi > s.lo && !pred(s.hi - 1)) --s.hi;
    if (s.lo == s.hi) {
        // The estimate missed; an interval it missed can only touch its edges.
        for (index_t x : {s.lo - 1, s.lo}) {
            if (x >= 0 && x < out_w && pred(x)) {
                s.lo = x;
                s.hi = x + 1;
                break;
            }
        }
        if (s.lo == s.hi) return s;
    }
    while (s.lo > 0 && pred(s.lo - 1)) --s.lo;
    while (s.hi < out_w && pred(s.hi)) ++s.hi;
    return s;
}

// How one output row splits: zeros outside [any.lo, any.hi) (no tap inside the
// source), per-tap checks at the edges, the unchecked interior [inner.lo, inner.hi).
struct RowPlan {
    double bx, by;
    Span any, inner;
};

RowPlan plan_row(const double* im, index_t y, index_t out_w, index_t src_w, index_t src_h) {
    RowPlan r;
    r.bx = im[1] * y + im[2];
    r.by = im[4] * y + im[5];
    const double slope[2] = {im[0], im[3]}, base[2] = {r.bx, r.by};
    const double any_lo[2] = {std::nextafter(-1.0, 0.0), std::nextafter(-1.0, 0.0)};
    const double any_hi[2] = {static_cast<double>(src_w), static_cast<double>(src_h)};
    const double in_lo[2] = {0.0, 0.0}, in_hi[2] = {src_w - 1.0, src_h - 1.0};
    auto position = [&](index_t x) { return rk::bilinear_position(im[0] * x + r.bx, im[3] * x + r.by, src_w, src_h); };
    r.any = find_span(slope, base, any_lo, any_hi, out_w, [&](index_t x) { return position(x).any; });
    r.inner = find_span(slope, base, in_lo, in_hi, out_w, [&](index_t x) { return position(x).interior; });
    // The interior loop keeps positions in int; larger sources take the checked path.
    const bool int_positions = src_w < (index_t{1} << 30) && src_h < (index_t{1} << 30);
    if (r.inner.lo == r.inner.hi || !int_positions) r.inner.lo = r.inner.hi = r.any.lo;
    return r;
}

// Four floats in SIMD lanes: pixel_math.h's blend and rounding run on them unchanged,
// so the vectorised interior computes exactly what the per-channel code does.
typedef float f32x4 __attribute__((vector_size(16)));
typedef int i32x4 __attribute__((vector_size(16)));
typedef unsigned char u8x4 __attribute__((vector_size(4)));
typedef float f32x8 __attribute__((vector_size(32)));
typedef unsigned int u32x8 __attribute__((vector_size(32)));
typedef int i32x8 __attribute__((vector_size(32)));
typedef unsigned char u8x16 __attribute__((vector_size(16)));
typedef unsigned char u8x32 __attribute__((vector_size(32)));
// Eight floats anywhere in memory: loads and stores through it are plain unaligned
// vector moves (a memcpy of 32 bytes went through the stack).
typedef float f32x8_any __attribute__((vector_size(32), aligned(4), may_alias));
typedef double f64x4 __attribute__((vector_size(32)));
typedef double f64x4_any __attribute__((vector_size(32), aligned(8), may_alias));

f64x4 load_f64x4(const double* p) { return *reinterpret_cast<const f64x4_any*>(p); }

// floor(v) for v in [0, 2^51): adding and removing 2^52 rounds to the nearest integer,
// one less where that is above v. Exact, and it stays in floating point, where a
// conversion to integer and back costs two conversions a coordinate.
double floor_nonneg(double v) {
    const double r = (v + 0x1p52) - 0x1p52;
    return r > v ? r - 1.0 : r;
}

// Kernels written with vector types are built twice: for AVX2 and for the x86-64
// baseline (SSE2). by_isa(body) calls body(std::true_type{}) from a function built for
// AVX2 where the CPU and its operating system run it, else body(std::false_type{});
// body is an always_inline lambda, so each call site builds it for both. Built for
// SSE2, 8-lane vectors have no registers and go through memory lane by lane (3 to 8
// times slower), so the kernels take 4 lanes (or one pixel at a time) there. Kernels of
// plain loops, which the compiler vectorises itself, are target_clones instead.
//
// RASTERKIT_NO_AVX2 set to anything but "" or "0" makes these kernels take their
// baseline builds everywhere: for timing them, and for the tests, which compare the
// two builds on a machine that has AVX2.
bool use_avx2() {
    static const bool use = [] {
        const char* off = std::getenv("RASTERKIT_NO_AVX2");
        return __builtin_cpu_supports("avx2") && (!off || !*off || std::strcmp(off, "0") == 0);
    }();
    return use;
}

template <class Body>
__attribute__((target("avx2"))) void on_avx2(Body& body) {
    body(std::true_type{});
}

template <class Body>
void by_isa(Body&& body) {
    if (use_avx2())
        on_avx2(body);
    else
        body(std::false_type{});
}

// The float vector of 8 lanes on AVX2, 4 on the baseline, and its loads and stores at
// any address.
template <bool Avx2>
using Floats = std::conditional_t<Avx2, f32x8, f32x4>;

template <class V>
V load_any(const float* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
void store_any(float* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// floor of four lanes as one AVX rounding instruction (mode 9: toward minus infinity,
// no inexact exception). Called only from code built for AVX2, which inlines it; the
// baseline build cannot name the instruction.
__attribute__((target("avx2"))) inline f64x4 floor_avx(f64x4 v) { return __builtin_ia32_roundpd256(v, 9); }

unsigned int word(const unsigned char* p) {
    unsigned int v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

f32x4 load4(const float* p) {
    f32x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
// Bytes widen through integer lanes; the generic conversions compile to per-lane code
// on plain SSE2, which lacks the byte-to-int moves.
f32x4 load4(const unsigned char* p) {
#if defined(__SSE2__)
    int bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    const __m128i zero = _mm_setzero_si128();
    const __m128i words = _mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zero);
    return reinterpret_cast<f32x4>(_mm_cvtepi32_ps(_mm_unpacklo_epi16(words, zero)));
#else
    u8x4 v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, f32x4);
#endif
}

// {a[0], a[1], b[0], b[1]}.
f32x4 pair_of(const float* a, const float* b) {
    typedef float f32x2 __attribute__((vector_size(8)));
    f32x2 x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return __builtin_shufflevector(x, y, 0, 1, 2, 3);
}

// The first `count` lanes of v stored at p, as rk::store would store them one by one.
template <int count>
void store_lanes(float* p, f32x4 v) {
    if constexpr (count == 4)
        std::memcpy(p, &v, sizeof v);
    else
        for (int k = 0; k < count; ++k) p[k] = v[k];  // lane by lane: no round trip through the stack
}
template <int count>
void store_lanes(unsigned char* p, f32x4 v) {
    // saturate_u8 leaves integers in 0..255: the packs below cannot saturate them again.
#if defined(__SSE2__)
    const __m128i ints = _mm_cvttps_epi32(reinterpret_cast<__m128>(rk::saturate_u8(v)));
    const __m128i words = _mm_packs_epi32(ints, ints);
    const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
    std::memcpy(p, &bytes, count);
#else
    const u8x4 b = __builtin_convertvector(__builtin_convertvector(rk::saturate_u8(v), i32x4), u8x4);
    std::memcpy(p, &b, count);
#endif
}

// The unchecked interior [i0, i1) of an output row, at most kTileCols pixels:
// coordinates are non-negative (floor_nonneg applies) and all four taps exist. The same arithmetic as
// bilinear_position and bilinear_sample, with the positions computed first; cx[k] and
// cy[k] are the column terms im[0] * x and im[3] * x of column x = i0 + k.
// Packed sources (channel stride 1, pixel stride CN) take SIMD loops: 3 or 4 channels
// of a pixel in the lanes of one vector, or 4 single-channel pixels side by side.
// The baseline build (Avx2 false) keeps to the one-pixel loops and scalar positions.
template <class T, int CN, bool Packed, bool Avx2>
[[gnu::always_inline]] inline void warp_interior_build(const View& src, T* d, const RowPlan& r, index_t i0,
                                                       index_t i1, const double* cx, const double* cy) {
    const index_t cn = CN > 0 ? CN : src.c;
    const index_t sx = Packed ? cn : src.sx, sc = Packed ? 1 : src.sc, sy = src.sy;
    const T* base = src.at<const T>(0, 0, 0, 0);
    // Packed sources are only taken when every element offset fits in int (see
    // warp_cols), which keeps the offset arithmetic in vector lanes.
    using Offset = std::conditional_t<Packed, int, index_t>;
    // How many pixels ahead to prefetch: a rotated or shrinking map walks the source
    // across rows, which the hardware prefetcher does not follow.
    constexpr int kAhead = 32;
    // The paired float loop below reads whole 8-lane vectors around each tap row: from
    // cn elements before a pixel's top-left tap to cn + 8 after it. Runs whose taps
    // all leave that much room inside the source take it.
    const index_t rows_lo = std::min<index_t>(0, (src.h - 1) * sy);
    const index_t rows_hi = std::max<index_t>(0, (src.h - 1) * sy) + src.w * cn;
    const index_t roomy_lo = rows_lo - std::min<index_t>(0, sy) + cn;
    const index_t roomy_hi = rows_hi - std::max<index_t>(0, sy) - (cn + 8);
    const int n = static_cast<int>(i1 - i0);
    Offset off[kTileCols + kAhead];  // of each pixel's top-left tap from base
    float fx[kTileCols + 8], fy[kTileCols + 8];  // 8 more: the paired loop loads 8 from a pixel on
    // Positions (with AVX2 four at a time in double lanes, the same operations as the
    // per-pixel loop); the offsets are integers below 2^31 or inside the source, exact
    // in double.
    const double sxd = static_cast<double>(sx), syd = static_cast<double>(sy);
    typedef Offset OffsetX4 __attribute__((vector_size(4 * sizeof(Offset))));
    OffsetX4 low4 = OffsetX4{} + std::numeric_limits<Offset>::max(), high4 = OffsetX4{} + std::numeric_limits<Offset>::min();
    int i = 0;
    if constexpr (Avx2) {
        for (; i + 4 <= n; i += 4) {
            const f64x4 px = load_f64x4(cx + i) + r.bx, py = load_f64x4(cy + i) + r.by;
            const f64x4 ix = floor_avx(px), iy = floor_avx(py);
            const OffsetX4 o = __builtin_convertvector(iy * syd + ix * sxd, OffsetX4);
            low4 = o < low4 ? o : low4;
            high4 = o > high4 ? o : high4;
            std::memcpy(off + i, &o, sizeof o);
            const f32x4 vfx = __builtin_convertvector(px - ix, f32x4), vfy = __builtin_convertvector(py - iy, f32x4);
            std::memcpy(fx + i, &vfx, sizeof vfx);
            std::memcpy(fy + i, &vfy, sizeof vfy);
        }
    }
    Offset lowest = std::min(std::min(low4[0], low4[1]), std::min(low4[2], low4[3]));
    Offset highest = std::max(std::max(high4[0], high4[1]), std::max(high4[2], high4[3]));
    for (; i < n; ++i) {
        const double px = cx[i] + r.bx, py = cy[i] + r.by;
        const double ix = floor_nonneg(px), iy = floor_nonneg(py);
        off[i] = static_cast<Offset>(iy * syd + ix * sxd);
        lowest = std::min(lowest, off[i]);
        highest = std::max(highest, off[i]);
        fx[i] = static_cast<float>(px - ix);
        fy[i] = static_cast<float>(py - iy);
    }
    const bool roomy = lowest >= roomy_lo && highest <= roomy_hi;
    for (int k = n; k < n + kAhead; ++k) off[k] = off[n - 1];  // past the run, its last pixel again
    std::fill(fx + n, fx + n + 8, 0.0f);
    std::fill(fy + n, fy + n + 8, 0.0f);
    auto tap = [&](int k) {
        __builtin_prefetch(base + off[k + kAhead]);
        __builtin_prefetch(base + off[k + kAhead] + sy);
        return base + off[k];
    };
    T* o = d + i0 * cn;
    i = 0;
    if constexpr (Avx2 && Packed && (CN == 3 || CN == 4) && std::is_same_v<T, unsigned char>) {
        // Eight pixels at once, one vector per channel: each tap pixel is read as
        // one 32-bit word. For 3 channels the right pixel's word starts at its left
        // neighbour's last channel, so no read leaves the two pixels of a tap row.
        constexpr int right_at = CN == 3 ? 2 : 4, right_shift = CN == 3 ? 8 : 0;
        for (; i + 8 <= n; i += 8, o += 8 * CN) {
            u32x8 tl, tr, bl, br;
            for (int j = 0; j < 8; ++j) {
                const T* p = tap(i + j);
                tl[j] = word(p);
                tr[j] = word(p + right_at);
                bl[j] = word(p + sy);
                br[j] = word(p + sy + right_at);
            }
            const f32x8 vfx = *reinterpret_cast<const f32x8_any*>(fx + i);
            const f32x8 vfy = *reinterpret_cast<const f32x8_any*>(fy + i);
            u32x8 packed = u32x8{} + 0u;
            for (int c = 0; c < CN; ++c) {
                auto channel = [&](const u32x8& v, int shift) {  // bytes convert as signed ints: one step
                    return __builtin_convertvector(reinterpret_cast<i32x8>((v >> (8 * c + shift)) & 0xFFu), f32x8);
                };
                const f32x8 v = rk::saturate_u8(rk::bilinear_blend(channel(tl, 0), channel(tr, right_shift),
                                                                     channel(bl, 0), channel(br, right_shift),
                                                                     vfx, vfy));
                packed |= reinterpret_cast<u32x8>(__builtin_convertvector(v, i32x8)) << (8 * c);
            }
            if constexpr (CN == 4) {
                std::memcpy(o, &packed, sizeof packed);
            } else {
                // Each half's four pixels closed up to 12 bytes (one byte shuffle within
                // the 128-bit halves), stored 16 at a time: the 4 spare bytes land on the
                // next two pixels of the run, written after them. Without two more
                // pixels the last 12 bytes store exactly.
                const u8x32 b = reinterpret_cast<u8x32>(packed);
                const u8x16 lo = __builtin_shufflevector(b, b, 0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 15, 15, 15, 15);
                const u8x16 hi = __builtin_shufflevector(b, b, 16, 17, 18, 20, 21, 22, 24, 25, 26, 28, 29, 30, 31, 31,
                                                         31, 31);
                std::memcpy(o, &lo, sizeof lo);
                std::memcpy(o + 12, &hi, i + 10 <= n ? sizeof hi : 12);
            }
        }
    }
    if constexpr (Packed && (CN == 3 || CN == 4)) {
        // Loads of 4 elements stay inside the two pixels of each tap row: for 3
        // channels the right pixel is read from its left neighbour's last channel on.
        auto right = [](const T* q) {
            if constexpr (CN == 4) return load4(q + 4);
            else return __builtin_shufflevector(load4(q + 2), load4(q + 2), 1, 2, 3, 3);
        };
        if constexpr (Avx2 && std::is_same_v<T, float>) {
            // Two pixels a vector: pixel i in lanes [0, CN), pixel i + 1 from lane CN
            // on (for 3 channels lanes 6 and 7 carry its neighbour, unused). Each
            // vector is a blend of two 8-lane loads, one ending CN lanes early: no
            // lane crosses between loads, so the shuffle units stay free.
            auto pair = [](const float* a, const float* b) {
                const f32x8 lo = *reinterpret_cast<const f32x8_any*>(a);
                const f32x8 hi = *reinterpret_cast<const f32x8_any*>(b - CN);
                if constexpr (CN == 4) return __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 12, 13, 14, 15);
                else return __builtin_shufflevector(lo, hi, 0, 1, 2, 11, 12, 13, 14, 15);
            };
            auto weights = [](const float* w) {  // w[0] in the first pixel's lanes, w[1] in the second's
                const f32x8 v = *reinterpret_cast<const f32x8_any*>(w);
                if constexpr (CN == 4) return __builtin_shufflevector(v, v, 0, 0, 0, 0, 1, 1, 1, 1);
                else return __builtin_shufflevector(v, v, 0, 0, 0, 1, 1, 1, 1, 1);
            };
            for (; roomy && i + 2 <= n; i += 2, o += 2 * CN) {
                const T *p = tap(i), *q = base + off[i + 1];  // one prefetch a pair: its pixels lie close
                const f32x8 v = rk::bilinear_blend(pair(p, q), pair(p + CN, q + CN), pair(p + sy, q + sy),
                                                   pair(p + sy + CN, q + sy + CN), weights(fx + i), weights(fy + i));
                if (CN == 4 || i + 2 < n) {
                    // For 3 channels the two spare lanes land on the next pixel of
                    // the run, which is written after them.
                    *reinterpret_cast<f32x8_any*>(o) = v;
                } else {
                    store_lanes<4>(o, __builtin_shufflevector(v, v, 0, 1, 2, 3));
                    store_lanes<2>(o + 4, __builtin_shufflevector(v, v, 4, 5, 6, 7));
                }
            }
        }
        for (; i < n; ++i, o += CN) {
            const T* p = tap(i);
            const f32x4 vfx = f32x4{} + fx[i], vfy = f32x4{} + fy[i];
            const f32x4 v = rk::bilinear_blend(load4(p), right(p), load4(p + sy), right(p + sy), vfx, vfy);
            // One whole-vector store; for 3 channels its last lane lands on the next
            // pixel of the run, which is written after it.
            if (i + 1 < n)
                store_lanes<4>(o, v);
            else
                store_lanes<CN>(o, v);
        }
    } else if constexpr (Packed && CN == 1) {
        for (; i + 4 <= n; i += 4, o += 4) {
            const T *p0 = tap(i), *p1 = tap(i + 1), *p2 = tap(i + 2), *p3 = tap(i + 3);
            f32x4 left[2], right[2];  // the top and bottom taps of the four pixels
            for (int k = 0; k < 2; ++k) {
                const index_t at = k * sy;
                if constexpr (std::is_same_v<T, float>) {
                    // Both taps of a row in one 8-byte load, then split.
                    const f32x4 a = pair_of(p0 + at, p1 + at), b = pair_of(p2 + at, p3 + at);
                    left[k] = __builtin_shufflevector(a, b, 0, 2, 4, 6);
                    right[k] = __builtin_shufflevector(a, b, 1, 3, 5, 7);
                } else {
                    left[k] = f32x4{rk::load(p0 + at), rk::load(p1 + at), rk::load(p2 + at), rk::load(p3 + at)};
                    right[k] = f32x4{rk::load(p0 + at + 1), rk::load(p1 + at + 1), rk::load(p2 + at + 1),
                                     rk::load(p3 + at + 1)};
                }
            }
            store_lanes<4>(o, rk::bilinear_blend(left[0], right[0], left[1], right[1], load4(fx + i), load4(fy + i)));
        }
    }
    for (; i < n; ++i, o += cn) {
        const T* p = tap(i);
        for (index_t c = 0; c < cn; ++c) {
            const T* q = p + c * sc;
            rk::store(o + c, rk::bilinear_blend(rk::load(q), rk::load(q + sx), rk::load(q + sy),
                                                rk::load(q + sy + sx), fx[i], fy[i]));
        }
    }
}

template <class T, int CN, bool Packed>
void warp_interior(const View& src, T* d, const RowPlan& r, index_t i0, index_t i1, const double* cx,
                   const double* cy) {
    by_isa([&](auto avx2) __attribute__((always_inline)) {
        warp_interior_build<T, CN, Packed, decltype(avx2)::value>(src, d, r, i0, i1, cx, cy);
    });
}

// Columns [c0, c1) of one output row; CN > 0 fixes the channel count. cx and cy hold
// the column terms of the row's positions from c0 on (see warp_band).
template <class T, int CN>
void warp_cols(const View& src, T* d, const RowPlan& r, index_t c0, index_t c1, const double* im, const double* cx,
               const double* cy) {
    const index_t cn = CN > 0 ? CN : src.c;
    const T* base = src.at<const T>(0, 0, 0, 0);
    auto zeros = [&](index_t from, index_t to) {
        const index_t lo = std::max(from, c0), hi = std::min(to, c1);
        if (lo < hi) std::fill(d + lo * cn, d + hi * cn, T(0));
    };
    auto checked = [&](index_t from, index_t to) {
        for (index_t x = std::max(from, c0); x < std::min(to, c1); ++x) {
            const rk::BilinearPos b = rk::bilinear_position(im[0] * x + r.bx, im[3] * x + r.by, src.w, src.h);
            for (index_t c = 0; c < cn; ++c)
                rk::store(d + x * cn + c,
                          b.any ? rk::bilinear_sample(base + c * src.sc, src.sy, src.sx, b, src.w, src.h) : 0.0f);
        }
    };
    zeros(0, r.any.lo);
    checked(r.any.lo, r.inner.lo);
    const index_t i0 = std::max(r.inner.lo, c0), i1 = std::min(r.inner.hi, c1);
    if (i0 < i1) {
        const bool int_offsets = src.h * std::abs(src.sy) + src.w * src.c < (index_t{1} << 31);
        if (CN > 0 && src.packed_rows() && int_offsets)
            warp_interior<T, CN, true>(src, d, r, i0, i1, cx + (i0 - c0), cy + (i0 - c0));
        else
            warp_interior<T, CN, false>(src, d, r, i0, i1, cx + (i0 - c0), cy + (i0 - c0));
    }
    checked(r.inner.hi, r.any.hi);
    zeros(r.any.hi, c1);
}

template <class T, int CN>
void warp_band(const View& src, const View& dst, index_t y0, const double* im) {
    const index_t y1 = std::min(y0 + kTileRows, dst.h);
    RowPlan plans[kTileRows];
    for (index_t y = y0; y < y1; ++y) plans[y - y0] = plan_row(im, y, dst.w, src.w, src.h);
    for (index_t c0 = 0; c0 < dst.w; c0 += kTileCols) {
        // Position (im[0] * x + bx, im[3] * x + by): the products depend on the column
        // alone, so the band's rows share them.
        const index_t c1 = std::min(c0 + kTileCols, dst.w);
        double cx[kTileCols], cy[kTileCols];
        for (index_t x = c0; x < c1; ++x) {
            cx[x - c0] = im[0] * static_cast<double>(x);
            cy[x - c0] = im[3] * static_cast<double>(x);
        }
        for (index_t y = y0; y < y1; ++y)
            warp_cols<T, CN>(src, dst.at<T>(0, y, 0, 0), plans[y - y0], c0, c1, im, cx, cy);
    }
}

// Tiles of kTileRows output rows [t0, t1).
template <class T>
void warp_tiles(const View& src, const View& dst, const double* im, index_t t0, index_t t1) {
    const index_t rows = std::min(t1 * kTileRows, dst.h) - t0 * kTileRows;
    team_rows(t0, t1, rows * dst.w * src.c * 4 > kParallelWork, [&](index_t band, int) {
        switch (src.c) {
            case 1: warp_band<T, 1>(src, dst, band * kTileRows, im); break;
            case 3: warp_band<T, 3>(src, dst, band * kTileRows, im); break;
            case 4: warp_band<T, 4>(src, dst, band * kTileRows, im); break;
            default: warp_band<T, 0>(src, dst, band * kTileRows, im); break;
        }
    });
}

// warp_affine(src, dst, inverse): inverse is the 2 x 3 destination-to-source map as
// six finite numbers, row-major.
PyObject* py_warp_affine(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("warp_affine", nargs, 3)) return nullptr;
    pyglue::Buffer sb, db;
    View src, dst;
    std::vector<double> im;
    if (!get_view(args[0], sb, src, "src", false, 2, 3) || !get_view(args[1], db, dst, "dst", true, 2, 3) ||
        !get_floats(args[2], 6, "inverse", im))
        return nullptr;
    if (dst.dtype != src.dtype || dst.c != src.c || sb.view().ndim != db.view().ndim) {
        PyErr_SetString(PyExc_ValueError, "dst must have the dtype and channels of src");
        return nullptr;
    }
    const double tile_work = static_cast<double>(kTileRows) * static_cast<double>(dst.w * dst.c) * 8.0;
    const bool done = in_bands((dst.h + kTileRows - 1) / kTileRows, tile_work, [&](index_t t0, index_t t1) {
        if (src.dtype == DType::U8)
            warp_tiles<unsigned char>(src, dst, im.data(), t0, t1);
        else
            warp_tiles<float>(src, dst, im.data(), t0, t1);
    });
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ paste-back

// The unchecked interior [i0, i1) of a frame row for packed float images of CN = 3 or
// 4 channels: a pixel's channels in the lanes of one vector, the same arithmetic as
// the per-channel code (bilinear_blend, then paste_value). A one-channel mask is
// sampled once and broadcast.
template <int CN>
__attribute__((target_clones("avx2", "default"))) void paste_interior(const View& frame, const View& crop,
                                                                     const View& mask, float* d, const RowPlan& r,
                                                                     index_t y, index_t i0, index_t i1,
                                                                     const double* im) {
    const float* f = frame.at<const float>(0, y, 0, 0);
    const float *c0 = crop.at<const float>(0, 0, 0, 0), *m0 = mask.at<const float>(0, 0, 0, 0);
    auto right = [](const float* q) {  // the right pixel's channels, read inside the two pixels
        if constexpr (CN == 4) return load4(q + 4);
        else return __builtin_shufflevector(load4(q + 2), load4(q + 2), 1, 2, 3, 3);
    };
    for (index_t x = i0; x < i1; ++x) {
        const double px = im[0] * x + r.bx, py = im[3] * x + r.by;
        const index_t ix = static_cast<index_t>(px), iy = static_cast<index_t>(py);  // >= 0: truncation is floor
        const float fx = static_cast<float>(px - static_cast<double>(ix)), fy = static_cast<float>(py - static_cast<double>(iy));
        const f32x4 vfx = f32x4{} + fx, vfy = f32x4{} + fy;
        const float* p = c0 + iy * crop.sy + ix * CN;
        const f32x4 c = rk::bilinear_blend(load4(p), right(p), load4(p + crop.sy), right(p + crop.sy), vfx, vfy);
        f32x4 m;
        if (mask.c == 1) {
            const float* q = m0 + iy * mask.sy + ix;
            m = f32x4{} + rk::bilinear_blend(q[0], q[1], q[mask.sy], q[mask.sy + 1], fx, fy);
        } else {
            const float* q = m0 + iy * mask.sy + ix * CN;
            m = rk::bilinear_blend(load4(q), right(q), load4(q + mask.sy), right(q + mask.sy), vfx, vfy);
        }
        const float* fp = f + x * CN;
        const f32x4 frame_px = CN == 4 ? load4(fp) : f32x4{fp[0], fp[1], fp[2], 0.0f};
        const f32x4 v = rk::paste_value(m, c, frame_px);
        if constexpr (CN == 4) store_lanes<4>(d + x * CN, v);
        else store_lanes<3>(d + x * CN, v);
    }
}

// Frame row y: outside the reach of the warp a copy of the frame row, inside it the
// crop and the mask sampled at one position each and blended over the frame.
void paste_row(const View& frame, const View& crop, const View& mask, const View& dst, const double* im,
               index_t y) {
    const index_t cn = frame.c;
    const RowPlan r = plan_row(im, y, dst.w, crop.w, crop.h);
    float* d = dst.at<float>(0, y, 0, 0);
    auto copy = [&](index_t from, index_t to) {
        if (from >= to) return;
        if (frame.packed_rows()) {
            std::memcpy(d + from * cn, frame.at<const float>(0, y, from, 0), sizeof(float) * (to - from) * cn);
            return;
        }
        for (index_t x = from; x < to; ++x)
            for (index_t c = 0; c < cn; ++c) d[x * cn + c] = *frame.at<const float>(0, y, x, c);
    };
    const float* crop0 = crop.at<const float>(0, 0, 0, 0);
    const float* mask0 = mask.at<const float>(0, 0, 0, 0);
    auto checked = [&](index_t from, index_t to) {
        for (index_t x = from; x < to; ++x) {
            const rk::BilinearPos b = rk::bilinear_position(im[0] * x + r.bx, im[3] * x + r.by, crop.w, crop.h);
            float m = 0.0f;
            for (index_t c = 0; c < cn; ++c) {
                if (c < mask.c)  // a one-channel mask serves every channel
                    m = b.any ? rk::bilinear_sample(mask0 + c * mask.sc, mask.sy, mask.sx, b, crop.w, crop.h) : 0.0f;
                const float v =
                    b.any ? rk::bilinear_sample(crop0 + c * crop.sc, crop.sy, crop.sx, b, crop.w, crop.h) : 0.0f;
                d[x * cn + c] = rk::paste_value(m, v, *frame.at<const float>(0, y, x, c));
            }
        }
    };
    copy(0, r.any.lo);
    checked(r.any.lo, r.inner.lo);
    const bool lanes = (cn == 3 || cn == 4) && frame.packed_rows() && crop.packed_rows() &&
                       (mask.c == 1 ? mask.sx == 1 : mask.packed_rows());
    if (lanes && cn == 3)
        paste_interior<3>(frame, crop, mask, d, r, y, r.inner.lo, r.inner.hi, im);
    else if (lanes)
        paste_interior<4>(frame, crop, mask, d, r, y, r.inner.lo, r.inner.hi, im);
    else
        checked(r.inner.lo, r.inner.hi);
    checked(r.inner.hi, r.any.hi);
    copy(r.any.hi, dst.w);
}

// paste_blend(frame, crop, mask, dst, inverse): float32 frame (H, W, C), crop (h, w, C),
// mask (h, w, 1 or C), dst C-contiguous like the frame; inverse maps frame to crop
// pixels (six finite numbers, row-major).
PyObject* py_paste_blend(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("paste_blend", nargs, 5)) return nullptr;
    pyglue::Buffer fb, cb, mb, db;
    View frame, crop, mask, dst;
    std::vector<double> im;
    if (!get_view(args[0], fb, frame, "frame", false, 2, 3) || !get_view(args[1], cb, crop, "crop", false, 2, 3) ||
        !get_view(args[2], mb, mask, "mask", false, 2, 3) || !get_view(args[3], db, dst, "dst", true, 2, 3) ||
        !get_floats(args[4], 6, "inverse", im))
        return nullptr;
    if (frame.dtype != DType::F32 || crop.dtype != DType::F32 || mask.dtype != DType::F32 || dst.dtype != DType::F32) {
        PyErr_SetString(PyExc_TypeError, "frame, crop, mask and dst must be float32");
        return nullptr;
    }
    if (!check_shape(dst, 1, frame.h, frame.w, frame.c, "dst") || !check_shape(crop, 1, crop.h, crop.w, frame.c, "crop") ||
        (mask.c != 1 && mask.c != frame.c) || mask.h != crop.h || mask.w != crop.w) {
        PyErr_SetString(PyExc_ValueError, "crop must have the frame's channels, mask the crop's size and 1 or those channels");
        return nullptr;
    }
    // A one-channel mask is read as channel 0 for every channel.
    const double row_work = static_cast<double>(frame.w * frame.c) * 4.0;
    const bool done = in_bands(frame.h, row_work, [&](index_t y0, index_t y1) {
        team_rows(y0, y1, (y1 - y0) * row_work > kParallelWork,
                  [&](index_t y, int) { paste_row(frame, crop, mask, dst, im.data(), y); });
    });
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ separable symmetric filters


// out[i] = w[0] centre[i] + sum over k = 1 .. taps of w[k] (centre[i - k step] +
// centre[i + k step]) for i < count: rk::filter_at's arithmetic in the same order, in
// vector lanes, with 32 outputs held in registers across all taps.
template <bool Avx2>
[[gnu::always_inline]] inline void filter_run_build(const float* centre, index_t step, const float* w, index_t taps,
                                                    index_t count, float* out) {
    using V = Floats<Avx2>;
    constexpr int lanes = sizeof(V) / sizeof(float), vectors = 32 / lanes;
    index_t i = 0;
    for (; i + 32 <= count; i += 32) {
        V acc[vectors];
        for (int j = 0; j < vectors; ++j) acc[j] = w[0] * load_any<V>(centre + i + lanes * j);
        for (index_t k = 1; k <= taps; ++k) {
            const float *a = centre + i - k * step, *b = centre + i + k * step;
            for (int j = 0; j < vectors; ++j) acc[j] += w[k] * (load_any<V>(a + lanes * j) + load_any<V>(b + lanes * j));
        }
        for (int j = 0; j < vectors; ++j) store_any(out + i + lanes * j, acc[j]);
    }
    for (; i < count; ++i) {
        float acc = w[0] * centre[i];
        for (index_t k = 1; k <= taps; ++k) acc += w[k] * (centre[i - k * step] + centre[i + k * step]);
        out[i] = acc;
    }
}

void filter_run(const float* centre, index_t step, const float* w, index_t taps, index_t count, float* out) {
    by_isa([&](auto avx2) __attribute__((always_inline)) {
        filter_run_build<decltype(avx2)::value>(centre, step, w, taps, count, out);
    });
}

// One axis of a symmetric filter: w[d] is the weight at distance d either side, and
// source[j + taps] the pixel that position j (-taps .. n + taps - 1) reads under the
// filter's border rule. Inactive axes are left alone.
struct FilterAxis {
    bool active = false;
    index_t taps = 0;
    std::vector<float> w;
    std::vector<index_t> source;

    template <class Border>
    void borders(index_t n, Border&& reflect) {
        source.resize(static_cast<size_t>(n + 2 * taps));
        for (index_t j = -taps; j < n + taps; ++j) source[static_cast<size_t>(j + taps)] = reflect(j, n);
    }
};

// Row blocks run the vertical pass in strips of a row whose source rows are first copied
// one after another into a window that the L1 cache holds while the block's outputs are
// made. In the image they lie a row's length apart, which for many widths (powers of two
// the worst) maps them onto a few cache sets where they evict each other.
constexpr index_t kFilterBlock = 32, kWindowFloats = 6144;

// The strip width for a filter of `taps` over rows of `row` floats: the widest multiple
// of 32 floats (one pass of filter_run's vector loop) whose window fits kWindowFloats,
// from 32 to 256, and no wider than the row.
index_t strip_width(index_t taps, index_t row) {
    return std::min(std::clamp<index_t>(kWindowFloats / (kFilterBlock + 2 * taps) / 32 * 32, 32, 256), row);
}

// The window a block's vertical pass needs, in floats.
index_t window_floats(index_t taps, index_t row) { return floats({{kFilterBlock + 2 * taps, strip_width(taps, row)}}); }

// The vertical pass of `axis` for output rows y0 .. y1 (at most kFilterBlock) and floats
// [f0, f1) of each row: out_row(y)[i] = w[0] row(y)[i] + sum over k of w[k] (row(y - k)[i]
// + row(y + k)[i]), where row(j) = source_row(axis.source[j + taps]) follows the axis's
// border rule. Source rows hold `row` floats.
template <class SourceRow, class OutRow>
void vertical_pass(const FilterAxis& axis, SourceRow&& source_row, OutRow&& out_row, index_t y0, index_t y1,
                   index_t f0, index_t f1, index_t row, float* window) {
    const index_t taps = axis.taps, strip = strip_width(taps, row), rows = y1 - y0 + 2 * taps;
    for (index_t s0 = f0; s0 < f1; s0 += strip) {
        const index_t n = std::min(strip, f1 - s0);
        for (index_t r = 0; r < rows; ++r) {
            const float* from = source_row(axis.source[static_cast<size_t>(y0 + r)]) + s0;
            float* to = window + r * strip;
            index_t i = 0;  // vector moves: a memcpy call per row cost a fifth of the pass
            for (; i + 8 <= n; i += 8)
                *reinterpret_cast<f32x8_any*>(to + i) = *reinterpret_cast<const f32x8_any*>(from + i);
            for (; i < n; ++i) to[i] = from[i];
        }
        for (index_t y = y0; y < y1; ++y)
            filter_run(window + (y - y0 + taps) * strip, strip, axis.w.data(), taps, n, out_row(y) + s0);
    }
}

// Rows y0 .. y1 of the filter: rows (source to dst), then columns and channels in place
// in dst; channels, an axis only SciPy's rules filter, with its reflect border.
// `scratch` holds the padded row and one pixel, `window` the vertical pass's.
void filter_block(const View& src, const View& dst, const FilterAxis* axes, index_t y0, index_t y1,
                  float* scratch, float* window) {
    const FilterAxis &ay = axes[0], &ax = axes[1], &ac = axes[2];
    const index_t cn = src.c, w = src.w, count = w * cn;
    if (ay.active) {
        vertical_pass(ay, [&](index_t r) { return src.at<const float>(0, r, 0, 0); },
                      [&](index_t y) { return dst.at<float>(0, y, 0, 0); }, y0, y1, 0, count, count, window);
    } else {
        for (index_t y = y0; y < y1; ++y)
            std::memcpy(dst.at<float>(0, y, 0, 0), src.at<const float>(0, y, 0, 0), sizeof(float) * count);
    }
    if (ax.active) {
        float* padded = scratch;
        float* centre = padded + ax.taps * cn;
        for (index_t y = y0; y < y1; ++y) {
            float* row = dst.at<float>(0, y, 0, 0);
            std::memcpy(centre, row, sizeof(float) * count);
            for (index_t p = 1; p <= ax.taps; ++p) {
                const index_t left = ax.source[static_cast<size_t>(ax.taps - p)] * cn;
                const index_t right = ax.source[static_cast<size_t>(ax.taps + w - 1 + p)] * cn;
                for (index_t c = 0; c < cn; ++c) {
                    centre[-p * cn + c] = row[left + c];
                    centre[(w - 1 + p) * cn + c] = row[right + c];
                }
            }
            filter_run(centre, cn, ax.w.data(), ax.taps, count, row);
        }
    }
    if (ac.active) {
        float* pixel = scratch + (w + 2 * ax.taps) * cn;
        for (index_t y = y0; y < y1; ++y)
            for (index_t x = 0; x < w; ++x) {
                float* p = dst.at<float>(0, y, x, 0);
                std::memcpy(pixel, p, sizeof(float) * cn);
                for (index_t c = 0; c < cn; ++c) p[c] = rk::filter_at(pixel, 1, cn, c, ac.w.data(), ac.taps);
            }
    }
}

// Runs filter_block over the image in bands (checking for Ctrl-C between them) on the
// thread team. src float32 with packed rows, dst C-contiguous of its shape.
bool run_filter(const View& src, const View& dst, const FilterAxis* axes) {
    Scratch scratch;
    const index_t row_floats = floats({{src.w + 2 * axes[1].taps, src.c}, {1, src.c}});
    if (!scratch.allocate(floats({{row_floats, 1}, {window_floats(axes[0].taps, src.w * src.c), 1}}))) return false;
    const double count = static_cast<double>(src.w * src.c);
    const double row_work = count * (2.0 * static_cast<double>(axes[0].taps + axes[1].taps) + 2.0) +
                            (axes[2].active ? count * 2.0 * static_cast<double>(axes[2].taps + 1) : 0.0);
    const index_t blocks = (src.h + kFilterBlock - 1) / kFilterBlock;
    return in_bands(blocks, row_work * kFilterBlock, [&](index_t b0, index_t b1) {
        const double work = row_work * static_cast<double>(std::min(src.h, b1 * kFilterBlock) - b0 * kFilterBlock);
        team_rows(b0, b1, work > kParallelWork, [&](index_t b, int slot) {
            filter_block(src, dst, axes, b * kFilterBlock, std::min(src.h, (b + 1) * kFilterBlock),
                         scratch.of(slot), scratch.of(slot) + row_floats);
        }, scratch.slots);
    });
}

// ------------------------------------------------------------------ Gaussian blur

// The blur kernel along an axis of n pixels. Reflect-101 borders repeat with period
// 2 (n - 1), so taps a period apart read the same pixel: a kernel reaching further than
// n - 1 either way folds into one of radius n - 1 whose weights are the sums of the taps
// on each pixel (those at distance n - 1, one pixel for both sides, split evenly between
// them: the folded kernel stays symmetric). The result is the same up to float
// rounding, and a huge kernel on a small image costs no more than the image.
std::vector<float> fold_kernel(const std::vector<float>& kernel, index_t n) {
    const index_t r = static_cast<index_t>(kernel.size()) / 2;
    if (r <= n - 1) return kernel;
    const index_t period = 2 * (n - 1);
    // By distance from the centre: the kernel is symmetric, so each side gets half.
    std::vector<double> sum(static_cast<size_t>(n), 0.0);
    for (index_t k = -r; k <= r; ++k) {
        index_t m = period > 0 ? k % period : 0;
        if (m < 0) m += period;
        sum[static_cast<size_t>(m < n ? m : period - m)] += kernel[static_cast<size_t>(k + r)];
    }
    std::vector<float> folded(static_cast<size_t>(2 * n - 1));
    for (index_t d = 0; d < n; ++d) {
        const double w = d == 0 ? sum[0] : sum[static_cast<size_t>(d)] / 2;
        folded[static_cast<size_t>(n - 1 + d)] = folded[static_cast<size_t>(n - 1 - d)] = static_cast<float>(w);
    }
    return folded;
}

// Separable blur with reflect-101 borders of rows y0 .. y1, per output row: the
// vertical taps ky into the middle of a padded row, the border mirrored into the
// padding, then the horizontal taps kx as a plain convolution over w * c floats.
template <class T>
void blur_rows(const View& src, const View& dst, const std::vector<float>& ky, const std::vector<float>& kx,
               index_t y0, index_t y1, Scratch& scratch) {
    const index_t cn = src.c, w = src.w, h = src.h;
    const index_t ry = static_cast<index_t>(ky.size()) / 2, rx = static_cast<index_t>(kx.size()) / 2;
    const index_t row_len = w * cn;
    const float *wy = ky.data(), *wx = kx.data();
    const double work = static_cast<double>((y1 - y0) * row_len) * static_cast<double>(ky.size() + kx.size());
    team_rows(y0, y1, work > kParallelWork, [&](index_t y, int slot) {
        float* padded = scratch.of(slot);
        float* row = padded + rx * cn;
        // The kernels are symmetric: mirrored taps share one multiply.
        accumulate_row<T>(src, 0, y, wy[ry], true, row);
        for (index_t k = 0; k < ry; ++k)
            accumulate_pair<T>(src, rk::reflect101(y + k - ry, h), rk::reflect101(y + ry - k, h), wy[k], row);
        for (index_t p = 1; p <= rx; ++p) {
            const index_t left = rk::reflect101(-p, w), right = rk::reflect101(w - 1 + p, w);
            for (index_t c = 0; c < cn; ++c) {
                row[-p * cn + c] = row[left * cn + c];
                row[(w - 1 + p) * cn + c] = row[right * cn + c];
            }
        }
        float* out = padded + (w + 2 * rx) * cn;
        for (index_t i = 0; i < row_len; ++i) out[i] = wx[rx] * row[i];
        for (index_t k = 0; k < rx; ++k) {
            const float wk = wx[k];
            const float *a = padded + k * cn, *b = padded + (2 * rx - k) * cn;
            for (index_t i = 0; i < row_len; ++i) out[i] += wk * (a[i] + b[i]);
        }
        T* d = dst.at<T>(0, y, 0, 0);
        for (index_t i = 0; i < row_len; ++i) rk::store(d + i, out[i]);
    }, scratch.slots);
}

// gaussian_blur(src, dst, ksize, sigma): ksize odd and positive; sigma <= 0 derives
// the spread from the size.
PyObject* py_gaussian_blur(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("gaussian_blur", nargs, 4)) return nullptr;
    pyglue::Buffer sb, db;
    View src, dst;
    index_t ksize;
    if (!get_view(args[0], sb, src, "src", false, 2, 3) || !get_view(args[1], db, dst, "dst", true, 2, 3) ||
        !get_index(args[2], 1, 1 << 24, "ksize", &ksize))
        return nullptr;
    const double sigma = PyFloat_AsDouble(args[3]);
    if (sigma == -1.0 && PyErr_Occurred()) return nullptr;
    if (ksize % 2 == 0 || !std::isfinite(sigma)) {
        PyErr_SetString(PyExc_ValueError, "ksize must be odd and sigma finite");
        return nullptr;
    }
    if (dst.dtype != src.dtype || !check_shape(dst, 1, src.h, src.w, src.c, "dst") ||
        sb.view().ndim != db.view().ndim) {
        PyErr_SetString(PyExc_ValueError, "dst must have the dtype and shape of src");
        return nullptr;
    }
    // Taps that are 0 in float are cut off, then the kernel folds per axis: a huge
    // ksize costs what its nonzero taps on this image cost.
    const int radius = rk::gaussian_radius(static_cast<int>(ksize), sigma);
    std::vector<float> kernel(static_cast<size_t>(2 * radius + 1));
    rk::gaussian_window(static_cast<int>(ksize), sigma, radius, kernel.data());
    const std::vector<float> ky = fold_kernel(kernel, src.h), kx = fold_kernel(kernel, src.w);
    if (src.dtype == DType::F32 && src.packed_rows()) {
        // Float images take the vectorised symmetric passes.
        FilterAxis axes[3];
        for (int a = 0; a < 2; ++a) {
            const std::vector<float>& k = a == 0 ? ky : kx;
            axes[a].active = true;
            axes[a].taps = static_cast<index_t>(k.size()) / 2;
            axes[a].w.assign(k.begin() + axes[a].taps, k.end());
            axes[a].borders(a == 0 ? src.h : src.w, rk::reflect101);
        }
        if (!run_filter(src, dst, axes)) return nullptr;
        Py_RETURN_NONE;
    }
    Scratch scratch;
    const index_t rx = static_cast<index_t>(kx.size()) / 2;
    if (!scratch.allocate(floats({{src.w, src.c}, {src.w, src.c}, {rx, src.c}, {rx, src.c}}))) return nullptr;
    const double row_work = static_cast<double>(src.w * src.c) * static_cast<double>(ky.size() + kx.size());
    const bool done = in_bands(src.h, row_work, [&](index_t y0, index_t y1) {
        if (src.dtype == DType::U8)
            blur_rows<unsigned char>(src, dst, ky, kx, y0, y1, scratch);
        else
            blur_rows<float>(src, dst, ky, kx, y0, y1, scratch);
    });
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// The largest Gaussian radius the entries take (the Python functions' limit too):
// summing a kernel's weights costs 4 radius + 2 exponentials with the GIL held, 0.4 s
// at this size, hours at the largest whole doubles.
constexpr index_t kMaxRadius = index_t{1} << 24;

// gaussian_filter(src, dst, sigmas, radii): float32 src with packed rows, dst C-contiguous
// of its shape; per axis (rows, columns, channels) a sigma and a radius up to kMaxRadius,
// a negative radius leaving the axis alone.
PyObject* py_gaussian_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("gaussian_filter", nargs, 4)) return nullptr;
    pyglue::Buffer sb, db;
    View src, dst;
    std::vector<double> sigmas, radii;
    if (!get_view(args[0], sb, src, "src", false, 2, 3) || !get_view(args[1], db, dst, "dst", true, 2, 3) ||
        !get_floats(args[2], 3, "sigmas", sigmas) || !get_floats(args[3], 3, "radii", radii))
        return nullptr;
    if (src.dtype != DType::F32 || dst.dtype != DType::F32 || !check_shape(dst, 1, src.h, src.w, src.c, "dst") ||
        sb.view().ndim != db.view().ndim) {
        PyErr_SetString(PyExc_ValueError, "src and dst must be float32 arrays of one shape");
        return nullptr;
    }
    if (!src.packed_rows()) {
        PyErr_SetString(PyExc_ValueError, "src rows must be packed (channel stride 1, pixel stride c)");
        return nullptr;
    }
    const index_t sizes[3] = {src.h, src.w, src.c};
    FilterAxis axes[3];
    for (int a = 0; a < 3; ++a) {
        const double radius = radii[static_cast<size_t>(a)], sigma = sigmas[static_cast<size_t>(a)];
        if (radius < 0) continue;
        if (!(sigma > 0.0 && radius == std::floor(radius) && radius <= static_cast<double>(kMaxRadius))) {
            PyErr_SetString(PyExc_ValueError,
                            "each axis needs a positive sigma and a whole radius up to 2**24, or radius -1");
            return nullptr;
        }
        FilterAxis& axis = axes[a];
        axis.active = true;
        axis.w.resize(static_cast<size_t>(std::min(static_cast<index_t>(radius), sizes[a])) + 1);
        axis.taps = rk::filter_taps(sigma, static_cast<index_t>(radius), sizes[a], axis.w.data());
        axis.borders(sizes[a], rk::reflect_half);
    }
    if (!run_filter(src, dst, axes)) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ mirror padding with a faded margin

float clip01(float v) { return v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v; }  // NaN stays NaN, as in np.clip

// One axis of a padded image: before + n_src + after positions, position j showing source
// pixel map[j] (NumPy's "reflect" padding), the margin's two fade weights by position, and
// the blur's taps over the padded axis: SciPy's reflect border there, composed with the
// map, so that the blur reads the source directly.
struct MarginAxis {
    index_t n = 0, keep_lo = 0, keep_hi = 0;  // [keep_lo, keep_hi): positions whose blur weight is 0
    std::vector<index_t> map;
    std::vector<float> to_blur, to_median;
    FilterAxis blur;

    void build(index_t before, index_t n_src, index_t after, double sigma, index_t radius) {
        n = before + n_src + after;
        map.resize(static_cast<size_t>(n));
        to_blur.resize(static_cast<size_t>(n));
        to_median.resize(static_cast<size_t>(n));
        for (index_t j = 0; j < n; ++j) {
            map[static_cast<size_t>(j)] = rk::reflect101(j - before, n_src);
            // 1 - min(j / before, (n - 1 - j) / after) in float32, a side without padding
            // left out (-inf with none): 1 on the outer edge, 0 a pad width in.
            float nearest = HUGE_VALF;
            if (before > 0) nearest = static_cast<float>(j) / static_cast<float>(before);
            if (after > 0)
                nearest = std::min(nearest, (static_cast<float>(n - 1) - static_cast<float>(j)) / static_cast<float>(after));
            const float ramp = 1.0f - nearest;
            to_blur[static_cast<size_t>(j)] = clip01(ramp * 3.0f + 1.0f);
            to_median[static_cast<size_t>(j)] = clip01(ramp);
        }
        // The ramp falls from either end towards the middle: the positions without blur
        // form one run there.
        keep_lo = 0;
        while (keep_lo < n && to_blur[static_cast<size_t>(keep_lo)] > 0.0f) ++keep_lo;
        keep_hi = n;
        while (keep_hi > keep_lo && to_blur[static_cast<size_t>(keep_hi - 1)] > 0.0f) --keep_hi;
        blur.active = true;
        blur.w.resize(static_cast<size_t>(std::min(radius, n)) + 1);
        blur.taps = rk::filter_taps(sigma, radius, n, blur.w.data());
        blur.borders(n, [&](index_t j, index_t len) { return map[static_cast<size_t>(rk::reflect_half(j, len))]; });
    }
    // The source pixels that the blur of positions [lo, hi) reads: one run, as the
    // composed border steps by at most one pixel.
    std::pair<index_t, index_t> reads(index_t lo, index_t hi) const {
        const auto [a, b] = std::minmax_element(blur.source.begin() + lo, blur.source.begin() + hi + 2 * blur.taps);
        return {*a, *b + 1};
    }
    // The runs of positions the blur must fill on a line whose own weight is `across`.
    int blurred_runs(float across, std::pair<index_t, index_t>* runs) const {
        if (across > 0.0f || keep_lo == keep_hi) {
            runs[0] = {0, n};
            return 1;
        }
        int count = 0;
        if (keep_lo > 0) runs[count++] = {0, keep_lo};
        if (keep_hi < n) runs[count++] = {keep_hi, n};
        return count;
    }
};

// The padded image's rows and columns, and the columns' weights per value of a row.
struct Margin {
    const View &src, &dst;
    index_t cn;
    MarginAxis rows, cols;
    std::vector<float> to_blur, to_median;

    Margin(const View& s, const View& d, const index_t pad[4], double sigma, index_t radius)
        : src(s), dst(d), cn(s.c) {
        rows.build(pad[0], src.h, pad[1], sigma, radius);
        cols.build(pad[2], src.w, pad[3], sigma, radius);
        to_blur.resize(static_cast<size_t>(cols.n * cn));
        to_median.resize(static_cast<size_t>(cols.n * cn));
        for (index_t i = 0; i < cols.n * cn; ++i) {
            to_blur[static_cast<size_t>(i)] = cols.to_blur[static_cast<size_t>(i / cn)];
            to_median[static_cast<size_t>(i)] = cols.to_median[static_cast<size_t>(i / cn)];
        }
    }
};

// out[x] = pixel map[x] of `in`, for n pixels of cn floats.
void gather_pixels(float* out, const float* in, const index_t* map, index_t n, index_t cn) {
    auto copy = [&](auto channels) {
        constexpr index_t k = decltype(channels)::value;
        for (index_t x = 0; x < n; ++x) std::memcpy(out + x * k, in + map[x] * k, sizeof(float) * k);
    };
    switch (cn) {
        case 1: copy(std::integral_constant<index_t, 1>{}); break;
        case 3: copy(std::integral_constant<index_t, 3>{}); break;
        case 4: copy(std::integral_constant<index_t, 4>{}); break;
        default:
            for (index_t x = 0; x < n; ++x) std::memcpy(out + x * cn, in + map[x] * cn, sizeof(float) * cn);
    }
}

// row[i] = row[i] + (blurred[i] - row[i]) * max(across, weight[i]) for i < count.
__attribute__((target_clones("avx2", "default"))) void fade_to_blur(float* row, const float* blurred,
                                                                   const float* weight, float across,
                                                                   index_t count) {
    for (index_t i = 0; i < count; ++i) row[i] = row[i] + (blurred[i] - row[i]) * std::max(across, weight[i]);
}

// Whether any of the count values is infinite or NaN.
__attribute__((target_clones("avx2", "default"))) bool any_nonfinite(const float* values, index_t count) {
    uint32_t all = 0;
    for (index_t i = 0; i < count; ++i) {
        uint32_t bits;
        std::memcpy(&bits, values + i, sizeof bits);
        all |= (bits & 0x7f800000u) == 0x7f800000u;
    }
    return all != 0;
}

// Rows y0 .. y1 of the first fade, into dst: v = p + (blur - p) * w with p the padded
// image and w = max(row's to_blur, column's to_blur); where w is 0, v = p (the two differ
// at most in the sign of a zero, or where p is not finite, which makes the whole channel's
// median and so its result NaN anyway). The blur runs only where w is not 0, the vertical
// pass on source columns (padding only repeats and reorders them) into the dst rows as
// scratch, the horizontal one on a mirrored row of `scratch`, then into its second half.
// Counts the values that are not finite per channel in `nonfinite`.
void fade_block(const Margin& m, index_t y0, index_t y1, float* scratch, float* window, index_t* nonfinite) {
    const MarginAxis &ay = m.rows, &ax = m.cols;
    const index_t cn = m.cn, tx = ax.blur.taps;
    std::pair<index_t, index_t> runs[2], reads[2];
    bool any_whole = false;
    for (index_t y = y0; y < y1; ++y) any_whole |= ay.to_blur[static_cast<size_t>(y)] > 0.0f;
    // Source columns the vertical pass fills: those the block's blurred runs read.
    int read_count = ax.blurred_runs(any_whole ? 1.0f : 0.0f, runs);
    for (int r = 0; r < read_count; ++r) reads[r] = ax.reads(runs[r].first, runs[r].second);
    if (read_count == 2 && reads[0].second >= reads[1].first) {
        reads[0] = {std::min(reads[0].first, reads[1].first), std::max(reads[0].second, reads[1].second)};
        read_count = 1;
    }
    for (int r = 0; r < read_count; ++r)
        vertical_pass(ay.blur, [&](index_t row) { return m.src.at<const float>(0, row, 0, 0); },
                      [&](index_t y) { return m.dst.at<float>(0, y, 0, 0); }, y0, y1, reads[r].first * cn,
                      reads[r].second * cn, m.src.w * cn, window);

    float* padded = scratch;                      // positions -tx .. n + tx of the vertical pass
    float* blurred = scratch + (ax.n + 2 * tx) * cn;  // positions 0 .. n
    for (index_t y = y0; y < y1; ++y) {
        float* row = m.dst.at<float>(0, y, 0, 0);
        const float row_weight = ay.to_blur[static_cast<size_t>(y)];
        const int count = ax.blurred_runs(row_weight, runs);
        for (int r = 0; r < count; ++r)
            gather_pixels(padded + runs[r].first * cn, row, ax.blur.source.data() + runs[r].first,
                          runs[r].second - runs[r].first + 2 * tx, cn);
        for (int r = 0; r < count; ++r) {
            filter_run(padded + (runs[r].first + tx) * cn, cn, ax.blur.w.data(), tx,
                       (runs[r].second - runs[r].first) * cn, blurred + runs[r].first * cn);
        }
        // The padded row, faded where the blur ran.
        gather_pixels(row, m.src.at<const float>(0, ay.map[static_cast<size_t>(y)], 0, 0), ax.map.data(), ax.n, cn);
        for (int r = 0; r < count; ++r) {
            const index_t at = runs[r].first * cn;
            fade_to_blur(row + at, blurred + at, m.to_blur.data() + at, row_weight, (runs[r].second - runs[r].first) * cn);
        }
        if (any_nonfinite(row, ax.n * cn))
            for (index_t i = 0; i < ax.n * cn; ++i) nonfinite[i % cn] += !std::isfinite(row[i]);
    }
}

// row[i] = clip(row[i] + (median[i] - row[i]) * max(across, weight[i]), 0, 1) for i < count.
__attribute__((target_clones("avx2", "default"))) void fade_to_median(float* row, const float* weight,
                                                                     const float* median, float across,
                                                                     index_t count) {
    for (index_t i = 0; i < count; ++i) row[i] = clip01(row[i] + (median[i] - row[i]) * std::max(across, weight[i]));
}

// One row of the median search, count values of cn channels: under[i] counts the values
// at i below lo[i]; inside[c] counts those of channel c within [lo, hi], and each is
// written to keep[c][at[c]++] while at[c] < room (where keep[c] is not null). Few are
// inside: the counting runs in vector lanes, the rest only on short runs holding some.
__attribute__((target_clones("avx2", "default"))) void bracket_row(const float* row, const float* lo,
                                                                  const float* hi, int32_t* under, index_t count,
                                                                  index_t cn, index_t* inside, float* const* keep,
                                                                  index_t* at, index_t room) {
    constexpr index_t kRun = 16;
    for (index_t i0 = 0; i0 < count; i0 += kRun) {
        const index_t i1 = std::min(count, i0 + kRun);
        int any = 0;
        for (index_t i = i0; i < i1; ++i) {
            under[i] += row[i] < lo[i];
            any |= (row[i] >= lo[i]) & (row[i] <= hi[i]);
        }
        if (!any) continue;
        for (index_t i = i0, c = i0 % cn; i < i1; ++i, c = c + 1 == cn ? 0 : c + 1)
            if (row[i] >= lo[i] && row[i] <= hi[i]) {
                ++inside[c];
                if (keep[c] && at[c] < room) keep[c][at[c]] = row[i];
                ++at[c];
            }
    }
}

// Per channel the median of dst's values as NumPy takes it (the mean of the two middle
// values for an even count), NaN for a channel with values that are not finite. A
// sample of each channel brackets the middle ranks; one pass counts the values below the
// bracket and inside it, keeping those inside in room set aside per thread, among which
// a selection finds the middle. A bracket that missed opens on its failing side and the
// pass runs again; values inside that overflowed their room (ties at the middle, a
// bracket opened) take a second pass that copies each row's to its place, known from the
// first pass's counts. Nothing is allocated while the team runs.
bool channel_medians(const View& dst, const std::vector<index_t>& nonfinite, std::vector<float>& medians) {
    const index_t cn = dst.c, count = dst.w * cn, n = dst.h * dst.w;
    const index_t hi_rank = n / 2, lo_rank = n % 2 ? hi_rank : hi_rank - 1;
    const float* values = dst.at<const float>(0, 0, 0, 0);
    // Bounds per value of a row; a channel found (or NaN) has an empty bracket.
    std::vector<float> lo(static_cast<size_t>(count), HUGE_VALF), hi(static_cast<size_t>(count), -HUGE_VALF);
    auto bracket = [&](index_t c, float low, float high) {
        for (index_t i = c; i < count; i += cn) lo[static_cast<size_t>(i)] = low, hi[static_cast<size_t>(i)] = high;
    };
    std::vector<index_t> open;  // channels still to find
    index_t expected = 0;       // values inside a bracket, as the sample has it
    for (index_t c = 0; c < cn; ++c) {
        if (nonfinite[static_cast<size_t>(c)]) {
            medians[static_cast<size_t>(c)] = NAN;
            continue;
        }
        open.push_back(c);
        // Drawn at random (a fixed xorshift sequence): a regular grid can beat with the
        // image's own pattern. The middle of the image lies within sqrt(s) / 2 ranks of
        // the sample's middle two times in three, so a bracket four times wider misses
        // about once in ten thousand images.
        const index_t s = std::min<index_t>(n, 32768), margin = 2 * static_cast<index_t>(std::sqrt(s)) + 8;
        std::vector<float> sample(static_cast<size_t>(s));
        uint64_t state = 0x9E3779B97F4A7C15u;
        for (index_t i = 0; i < s; ++i) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            sample[static_cast<size_t>(i)] = values[static_cast<index_t>(state % static_cast<uint64_t>(n)) * cn + c];
        }
        const auto low = sample.begin() + std::max<index_t>(0, lo_rank * s / n - margin);
        const auto high = sample.begin() + std::min(s - 1, hi_rank * s / n + margin);
        std::nth_element(sample.begin(), low, sample.end());
        const float low_value = *low;  // the next selection reorders from `low` on
        std::nth_element(low, high, sample.end());
        bracket(c, low_value, *high);
        expected = std::max(expected, (high - low + 1) * n / s);
    }
    const int slots = team_size();
    // Room for half as many again as expected in every thread: rows go to whichever
    // thread is free, so one may take them all.
    const index_t room = expected + expected / 2 + 1024;
    std::vector<float> pool(static_cast<size_t>(slots * cn * room));
    std::vector<float*> slot_keep(static_cast<size_t>(slots * cn));
    std::vector<int32_t> under(static_cast<size_t>(slots * count));  // at most one a row: dst.h < 2^31
    std::vector<index_t> inside(static_cast<size_t>(dst.h * cn));    // per row and channel
    std::vector<index_t> at(static_cast<size_t>(slots * cn)), ignored(static_cast<size_t>(slots * cn));
    std::vector<float*> keep(static_cast<size_t>(cn));
    const double row_work = static_cast<double>(count) * 3.0;
    auto per_slot = [&](auto& v, int slot) { return v.data() + static_cast<size_t>(slot) * static_cast<size_t>(cn); };
    auto run = [&](auto&& row_body) {
        return in_bands(dst.h, row_work, [&](index_t y0, index_t y1) {
            team_rows(y0, y1, (y1 - y0) * row_work > kParallelWork, row_body, slots);
        });
    };
    while (!open.empty()) {
        // The first pass: counts, and the values inside into each thread's room.
        std::fill(under.begin(), under.end(), 0);
        std::fill(inside.begin(), inside.end(), 0);
        std::fill(at.begin(), at.end(), 0);
        for (int slot = 0; slot < slots; ++slot)
            for (index_t c = 0; c < cn; ++c)
                slot_keep[static_cast<size_t>(slot * cn + c)] =
                    pool.data() + static_cast<size_t>((slot * cn + c) * room);
        bool done = run([&](index_t y, int slot) {
            bracket_row(dst.at<const float>(0, y, 0, 0), lo.data(), hi.data(),
                        under.data() + static_cast<size_t>(slot) * static_cast<size_t>(count), count, cn,
                        inside.data() + y * cn, per_slot(slot_keep, slot), per_slot(at, slot), room);
        });
        if (!done) return false;
        std::vector<index_t> missed, overflowed, below(static_cast<size_t>(cn));
        std::vector<std::vector<float>> kept(static_cast<size_t>(cn));
        std::fill(keep.begin(), keep.end(), nullptr);
        for (index_t c : open) {
            const float low = lo[static_cast<size_t>(c)], high = hi[static_cast<size_t>(c)];
            index_t& under_c = below[static_cast<size_t>(c)];
            for (int slot = 0; slot < slots; ++slot)
                for (index_t i = c; i < count; i += cn) under_c += under[static_cast<size_t>(slot * count + i)];
            index_t total = 0;  // each row's count becomes its place in the channel's array
            for (index_t y = 0; y < dst.h; ++y) {
                index_t& row = inside[static_cast<size_t>(y * cn + c)];
                const index_t row_count = row;
                row = total;
                total += row_count;
            }
            if (lo_rank < under_c || hi_rank >= under_c + total) {
                bracket(c, lo_rank < under_c ? -HUGE_VALF : low, hi_rank >= under_c + total ? HUGE_VALF : high);
                missed.push_back(c);
                continue;
            }
            std::vector<float>& middle = kept[static_cast<size_t>(c)];
            if (low == high) {  // the middle values are the bracket's one value
                medians[static_cast<size_t>(c)] = lo_rank != hi_rank ? (low + high) / 2.0f : low;
                continue;
            }
            middle.reserve(static_cast<size_t>(total));
            bool fits = true;
            for (int slot = 0; slot < slots; ++slot) {
                const index_t got = at[static_cast<size_t>(slot * cn + c)];
                fits &= got <= room;
                const float* part = slot_keep[static_cast<size_t>(slot * cn + c)];
                middle.insert(middle.end(), part, part + std::min(got, room));
            }
            if (!fits) {
                middle.assign(static_cast<size_t>(total), 0.0f);
                keep[static_cast<size_t>(c)] = middle.data();
                overflowed.push_back(c);
            }
        }
        if (!overflowed.empty()) {
            // The second pass: each row's values inside to its place.
            done = run([&](index_t y, int slot) {
                index_t* place = per_slot(at, slot);
                for (index_t c = 0; c < cn; ++c) place[c] = inside[static_cast<size_t>(y * cn + c)];
                bracket_row(dst.at<const float>(0, y, 0, 0), lo.data(), hi.data(),
                            under.data() + static_cast<size_t>(slot) * static_cast<size_t>(count), count, cn,
                            per_slot(ignored, slot), keep.data(), place, std::numeric_limits<index_t>::max());
            });
            if (!done) return false;
        }
        for (index_t c : open) {
            std::vector<float>& middle = kept[static_cast<size_t>(c)];
            if (middle.empty()) continue;  // missed, or found without a selection
            const auto upper = middle.begin() + (hi_rank - below[static_cast<size_t>(c)]);
            std::nth_element(middle.begin(), upper, middle.end());
            float median = *upper;
            if (lo_rank != hi_rank) median = (*std::max_element(middle.begin(), upper) + median) / 2.0f;
            medians[static_cast<size_t>(c)] = median;
        }
        for (index_t c : open)
            if (std::find(missed.begin(), missed.end(), c) == missed.end()) bracket(c, HUGE_VALF, -HUGE_VALF);
        open.swap(missed);
    }
    return true;
}

// reflect_pad_fade(src, dst, pads, sigma, radius): src float32 (H, W) or (H, W, C) with
// packed rows, dst C-contiguous (H + top + bottom, W + left + right, C); pads (top,
// bottom, left, right); the blur's sigma and radius (radius 0: no blur).
PyObject* py_reflect_pad_fade(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("reflect_pad_fade", nargs, 5)) return nullptr;
    pyglue::Buffer sb, db;
    View src, dst;
    std::vector<double> pads;
    index_t radius;
    if (!get_view(args[0], sb, src, "src", false, 2, 3) || !get_view(args[1], db, dst, "dst", true, 2, 3) ||
        !get_floats(args[2], 4, "pads", pads) || !get_index(args[4], 0, kMaxRadius, "radius", &radius))
        return nullptr;
    const double sigma = PyFloat_AsDouble(args[3]);
    if (sigma == -1.0 && PyErr_Occurred()) return nullptr;
    if (!(sigma > 0.0 && std::isfinite(sigma))) {
        PyErr_SetString(PyExc_ValueError, "sigma must be positive and finite");
        return nullptr;
    }
    index_t pad[4];
    for (int i = 0; i < 4; ++i) {
        const double p = pads[static_cast<size_t>(i)];
        if (!(p >= 0.0 && p <= 1e9 && p == std::floor(p))) {
            PyErr_SetString(PyExc_ValueError, "pads must be whole numbers from 0 to 1e9");
            return nullptr;
        }
        pad[i] = static_cast<index_t>(p);
    }
    if (src.dtype != DType::F32 || dst.dtype != DType::F32 || sb.view().ndim != db.view().ndim) {
        PyErr_SetString(PyExc_ValueError, "src and dst must be float32 arrays of one layout");
        return nullptr;
    }
    if (!src.packed_rows()) {
        PyErr_SetString(PyExc_ValueError, "src rows must be packed (channel stride 1, pixel stride c)");
        return nullptr;
    }
    if (!check_shape(dst, 1, src.h + pad[0] + pad[1], src.w + pad[2] + pad[3], src.c, "dst")) return nullptr;
    if (dst.h >= (index_t{1} << 31)) {  // the median's counts per value of a row are 32-bit
        PyErr_SetString(PyExc_ValueError, "the padded image has too many rows (2**31 or more)");
        return nullptr;
    }

    const Margin m(src, dst, pad, sigma, radius);
    const index_t cn = src.c, ty = m.rows.blur.taps, tx = m.cols.blur.taps;
    Scratch scratch;
    const index_t row_floats = floats({{dst.w + 2 * tx, cn}, {dst.w, cn}});
    if (!scratch.allocate(floats({{row_floats, 1}, {window_floats(ty, src.w * cn), 1}}))) return nullptr;
    std::vector<index_t> counts(static_cast<size_t>(scratch.slots * cn)), nonfinite(static_cast<size_t>(cn));

    // The first fade, in blocks of rows that share the vertical pass's source rows.
    const double row_work = static_cast<double>(dst.w * cn) * (2.0 * static_cast<double>(ty + tx) + 4.0);
    const index_t blocks = (dst.h + kFilterBlock - 1) / kFilterBlock;
    bool done = in_bands(blocks, row_work * kFilterBlock, [&](index_t b0, index_t b1) {
        const double work = row_work * static_cast<double>(std::min(dst.h, b1 * kFilterBlock) - b0 * kFilterBlock);
        team_rows(b0, b1, work > kParallelWork, [&](index_t b, int slot) {
            fade_block(m, b * kFilterBlock, std::min(dst.h, (b + 1) * kFilterBlock), scratch.of(slot),
                       scratch.of(slot) + row_floats, counts.data() + slot * cn);
        }, scratch.slots);
    });
    if (!done) return nullptr;
    for (int slot = 0; slot < scratch.slots; ++slot)
        for (index_t c = 0; c < cn; ++c) nonfinite[static_cast<size_t>(c)] += counts[static_cast<size_t>(slot * cn + c)];

    std::vector<float> medians(static_cast<size_t>(cn));
    if (!channel_medians(dst, nonfinite, medians)) return nullptr;

    // The second fade: clip(v + (median - v) * max(row's to_median, column's), 0, 1).
    std::vector<float> median_at(static_cast<size_t>(dst.w * cn));
    for (index_t i = 0; i < dst.w * cn; ++i) median_at[static_cast<size_t>(i)] = medians[static_cast<size_t>(i % cn)];
    const double final_work = static_cast<double>(dst.w * cn) * 4.0;
    done = in_bands(dst.h, final_work, [&](index_t y0, index_t y1) {
        team_rows(y0, y1, (y1 - y0) * final_work > kParallelWork, [&](index_t y, int) {
            fade_to_median(dst.at<float>(0, y, 0, 0), m.to_median.data(), median_at.data(),
                           m.rows.to_median[static_cast<size_t>(y)], dst.w * cn);
        });
    });
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ unit floats

// d[i] = s[i] / 255 in float32 for i < count, as NumPy divides.
__attribute__((target_clones("avx2", "default"))) void unit_run(const unsigned char* s, float* d, index_t count) {
    for (index_t i = 0; i < count; ++i) d[i] = rk::to_unit(s[i]);
}

// to_float32(src, dst): uint8 src (H, W) or (H, W, C) of any strides, dst float32
// C-contiguous of its shape: dst = src / 255.
PyObject* py_to_float32(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("to_float32", nargs, 2)) return nullptr;
    pyglue::Buffer sb, db;
    View src, dst;
    if (!get_view(args[0], sb, src, "src", false, 2, 3) || !get_view(args[1], db, dst, "dst", true, 2, 3)) return nullptr;
    if (src.dtype != DType::U8 || dst.dtype != DType::F32 || sb.view().ndim != db.view().ndim) {
        PyErr_SetString(PyExc_ValueError, "src must be uint8 and dst float32 of its layout");
        return nullptr;
    }
    if (!check_shape(dst, 1, src.h, src.w, src.c, "dst")) return nullptr;
    const index_t count = src.w * src.c;
    const double row_work = static_cast<double>(count);
    const bool done = in_bands(src.h, row_work, [&](index_t y0, index_t y1) {
        team_rows(y0, y1, (y1 - y0) * row_work > kParallelWork, [&](index_t y, int) {
            float* d = dst.at<float>(0, y, 0, 0);
            if (src.packed_rows()) {
                unit_run(src.at<const unsigned char>(0, y, 0, 0), d, count);
                return;
            }
            for (index_t x = 0; x < src.w; ++x)
                for (index_t c = 0; c < src.c; ++c) d[x * src.c + c] = rk::to_unit(*src.at<const unsigned char>(0, y, x, c));
        });
    });
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ batch conversion

// Per network channel: the source channel it comes from and its normalisation.
struct Normalise {
    std::vector<index_t> source;
    std::vector<float> mean, inv_std;
};

// Writes one output row of image i: plane[k][y][x] = (unit(pixel[source[k]]) - mean[k]) / std[k].
template <class Load>
void emit_planes(const Normalise& nz, float* image_out, index_t plane, index_t y, index_t w, index_t cn,
                 Load&& value) {
    for (index_t k = 0; k < cn; ++k) {
        float* o = image_out + k * plane + y * w;
        const index_t s = nz.source[static_cast<size_t>(k)];
        const float m = nz.mean[static_cast<size_t>(k)], is = nz.inv_std[static_cast<size_t>(k)];
        for (index_t x = 0; x < w; ++x) o[x] = (value(x, s) - m) * is;
    }
}

// Output row y of one batch entry: straight from the source when the size matches,
// else through the resampling tables.
template <class T>
void batch_row(const View& src, float* image_out, index_t out_h, index_t out_w, const Normalise& nz,
               const AxisTable* tx, const AxisTable* ty, float* scratch, index_t y) {
    const index_t cn = src.c, plane = out_h * out_w;
    if (!tx) {
        const T* row = src.at<const T>(0, y, 0, 0);
        emit_planes(nz, image_out, plane, y, out_w, cn,
                    [&](index_t x, index_t c) { return rk::to_unit(row[x * src.sx + c * src.sc]); });
        return;
    }
    const float* out = resample_row<T>(src, 0, *tx, *ty, out_w, y, scratch);
    const T* kind = nullptr;
    emit_planes(nz, image_out, plane, y, out_w, cn,
                [&](index_t x, index_t c) { return rk::resampled_to_unit(out[x * cn + c], kind); });
}

// images_to_batch(images, dst, mean, std, swap_rb): images a list of h x w x c arrays,
// dst (n, c, H, W) float32 contiguous; mean and std per network channel.
PyObject* py_images_to_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("images_to_batch", nargs, 5)) return nullptr;
    if (!PyList_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "images must be a list");
        return nullptr;
    }
    Ref images = Ref::steal(PyList_AsTuple(args[0]));  // immune to list changes while we run
    if (!images) return nullptr;
    const index_t count = PyTuple_GET_SIZE(images.get());
    pyglue::Buffer db;
    View dst;
    if (!get_view(args[1], db, dst, "dst", true, 4, 4)) return nullptr;
    // dst is (n, c, H, W): as a View that reads n, h=c, w=H, c=W.
    const index_t cn = dst.h, out_h = dst.w, out_w = dst.c;
    if (dst.dtype != DType::F32 || dst.n != count) {
        PyErr_SetString(PyExc_ValueError, "dst must be float32 with one entry per image");
        return nullptr;
    }
    std::vector<double> mean, stdv;
    const int swap_rb = PyObject_IsTrue(args[4]);
    if (swap_rb < 0 || !get_floats(args[2], cn, "mean", mean) || !get_floats(args[3], cn, "std", stdv))
        return nullptr;
    Normalise nz;
    nz.mean.resize(static_cast<size_t>(cn));
    nz.inv_std.resize(static_cast<size_t>(cn));
    for (index_t k = 0; k < cn; ++k) {
        const size_t i = static_cast<size_t>(k);
        if (stdv[i] == 0.0) {
            PyErr_SetString(PyExc_ValueError, "std must not be 0");
            return nullptr;
        }
        // std itself must fit too: beyond float32's range 1 / std would vanish.
        float std32;
        if (!to_float32(mean[i], "mean", &nz.mean[i]) || !to_float32(stdv[i], "std", &std32) ||
            !to_float32(1.0 / stdv[i], "1 / std", &nz.inv_std[i]))
            return nullptr;
        index_t s = k;
        if (swap_rb && cn >= 3 && (k == 0 || k == 2)) s = 2 - k;
        nz.source.push_back(s);
    }
    std::vector<pyglue::Buffer> bufs(static_cast<size_t>(count));
    std::vector<View> views(static_cast<size_t>(count));
    std::vector<AxisTable> tables(static_cast<size_t>(2 * count));
    index_t scratch_floats = 0;
    for (index_t i = 0; i < count; ++i) {
        View& v = views[static_cast<size_t>(i)];
        if (!get_view(PyTuple_GET_ITEM(images.get(), i), bufs[static_cast<size_t>(i)], v, "image", false, 2, 3))
            return nullptr;
        if (v.c != cn) {
            PyErr_Format(PyExc_ValueError, "image %lld has %lld channels, expected %lld", i, v.c, cn);
            return nullptr;
        }
        if (v.h != out_h || v.w != out_w) {
            if (!tables[static_cast<size_t>(2 * i)].build(rk::LINEAR, out_w, v.w) ||
                !tables[static_cast<size_t>(2 * i + 1)].build(rk::LINEAR, out_h, v.h))
                return nullptr;
            scratch_floats = std::max(scratch_floats, floats({{v.w, cn}, {out_w, cn}}));
        }
    }
    // The buffers keep the images alive. Dropped here with the GIL held, rather than by
    // the unwind that ends this thread if the interpreter exits meanwhile: freeing a
    // tuple needs a thread state.
    images = Ref();
    Scratch scratch;
    if (!scratch.allocate(scratch_floats)) return nullptr;
    float* out = reinterpret_cast<float*>(dst.data);
    const index_t per_image = cn * out_h * out_w;
    const index_t rows = count * out_h;
    // Resampled entries cost a few taps per element, and two source rows.
    const double row_work = static_cast<double>(out_w * cn) * (scratch_floats > 0 ? 4.0 : 1.0) +
                            2.0 * static_cast<double>(scratch_floats);
    const bool parallel = static_cast<double>(rows) * row_work > static_cast<double>(kParallelConversion);
    const bool done = in_bands(rows, row_work, [&](index_t r0, index_t r1) {
        // All (image, row) pairs in one loop: balances one large image and many small ones.
        team_rows(r0, r1, parallel, [&](index_t r, int slot) {
            const index_t i = r / out_h, y = r % out_h;
            const View& v = views[static_cast<size_t>(i)];
            const bool resize = v.h != out_h || v.w != out_w;
            const AxisTable* tx = resize ? &tables[static_cast<size_t>(2 * i)] : nullptr;
            const AxisTable* ty = resize ? &tables[static_cast<size_t>(2 * i + 1)] : nullptr;
            float* image_out = out + i * per_image;
            if (v.dtype == DType::U8)
                batch_row<unsigned char>(v, image_out, out_h, out_w, nz, tx, ty, scratch.of(slot), y);
            else
                batch_row<float>(v, image_out, out_h, out_w, nz, tx, ty, scratch.of(slot), y);
        }, scratch.slots);
    });
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// batch_to_images(batch, dst, mean, std, swap_rb): batch an (n, h, w, c) float32 view
// (the caller transposes NCHW), dst (n, h, w, c) contiguous;
// dst[..., c] = batch[..., source(c)] * std[source(c)] + mean[source(c)].
PyObject* py_batch_to_images(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("batch_to_images", nargs, 5)) return nullptr;
    pyglue::Buffer sb, db;
    View src, dst;
    if (!get_view(args[0], sb, src, "batch", false, 4, 4) || !get_view(args[1], db, dst, "dst", true, 4, 4))
        return nullptr;
    if (src.dtype != DType::F32 || dst.dtype != DType::F32) {
        PyErr_SetString(PyExc_TypeError, "batch and dst must be float32");
        return nullptr;
    }
    if (!check_shape(dst, src.n, src.h, src.w, src.c, "dst")) return nullptr;
    const index_t cn = src.c;
    std::vector<double> mean, stdv;
    const int swap_rb = PyObject_IsTrue(args[4]);
    if (swap_rb < 0 || !get_floats(args[2], cn, "mean", mean) || !get_floats(args[3], cn, "std", stdv))
        return nullptr;
    std::vector<index_t> source(static_cast<size_t>(cn));
    std::vector<float> scale(static_cast<size_t>(cn)), shift(static_cast<size_t>(cn));
    for (index_t c = 0; c < cn; ++c) {
        const index_t s = swap_rb && cn >= 3 && (c == 0 || c == 2) ? 2 - c : c;
        source[static_cast<size_t>(c)] = s;
        if (!to_float32(stdv[static_cast<size_t>(s)], "std", &scale[static_cast<size_t>(c)]) ||
            !to_float32(mean[static_cast<size_t>(s)], "mean", &shift[static_cast<size_t>(c)]))
            return nullptr;
    }
    const index_t rows = src.n * src.h;
    const bool parallel = rows * src.w * cn > kParallelConversion;
    const bool done = in_bands(rows, static_cast<double>(src.w * cn), [&](index_t r0, index_t r1) {
        team_rows(r0, r1, parallel, [&](index_t r, int) {
            const index_t i = r / src.h, y = r % src.h;
            float* d = dst.at<float>(i, y, 0, 0);
            for (index_t c = 0; c < cn; ++c) {
                const float* p = src.at<const float>(i, y, 0, source[static_cast<size_t>(c)]);
                const float a = scale[static_cast<size_t>(c)], b = shift[static_cast<size_t>(c)];
                for (index_t x = 0; x < src.w; ++x) d[x * cn + c] = p[x * src.sx] * a + b;
            }
        });
    });
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ class masks

// A 1-D int64 array (a class table column) as a pointer and a length.
bool get_table(PyObject* obj, pyglue::Buffer& buf, const char* name, const long long** data, index_t* size) {
    if (!buf.acquire(obj, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& b = buf.view();
    const char* f = b.format ? b.format : "B";
    if (*f == '@' || *f == '=' || *f == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? '<' : '>')) ++f;
    if (b.itemsize != 8 || (f[0] != 'q' && f[0] != 'l') || f[1] != '\0' || b.ndim != 1 ||
        b.strides[0] != 8 || reinterpret_cast<std::uintptr_t>(b.buf) % 8 != 0) {
        PyErr_Format(PyExc_TypeError, "%s must be a contiguous 1-D int64 array", name);
        return false;
    }
    *data = static_cast<const long long*>(b.buf);
    *size = b.shape[0];
    return true;
}

// Row y of image i. Where the pixels of a row are adjacent, 8 (AVX2) or 4 at a time in
// vector lanes, in one pass over the classes as rk::class_argmax makes it: the maximum logit,
// the first class holding it and the largest logit before that class; lanes that need
// the full probabilities (a NaN, an infinite maximum, or a lower class within 2^-18
// of the maximum) then take rk::class_argmax alone.
template <bool Avx2>
[[gnu::always_inline]] inline void fold_row_build(const View& preds, const View& dst, const float* lut, index_t i,
                                                  index_t y) {
    using V = Floats<Avx2>;
    using Mask = std::conditional_t<Avx2, i32x8, i32x4>;
    constexpr int lanes = sizeof(V) / sizeof(float);
    const index_t classes = preds.h, channels = dst.h, w = preds.c, sk = preds.sy;
    index_t x = 0;
    if (preds.sc == 1) {
        for (; x + lanes <= w; x += lanes) {
            const float* p = preds.at<const float>(i, 0, y, x);
            V top = load_any<V>(p), below = V{} - std::numeric_limits<float>::infinity();
            Mask first = Mask{} + 0, odd = top != top;
            for (index_t k = 1; k < classes; ++k) {
                const V v = load_any<V>(p + k * sk);
                const Mask above = v > top;
                odd |= v != v;
                below = above ? top : below;
                top = above ? v : top;
                first = above ? Mask{} + static_cast<int>(k) : first;
            }
            odd |= ((top - top) != 0.0f) | (below - top > -0x1p-18f);
            for (int j = 0; j < lanes; ++j)
                if (odd[j]) first[j] = static_cast<int>(rk::class_argmax(p + j, sk, classes));
            for (index_t c = 0; c < channels; ++c) {
                V out;
                for (int j = 0; j < lanes; ++j) out[j] = lut[first[j] * channels + c];
                store_any(dst.at<float>(i, c, y, x), out);
            }
        }
    }
    for (; x < w; ++x) {
        const index_t k = rk::class_argmax(preds.at<const float>(i, 0, y, x), sk, classes);
        for (index_t c = 0; c < channels; ++c) *dst.at<float>(i, c, y, x) = lut[k * channels + c];
    }
}

void fold_row(const View& preds, const View& dst, const float* lut, index_t i, index_t y) {
    by_isa([&](auto avx2) __attribute__((always_inline)) { fold_row_build<decltype(avx2)::value>(preds, dst, lut, i, y); });
}

// fold_class_masks(preds, indices, categories, dst): preds float32 (N, K, H, W) of any
// strides, the class table as two int64 columns, dst float32 (N, C, H, W) contiguous:
// dst[i, c, y, x] = entries of category c naming the pixel's class.
PyObject* py_fold_class_masks(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("fold_class_masks", nargs, 4)) return nullptr;
    pyglue::Buffer pb, ib, cb, db;
    View preds, dst;  // (n, h, w, c) read as (N, K or C, H, W)
    const long long *indices, *categories;
    index_t entries, category_entries;
    if (!get_view(args[0], pb, preds, "preds", false, 4, 4) ||
        !get_table(args[1], ib, "indices", &indices, &entries) ||
        !get_table(args[2], cb, "categories", &categories, &category_entries) ||
        !get_view(args[3], db, dst, "dst", true, 4, 4))
        return nullptr;
    if (preds.dtype != DType::F32 || dst.dtype != DType::F32) {
        PyErr_SetString(PyExc_TypeError, "preds and dst must be float32");
        return nullptr;
    }
    if (entries != category_entries || !check_shape(dst, preds.n, dst.h, preds.w, preds.c, "dst")) {
        PyErr_SetString(PyExc_ValueError, "the table columns must have one length and dst the pixels of preds");
        return nullptr;
    }
    const index_t classes = preds.h, channels = dst.h;
    std::vector<float> lut(static_cast<size_t>(classes * channels));
    for (index_t k = 0; k < classes; ++k)
        for (index_t c = 0; c < channels; ++c)
            lut[static_cast<size_t>(k * channels + c)] = rk::class_count(indices, categories, entries, k, c);
    const index_t rows = preds.n * preds.w;
    const double row_work = static_cast<double>(preds.c) * static_cast<double>(2 * classes + channels);
    const bool done = in_bands(rows, row_work, [&](index_t r0, index_t r1) {
        team_rows(r0, r1, (r1 - r0) * row_work > kParallelWork,
                  [&](index_t r, int) { fold_row(preds, dst, lut.data(), r / preds.w, r % preds.w); });
    });
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ threads and entries

PyObject* py_set_num_threads(PyObject*, PyObject* arg) {
    index_t n;
    if (!get_index(arg, 1, 1024, "threads", &n)) return nullptr;
    team().set_size(static_cast<int>(n));
    Py_RETURN_NONE;
}

PyObject* py_get_num_threads(PyObject*, PyObject*) { return PyLong_FromLong(team_size()); }

// An entry as CPython calls it: C++ exceptions (only allocations throw, always before
// any parallel region and with the GIL held) become Python errors here instead of
// unwinding into the interpreter. Not noexcept, and the forced unwind with which
// CPython 3.12/3.13 end a thread that asks for the GIL during interpreter exit passes
// on: stopping it aborts the process.
template <PyObject* (*Entry)(PyObject*, PyObject* const*, Py_ssize_t)>
PyObject* guarded(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    try {
        return Entry(self, args, nargs);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

PyMethodDef methods[] = {
    {"resize", pyglue::fastcall(guarded<py_resize>), METH_FASTCALL,
     "resize(src, dst, mode_x, mode_y)\n--\n\nResamples src into dst with per-axis interpolation codes."},
    {"warp_affine", pyglue::fastcall(guarded<py_warp_affine>), METH_FASTCALL,
     "warp_affine(src, dst, inverse)\n--\n\nBilinear warp through the destination-to-source matrix."},
    {"paste_blend", pyglue::fastcall(guarded<py_paste_blend>), METH_FASTCALL,
     "paste_blend(frame, crop, mask, dst, inverse)\n--\n\nWarps crop and mask into the frame and blends, in one pass."},
    {"gaussian_blur", pyglue::fastcall(guarded<py_gaussian_blur>),
     METH_FASTCALL, "gaussian_blur(src, dst, ksize, sigma)\n--\n\nSeparable Gaussian blur, reflect-101 borders."},
    {"gaussian_filter", pyglue::fastcall(guarded<py_gaussian_filter>), METH_FASTCALL,
     "gaussian_filter(src, dst, sigmas, radii)\n--\n\nSeparable Gaussian filter, SciPy's reflect borders."},
    {"reflect_pad_fade", pyglue::fastcall(guarded<py_reflect_pad_fade>), METH_FASTCALL,
     "reflect_pad_fade(src, dst, pads, sigma, radius)\n--\n\nMirror padding whose margin fades into a blur and the median."},
    {"fold_class_masks", pyglue::fastcall(guarded<py_fold_class_masks>), METH_FASTCALL,
     "fold_class_masks(preds, indices, categories, dst)\n--\n\nPer-pixel class masks folded into categories."},
    {"to_float32", pyglue::fastcall(guarded<py_to_float32>), METH_FASTCALL,
     "to_float32(src, dst)\n--\n\nuint8 src divided by 255 into float32 dst."},
    {"images_to_batch", pyglue::fastcall(guarded<py_images_to_batch>),
     METH_FASTCALL, "images_to_batch(images, dst, mean, std, swap_rb)\n--\n\nFills an NCHW float32 batch."},
    {"batch_to_images", pyglue::fastcall(guarded<py_batch_to_images>),
     METH_FASTCALL, "batch_to_images(batch, dst, mean, std, swap_rb)\n--\n\nFills NHWC images from a batch."},
    {"set_num_threads", py_set_num_threads, METH_O,
     "set_num_threads(n)\n--\n\nSets the number of threads the kernels use (the caller included)."},
    {"get_num_threads", py_get_num_threads, METH_NOARGS,
     "get_num_threads()\n--\n\nThe number of threads the kernels use (the caller included)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "rasterkit._cpu", "CPU kernels of rasterkit (NumPy arrays).", 0, methods, nullptr,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__cpu() {
    static const int registered = pthread_atfork(nullptr, nullptr, start_anew_in_child);
    if (registered != 0) {
        PyErr_SetString(PyExc_RuntimeError, "rasterkit: cannot register its fork handler");
        return nullptr;
    }
    return PyModuleDef_Init(&module_def);
}
