// kestrel.facefit: FFHQ-style alignment of one face from its five landmarks.
//
// The face geometry (quad, shrink factor, crop and padding rectangles, affine matrix) is a
// handful of scalars, so it is worked out on the host from one copy of the landmarks, with
// the same float32/float64 promotions as the array arithmetic of the recipe; only the image
// work goes through the array module of the frame (NumPy on the CPU, CuPy on the GPU) and
// the image library `rk`, which also pads and fades the margin of a face leaving the frame.
#include "pyglue.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

using namespace pyglue;

namespace {

// The face's square in frame coordinates: corners (top left, bottom left, bottom right,
// top right of the aligned face) and the length of its side.
struct Quad {
    double corner[4][2];
    double size;
};

// Integer decisions taken from the landmarks before any pixel is touched.
struct Plan {
    long long shrink = 0;
    long long resize_w = 0, resize_h = 0;
    bool crop = false;
    long long crop_l = 0, crop_t = 0, crop_r = 0, crop_b = 0;
    bool pad = false;
    long long pad_l = 0, pad_t = 0, pad_r = 0, pad_b = 0;
    double blur = 0;  // Gaussian sigma of the padded margin
    double M[2][3] = {};
};

// int(v) for a host scalar, with int()'s own errors for NaN and infinities. Finite values
// beyond 2**52 are refused too: they would overflow the integer arithmetic that follows
// (and could only lead to absurd allocations).
long long to_int(double v) {
    if (std::isnan(v)) raise(PyExc_ValueError, "cannot convert float NaN to integer");
    if (std::isinf(v)) raise(PyExc_OverflowError, "cannot convert float infinity to integer");
    if (!(std::fabs(v) < 4503599627370496.0))
        raise(PyExc_OverflowError, "face geometry out of range: cannot convert to integer");
    return static_cast<long long>(v);
}

// floor/ceil of the quad's extent: (left, top, right, bottom).
std::array<long long, 4> quad_bounds(const Quad& q) {
    double lo[2] = {q.corner[0][0], q.corner[0][1]}, hi[2] = {q.corner[0][0], q.corner[0][1]};
    for (int i = 1; i < 4; ++i)
        for (int k = 0; k < 2; ++k) {
            lo[k] = std::min(lo[k], q.corner[i][k]);
            hi[k] = std::max(hi[k], q.corner[i][k]);
        }
    return {to_int(std::floor(lo[0])), to_int(std::floor(lo[1])), to_int(std::ceil(hi[0])), to_int(std::ceil(hi[1]))};
}

void shift(Quad& q, double dx, double dy) {
    for (auto& c : q.corner) c[0] += dx, c[1] += dy;
}

// `v` rounded to float32. Out of line on purpose: GCC 12.2 at -O2 and above packs several
// of these roundings into vector conversions and drops some of them (wrong code).
[[gnu::noinline]] double to_float32(double v) { return static_cast<float>(v); }

// The affine map taking quad corners 0, 1, 2 (as float32) to (0, 0), (0, size) and
// (size, size). Three corners of a square fix the map exactly.
void fit_affine(const Quad& q, long long size, double M[2][3]) {
    double s[3][2];
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 2; ++k) s[i][k] = to_float32(q.corner[i][k]);
    // Linear part L: L u = (0, size), L v = (size, 0) for the edges u = s1 - s0, v = s2 - s1.
    const double ux = s[1][0] - s[0][0], uy = s[1][1] - s[0][1];
    const double vx = s[2][0] - s[1][0], vy = s[2][1] - s[1][1];
    const double det = ux * vy - vx * uy;
    if (!std::isfinite(det) || det == 0) raise(PyExc_ValueError, "face landmarks give a degenerate quad");
    const double t = static_cast<double>(size);
    // [u v]^-1 = [[vy, -vx], [-uy, ux]] / det; L = [[0, t], [t, 0]] [u v]^-1.
    M[0][0] = -t * uy / det;
    M[0][1] = t * ux / det;
    M[1][0] = t * vy / det;
    M[1][1] = -t * vx / det;
    for (int r = 0; r < 2; ++r) M[r][2] = -(M[r][0] * s[0][0] + M[r][1] * s[0][1]);
}

// Step 1 of the recipe: the quad's corners and side. The recipe's arithmetic keeps the
// landmarks' type T for eye_avg, eye_to_eye, eye_to_mouth, their two scaled norms and the
// centre c; the integer (-1, 1) factor of x promotes x, and with it y, the quad, qsize and
// every later decision, to float64.
template <class T>
Quad face_quad(const double* lm) {
    auto row = [&](int r, int k) { return static_cast<T>(lm[2 * r + k]); };
    auto norm = [](auto a, auto b) { return std::sqrt(a * a + b * b); };
    T eye_avg[2], eye_to_eye[2], eye_to_mouth[2], c[2];
    for (int k = 0; k < 2; ++k) {
        eye_avg[k] = (row(0, k) + row(1, k)) * T(0.5);
        eye_to_eye[k] = row(1, k) - row(0, k);
        eye_to_mouth[k] = (row(3, k) + row(4, k)) * T(0.5) - eye_avg[k];
        c[k] = eye_avg[k] + eye_to_mouth[k] * T(0.1);
    }
    // Half-side vectors: x along the eye line, tilted by the eye-to-mouth direction;
    // y perpendicular to it, pointing towards the mouth.
    double x[2] = {double(eye_to_eye[0]) + double(eye_to_mouth[1]), double(eye_to_eye[1]) - double(eye_to_mouth[0])};
    const double xn = norm(x[0], x[1]);
    const T e2e = norm(eye_to_eye[0], eye_to_eye[1]) * T(2.0);
    const T e2m = norm(eye_to_mouth[0], eye_to_mouth[1]) * T(1.8);
    const double scale = e2m > e2e ? e2m : e2e;  // Python's max(): the first unless the second is larger
    for (double& v : x) v = v / xn * scale;
    const double y[2] = {-x[1], x[0]};
    Quad q;
    for (int k = 0; k < 2; ++k) {
        q.corner[0][k] = double(c[k]) - x[k] - y[k];
        q.corner[1][k] = double(c[k]) - x[k] + y[k];
        q.corner[2][k] = double(c[k]) + x[k] + y[k];
        q.corner[3][k] = double(c[k]) + x[k] - y[k];
    }
    q.size = norm(x[0], x[1]) * 2;
    return q;
}

// Steps 3 to 8 of the recipe on host scalars. (h, w) is the frame size.
Plan make_plan(Quad q, long long h, long long w, long long output_size, long long transform_size,
               bool enable_padding) {
    Plan p;
    // Pre-shrinking by an integer factor when the quad is at least four output sizes.
    p.shrink = to_int(std::floor(q.size / static_cast<double>(output_size) * 0.5));
    if (p.shrink > 1) {
        const double f = static_cast<double>(p.shrink);
        w = p.resize_w = to_int(std::nearbyint(static_cast<double>(w) / f));
        h = p.resize_h = to_int(std::nearbyint(static_cast<double>(h) / f));
        for (auto& c : q.corner) c[0] /= f, c[1] /= f;
        q.size /= f;
    }
    const long long border = std::max(to_int(std::nearbyint(q.size * 0.1)), 3LL);

    // Crop to the quad plus border, skipped when that covers the whole frame.
    auto b = quad_bounds(q);
    p.crop_l = std::max(b[0] - border, 0LL);
    p.crop_t = std::max(b[1] - border, 0LL);
    p.crop_r = std::min(b[2] + border, w);
    p.crop_b = std::min(b[3] + border, h);
    if (p.crop_r - p.crop_l < w || p.crop_b - p.crop_t < h) {
        p.crop = true;
        w = p.crop_r - p.crop_l;
        h = p.crop_b - p.crop_t;
        shift(q, -static_cast<double>(p.crop_l), -static_cast<double>(p.crop_t));
    }
    // A face wholly outside the frame leaves nothing to align (and crop bounds that would
    // count from the far edge, cutting out some unrelated part of the frame).
    if (w <= 0 || h <= 0) raise(PyExc_ValueError, "the face lies wholly outside the frame: there is nothing to align");

    // Padding where the quad plus border leaves the (cropped) frame.
    b = quad_bounds(q);
    p.pad_l = std::max(-b[0] + border, 0LL);
    p.pad_t = std::max(-b[1] + border, 0LL);
    p.pad_r = std::max(b[2] - w + border, 0LL);
    p.pad_b = std::max(b[3] - h + border, 0LL);
    p.pad = enable_padding && std::max({p.pad_l, p.pad_t, p.pad_r, p.pad_b}) > border - 4;
    if (p.pad) {
        const long long least = to_int(std::nearbyint(q.size * 0.3));
        for (long long* v : {&p.pad_l, &p.pad_t, &p.pad_r, &p.pad_b}) *v = std::max(*v, least);
        p.blur = q.size * 0.02;
        shift(q, static_cast<double>(p.pad_l), static_cast<double>(p.pad_t));
    }
    fit_affine(q, transform_size, p.M);
    return p;
}

// Rows 0..4 of the landmarks as doubles, and whether they were float32.
struct Landmarks {
    double xy[10];
    bool single;
};

Landmarks read_landmarks(PyObject* module, const Ref& landmarks) {
    Ref np = global(module, "np");
    Ref host = host_array(module, landmarks, none());
    Landmarks lm;
    lm.single = host.attr("dtype").equals(np.attr("float32"));
    Ref values = np.method("ascontiguousarray", host, kw("dtype", np.attr("float64")));
    Buffer buf(values.get(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const Py_buffer& v = buf.view();
    if (v.ndim != 2 || v.shape[1] != 2 || v.itemsize != sizeof(double) || std::strcmp(v.format, "d") != 0)
        raise(PyExc_ValueError, "face_landmarks must be an array of (x, y) rows");
    if (v.shape[0] < 5) raise(PyExc_IndexError, "face_landmarks needs at least 5 rows, got %zd", v.shape[0]);
    std::copy_n(static_cast<const double*>(v.buf), 10, lm.xy);
    return lm;
}

// Reflect padding whose margin fades into a blurred copy and then into the median colour,
// so that the mirror seams do not show (step 7). `img` is float32 and not modified.
Ref pad_and_blend(PyObject* module, const Ref& img, const Plan& p) {
    return global(module, "rk").method("reflect_pad_fade", img, tuple(p.pad_t, p.pad_b, p.pad_l, p.pad_r), p.blur);
}

// The frame: a NumPy or CuPy array of a type that rk.to_float32 maps to 0..1, with at least
// two dimensions. Returns its height and width.
std::vector<Py_ssize_t> check_frame(const Ref& xp, const Ref& img) {
    if (!img.isinstance(xp.attr("ndarray")))
        raise(PyExc_TypeError, "img must be a NumPy or CuPy array, got %.200s", img.type_name());
    Ref dtype = img.attr("dtype"), kind = dtype.attr("kind");
    const bool maps =
        kind.equals("b") || kind.equals("f") || (kind.equals("u") && dtype.attr("itemsize").to_ssize() <= 2);
    if (!maps) raise(PyExc_TypeError, "img must be a bool, uint8, uint16 or float array, got %S", dtype.get());
    return leading_dims(img, "img", 2);
}

// An optional int argument: exactly int, else TypeError.
long long int_argument(PyObject* value, const char* name, long long fallback) {
    if (!value) return fallback;
    check_exact(value, &PyLong_Type, name);
    return Ref::borrow(value).to_longlong();
}

// The affine matrix as a 2 x 3 float64 NumPy array: the warp reads it on the host.
Ref host_matrix(PyObject* module, const double M[2][3]) {
    return global(module, "np").method("array", list(list(M[0][0], M[0][1], M[0][2]), list(M[1][0], M[1][1], M[1][2])));
}

// The recipe's pixel work, in the frame's array module: shrink, crop, convert to float,
// pad and blend, warp, resize.
Ref aligned_crop(PyObject* module, const Ref& xp, const Ref& img, const Plan& plan, long long output_size,
                 long long transform_size) {
    Ref rk = global(module, "rk");
    // The recipe works on the float image. Conversion is per pixel, so converting only the
    // crop gives the same values for a fraction of the work; the shrink needs it first.
    bool is_float = img.attr("dtype").equals(xp.attr("float32"));
    auto as_float = [&](const Ref& a) {
        if (is_float) return a;
        is_float = true;
        return rk.method("to_float32", a);
    };
    Ref work = img;
    if (plan.shrink > 1)
        work = rk.method("resize", as_float(work), tuple(plan.resize_w, plan.resize_h),
                         kw("interpolation", rk.attr("INTER_AREA")));
    if (plan.crop) work = work[tuple(slice(plan.crop_t, plan.crop_b), slice(plan.crop_l, plan.crop_r))];
    work = as_float(work);
    if (plan.pad) work = pad_and_blend(module, work, plan);
    work = rk.method("affine_transform", work, host_matrix(module, plan.M), tuple(transform_size, transform_size));
    if (output_size < transform_size)
        work = rk.method("resize", work, tuple(output_size, output_size), kw("interpolation", rk.attr("INTER_AREA")));
    return work;
}

Ref align_face_ffhq(PyObject* module, const Args& args) {
    static const Signature<5> sig{
        "align_face_ffhq", {"img", "face_landmarks", "output_size", "transform_size", "enable_padding"}, 2};
    auto [img_, face_landmarks, output_size_, transform_size_, enable_padding_] = sig.parse(args);
    const long long output_size = int_argument(output_size_, "output_size", 256);
    const long long transform_size = int_argument(transform_size_, "transform_size", 1024);
    const bool enable_padding = !enable_padding_ || Ref::borrow(enable_padding_).truthy();
    Ref img = Ref::borrow(img_);
    Ref xp = array_module(module, img);
    const std::vector<Py_ssize_t> hw = check_frame(xp, img);

    // The geometry, decided on the host: quad, shrink, crop, padding and the warp's matrix.
    const Landmarks lm = read_landmarks(module, Ref::borrow(face_landmarks));
    const Quad quad = lm.single ? face_quad<float>(lm.xy) : face_quad<double>(lm.xy);
    const Plan plan = make_plan(quad, hw[0], hw[1], output_size, transform_size, enable_padding);

    // The pixels are worked on the frame's device, whichever is current.
    return on_device(module, img, [&] { return aligned_crop(module, xp, img, plan, output_size, transform_size); });
}

PyMethodDef functions[] = {
    def<align_face_ffhq>(
        "align_face_ffhq",
        "align_face_ffhq(img, face_landmarks, output_size=256, transform_size=1024, enable_padding=True)\n--\n\n"
        "FFHQ-aligned square crop of one face.\n\n"
        "img: H x W x C frame (CuPy on the GPU or NumPy on the CPU; bool, uint8, uint16 or\n"
        "float).\n"
        "face_landmarks: at least five (x, y) rows: left eye, right eye, nose (unused),\n"
        "left and right mouth corner, in the frame's pixel coordinates.\n"
        "output_size, transform_size: int sides of the result and of the warp.\n"
        "enable_padding: mirror-pad, blur and median-blend where the face nears the edge.\n"
        "Returns a float32 S x S x C image, S = min(output_size, transform_size), of the\n"
        "frame's array module and on its device. The frame and the landmarks are not modified.\n"
        "A face wholly outside the frame raises ValueError."),
    {nullptr, nullptr, 0, nullptr},
};

void exec_module(PyObject* module) {
    bind_import(module, "cupy", "cp", true);
    bind_import(module, "numpy", "np");
    bind_import(module, "rasterkit", "rk");
    bind_package(module, "cupyx.scipy.ndimage", "cupyx", true);
    Ref typing = Ref::own(PyImport_ImportModule("typing"));
    for (const char* name : {"Optional", "Tuple"}) add_global(module, name, typing.attr(name));
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot<exec_module>)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.facefit",
                          "FFHQ-style face alignment from five facial landmarks.", 0, functions, slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_facefit() { return PyModuleDef_Init(&module_def); }
