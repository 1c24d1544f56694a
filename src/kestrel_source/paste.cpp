// kestrel.paste: returns a processed face crop into its frame through the inverse of the
// matrix it was cut with, blended through a feathered mask.
//
// Only the part of the frame that the warped crop can reach is warped and blended: outside
// it the warped mask is exactly 0, so the frame's own values are the result there. Inside
// it the values equal those of the full-frame blend up to float rounding (the region's
// matrix is IM shifted by a whole number of pixels, which rounds sample positions apart).
#include "legacy.hpp"

#include <algorithm>
#include <cmath>

using pyglue::Ref;

namespace {

Ref attr(PyObject* obj, const char* name) { return Ref::steal(PyObject_GetAttrString(obj, name)); }

// True when CuPy is importable and sees a usable GPU.
int gpu_usable(PyObject* module) {
    Ref cp = pyglue::legacy::global(module, "cp");
    if (!cp) return -1;
    if (cp.get() == Py_None) return 0;
    Ref cuda = attr(cp.get(), "cuda");
    Ref ok = cuda ? pyglue::legacy::call_method(cuda.get(), "is_available") : Ref();
    return ok ? PyObject_IsTrue(ok.get()) : -1;
}

// `array` moved to the array module `xp` (the module global `np` or `cp`) when it lives in
// the other one, so a mask made for one device still blends on the other.
Ref like_module(PyObject* module, PyObject* xp, PyObject* array) {
    Ref own = pyglue::legacy::array_module(module, array);
    if (!own) return Ref();
    if (own.get() == xp) return Ref::borrow(array);
    Ref cp = pyglue::legacy::global(module, "cp");
    if (!cp) return Ref();
    return own.get() == cp.get() ? pyglue::legacy::call_method(cp.get(), "asnumpy", array)
                                 : pyglue::legacy::call_method(cp.get(), "asarray", array);
}

// slice(start, stop)
Ref slice(Py_ssize_t start, Py_ssize_t stop) {
    Ref a = Ref::steal(PyLong_FromSsize_t(start)), b = Ref::steal(PyLong_FromSsize_t(stop));
    return a && b ? Ref::steal(PySlice_New(a.get(), b.get(), nullptr)) : Ref();
}

// xp.ones((h, w, 3), dtype=xp.float32)
Ref ones_plate(PyObject* xp, PyObject* h, PyObject* w) {
    Ref shape = Ref::steal(Py_BuildValue("(OOi)", h, w, 3));
    Ref f32 = attr(xp, "float32");
    return shape && f32 ? pyglue::legacy::call_method_kw(xp, "ones", {shape.get()}, {{"dtype", f32.get()}}) : Ref();
}

// ---------------------------------------------------------------- PasteBack

PyObject* pb_init(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "blursize"};
    static const pyglue::legacy::Params params{"__init__", names, 2, 1};
    PyObject* a[2];
    if (!pyglue::legacy::parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* self = a[0];
    const double value = a[1] ? PyFloat_AsDouble(a[1]) : 1.0;
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    Ref blursize = Ref::steal(PyFloat_FromDouble(value));
    Ref rk = pyglue::legacy::global(module, "rk");
    Ref blur = rk ? pyglue::legacy::call_method(rk.get(), "GaussianBlur") : Ref();
    if (!blursize || !blur || PyObject_SetAttrString(self, "gaussian_blur", blur.get()) < 0 ||
        PyObject_SetAttrString(self, "blursize", blursize.get()) < 0 ||
        PyObject_SetAttrString(self, "mask", Py_None) < 0 || PyObject_SetAttrString(self, "size", Py_None) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// int(n // divisor * blursize)
Ref band_width(PyObject* n, long divisor, PyObject* blursize) {
    Ref d = Ref::steal(PyLong_FromLong(divisor));
    Ref q = d ? Ref::steal(PyNumber_FloorDivide(n, d.get())) : Ref();
    Ref scaled = q ? Ref::steal(PyNumber_Multiply(q.get(), blursize)) : Ref();
    return scaled ? Ref::steal(PyNumber_Long(scaled.get())) : Ref();
}

// plate[first] = 0 and plate[last] = 0 for the leading and trailing `width` rows
// (axis 0) or columns (axis 1); nothing for a width of 0 or less.
bool zero_bands(PyObject* plate, int axis, PyObject* width) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    const int positive = zero ? PyObject_RichCompareBool(width, zero.get(), Py_GT) : -1;
    if (positive <= 0) return positive == 0;
    Ref neg = Ref::steal(PyNumber_Negative(width));
    Ref all = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    Ref head = Ref::steal(PySlice_New(nullptr, width, nullptr));
    Ref tail = neg ? Ref::steal(PySlice_New(neg.get(), nullptr, nullptr)) : Ref();
    if (!zero || !all || !head || !tail) return false;
    for (PyObject* band : {head.get(), tail.get()}) {
        Ref key = axis == 0 ? Ref::borrow(band) : Ref::steal(PyTuple_Pack(2, all.get(), band));
        if (!key || PyObject_SetItem(plate, key.get(), zero.get()) < 0) return false;
    }
    return true;
}

PyObject* pb_create_mask(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "size"};
    static const pyglue::legacy::Params params{"create_mask", names, 2, 2};
    PyObject* a[2];
    if (!pyglue::legacy::parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject *self = a[0], *size = a[1];
    if (!pyglue::legacy::check_exact(size, &PyTuple_Type, "size")) return nullptr;
    Ref h = Ref::steal(PySequence_GetItem(size, 0));
    Ref w = h ? Ref::steal(PySequence_GetItem(size, 1)) : Ref();
    Ref blursize = w ? attr(self, "blursize") : Ref();
    if (!blursize) return nullptr;
    Ref padding_h = band_width(h.get(), 5, blursize.get());
    Ref padding_v = padding_h ? band_width(w.get(), 7, blursize.get()) : Ref();
    if (!padding_v) return nullptr;

    // Made from nothing, so on the GPU when one is usable.
    const int gpu = gpu_usable(module);
    Ref xp = gpu < 0 ? Ref() : pyglue::legacy::global(module, gpu ? "cp" : "np");
    Ref plate = xp ? ones_plate(xp.get(), h.get(), w.get()) : Ref();
    if (!plate || !zero_bands(plate.get(), 0, padding_h.get()) || !zero_bands(plate.get(), 1, padding_v.get()))
        return nullptr;
    Ref sigma = Ref::steal(PyNumber_Float(padding_v.get()));
    Ref blur = sigma ? attr(self, "gaussian_blur") : Ref();
    return blur ? pyglue::legacy::call_method(blur.get(), "get", plate.get(), padding_v.get(), sigma.get()).release()
                : nullptr;
}

PyObject* pb_get(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "target_image", "paste_image", "M"};
    static const pyglue::legacy::Params params{"get", names, 4, 4};
    PyObject* a[4];
    if (!pyglue::legacy::parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* self = a[0];
    Ref rk = pyglue::legacy::global(module, "rk");
    Ref target = rk ? pyglue::legacy::call_method(rk.get(), "to_float32", a[1]) : Ref();
    Ref paste = target ? pyglue::legacy::call_method(rk.get(), "to_float32", a[2]) : Ref();
    Py_ssize_t hw[2];
    if (!paste || !pyglue::legacy::leading_dims(paste.get(), "paste_image", hw, 2)) return nullptr;
    Ref size = Ref::steal(Py_BuildValue("(nn)", hw[0], hw[1]));
    Ref cached = size ? attr(self, "size") : Ref();
    const int changed = cached ? PyObject_RichCompareBool(cached.get(), size.get(), Py_NE) : -1;
    if (changed < 0) return nullptr;
    if (changed) {
        // The size is recorded only with a mask built for it, so a failed build is retried
        // on the next frame instead of leaving a stale mask in place.
        Ref mask = pyglue::legacy::call_method(self, "create_mask", size.get());
        Ref xp = mask ? pyglue::legacy::array_module(module, paste.get()) : Ref();
        mask = xp ? like_module(module, xp.get(), mask.get()) : Ref();
        if (!mask || PyObject_SetAttrString(self, "mask", mask.get()) < 0 ||
            PyObject_SetAttrString(self, "size", size.get()) < 0)
            return nullptr;
    }
    Ref mask = attr(self, "mask");
    Ref paste_back = mask ? pyglue::legacy::global(module, "paste_back") : Ref();
    return paste_back ? pyglue::legacy::call(paste_back.get(), target.get(), paste.get(), a[3], mask.get()).release()
                      : nullptr;
}

PyMethodDef paste_back_methods[] = {
    {"__init__", pyglue::fastcall(pb_init), METH_FASTCALL | METH_KEYWORDS,
     "__init__(self, blursize=1.0)\n--\n\n"
     "blursize: scale of the mask's feathered border bands (converted to float)."},
    {"create_mask", pyglue::fastcall(pb_create_mask), METH_FASTCALL | METH_KEYWORDS,
     "create_mask(self, size)\n--\n\n"
     "Feathered mask for a crop of size (height, width): float32 ones with the\n"
     "height // 5 * blursize top and bottom rows and width // 7 * blursize left and right\n"
     "columns zeroed, then Gaussian-blurred. Returns height x width x 3."},
    {"get", pyglue::fastcall(pb_get), METH_FASTCALL | METH_KEYWORDS,
     "get(self, target_image, paste_image, M)\n--\n\n"
     "Paste a crop back into its frame through the cached feathered mask.\n\n"
     "Both images are converted to float32; M is the matrix the crop was cut with.\n"
     "The mask is rebuilt when the crop's (height, width) changes."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- paste_back

// The frame region that the crop can reach and the crop -> frame matrix for that region.
struct Region {
    Py_ssize_t x0, y0, x1, y1;
    double IM[2][3];
};

// From IM (crop -> frame, the map the warp applies): the bounding box, in frame pixels, of
// the crop grown by two pixels on every side (room for the sampling footprint), plus a
// margin. False, and the whole frame is used, when IM lives on the GPU (reading it would
// wait for the device) or is not a finite, invertible 2 x 3 matrix.
bool reachable_region(PyObject* module, PyObject* IM, Py_ssize_t h, Py_ssize_t w, Py_ssize_t H, Py_ssize_t W,
                      Region& r) {
    if (H <= 0 || W <= 0) return false;
    Ref np = pyglue::legacy::global(module, "np");
    Ref home = np ? pyglue::legacy::array_module(module, IM) : Ref();
    if (!home || home.get() != np.get()) {
        PyErr_Clear();
        return false;
    }
    Ref f64 = Ref::steal(PyUnicode_FromString("float64"));
    Ref host = f64 ? pyglue::legacy::host_array(module, IM, f64.get()) : Ref();
    pyglue::Buffer buf;
    if (!host || !buf.acquire(host.get(), PyBUF_C_CONTIGUOUS)) {
        PyErr_Clear();
        return false;
    }
    const Py_buffer& v = buf.view();
    if (v.ndim != 2 || v.shape[0] != 2 || v.shape[1] != 3 || v.itemsize != sizeof(double)) return false;
    const double* m = static_cast<const double*>(v.buf);
    for (int i = 0; i < 6; ++i) {
        if (!std::isfinite(m[i])) return false;
        r.IM[i / 3][i % 3] = m[i];
    }
    const double det = m[0] * m[4] - m[1] * m[3];
    if (!(std::fabs(det) > 0) || !std::isfinite(1.0 / det)) return false;
    double lo[2] = {HUGE_VAL, HUGE_VAL}, hi[2] = {-HUGE_VAL, -HUGE_VAL};
    for (double sx : {-2.0, static_cast<double>(w) + 1})
        for (double sy : {-2.0, static_cast<double>(h) + 1}) {
            const double fx = m[0] * sx + m[1] * sy + m[2], fy = m[3] * sx + m[4] * sy + m[5];
            lo[0] = std::min(lo[0], fx), hi[0] = std::max(hi[0], fx);
            lo[1] = std::min(lo[1], fy), hi[1] = std::max(hi[1], fy);
        }
    if (!(std::isfinite(lo[0]) && std::isfinite(lo[1]) && std::isfinite(hi[0]) && std::isfinite(hi[1])))
        return false;
    auto clamp = [](double v, Py_ssize_t n) {
        return static_cast<Py_ssize_t>(std::clamp(v, 0.0, static_cast<double>(n)));
    };
    r.x0 = clamp(std::floor(lo[0]) - 2, W), r.x1 = clamp(std::ceil(hi[0]) + 3, W);
    r.y0 = clamp(std::floor(lo[1]) - 2, H), r.y1 = clamp(std::ceil(hi[1]) + 3, H);
    // An unreachable crop still blends one pixel, which keeps the result's dtype that of
    // the full blend.
    if (r.x1 <= r.x0) r.x0 = std::min(r.x0, W - 1), r.x1 = r.x0 + 1;
    if (r.y1 <= r.y0) r.y0 = std::min(r.y0, H - 1), r.y1 = r.y0 + 1;
    // Frame pixel (x, y) is pixel (x - x0, y - y0) of the region.
    r.IM[0][2] -= static_cast<double>(r.x0);
    r.IM[1][2] -= static_cast<double>(r.y0);
    return true;
}

PyObject* paste_back(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"target_image", "paste_image", "M", "mask"};
    static const pyglue::legacy::Params params{"paste_back", names, 4, 3};
    PyObject* a[4];
    if (!pyglue::legacy::parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject *target = a[0], *paste = a[1];
    Ref rk = pyglue::legacy::global(module, "rk");
    Ref xp = rk ? pyglue::legacy::array_module(module, target) : Ref();
    Py_ssize_t crop[2], frame[2];
    if (!xp || !pyglue::legacy::leading_dims(paste, "paste_image", crop, 2) ||
        !pyglue::legacy::leading_dims(target, "target_image", frame, 2))
        return nullptr;
    Ref h = Ref::steal(PyLong_FromSsize_t(crop[0])), w = Ref::steal(PyLong_FromSsize_t(crop[1]));
    if (!h || !w) return nullptr;

    Ref mask;
    if (!a[3] || a[3] == Py_None) {
        mask = ones_plate(xp.get(), h.get(), w.get());  // hard edges
    } else {
        Ref size = Ref::steal(Py_BuildValue("(OO)", w.get(), h.get()));
        Ref autointer = attr(rk.get(), "INTER_AUTO");
        Ref local = like_module(module, xp.get(), a[3]);
        if (size && autointer && local)
            mask = pyglue::legacy::call_method_kw(rk.get(), "resize", {local.get(), size.get()},
                                          {{"interpolation", autointer.get()}});
    }
    Ref IM = mask ? pyglue::legacy::call_method(rk.get(), "get_inverse_matrix", a[2]) : Ref();
    if (!IM) return nullptr;

    Region r{0, 0, frame[1], frame[0], {}};
    const bool partial = reachable_region(module, IM.get(), crop[0], crop[1], frame[0], frame[1], r) &&
                         (r.x0 > 0 || r.y0 > 0 || r.x1 < frame[1] || r.y1 < frame[0]);
    if (partial) {
        // The region's matrix, on the host like the IM it was read from.
        Ref rows = Ref::steal(Py_BuildValue("[[ddd][ddd]]", r.IM[0][0], r.IM[0][1], r.IM[0][2], r.IM[1][0],
                                            r.IM[1][1], r.IM[1][2]));
        Ref np = pyglue::legacy::global(module, "np");
        if (!rows || !np || !(IM = pyglue::legacy::call_method(np.get(), "array", rows.get()))) return nullptr;
    }
    Ref out_size = Ref::steal(Py_BuildValue("(nn)", r.y1 - r.y0, r.x1 - r.x0));
    Ref warped = out_size ? pyglue::legacy::call_method(rk.get(), "affine_transform", paste, IM.get(), out_size.get()) : Ref();
    Ref warped_mask =
        warped ? pyglue::legacy::call_method(rk.get(), "affine_transform", mask.get(), IM.get(), out_size.get()) : Ref();
    if (!warped_mask) return nullptr;

    Ref region;
    if (partial) {
        Ref ys = slice(r.y0, r.y1), xs = slice(r.x0, r.x1);
        if (!ys || !xs || !(region = Ref::steal(PyTuple_Pack(2, ys.get(), xs.get())))) return nullptr;
    }
    Ref frame_part = partial ? Ref::steal(PyObject_GetItem(target, region.get())) : Ref::borrow(target);

    // paste_mask * paste + (1 - paste_mask) * target
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref inside = frame_part && one ? Ref::steal(PyNumber_Multiply(warped_mask.get(), warped.get())) : Ref();
    Ref keep = inside ? Ref::steal(PyNumber_Subtract(one.get(), warped_mask.get())) : Ref();
    Ref outside = keep ? Ref::steal(PyNumber_Multiply(keep.get(), frame_part.get())) : Ref();
    Ref blended = outside ? Ref::steal(PyNumber_Add(inside.get(), outside.get())) : Ref();
    if (!blended || !partial) return blended.release();

    // Outside the region the blend gives the frame itself, in the blend's type.
    Ref dtype = attr(blended.get(), "dtype");
    Ref merged = dtype ? pyglue::legacy::call_method(target, "astype", dtype.get()) : Ref();
    if (!merged || PyObject_SetItem(merged.get(), region.get(), blended.get()) < 0) return nullptr;
    return merged.release();
}

PyMethodDef functions[] = {
    {"paste_back", pyglue::fastcall(paste_back), METH_FASTCALL | METH_KEYWORDS,
     "paste_back(target_image, paste_image, M, mask=None)\n--\n\n"
     "Blend a crop back into its frame.\n\n"
     "target_image: H x W x C frame; paste_image: h x w x C crop cut from it with the\n"
     "2 x 3 matrix M (frame -> crop). mask: weights 0..1 of any size, resized to the\n"
     "crop; None pastes the whole crop with hard edges. Returns the H x W x C frame\n"
     "mask * crop + (1 - mask) * frame after warping crop and mask with the inverse of M,\n"
     "unclipped, in the type the arithmetic gives (float32 for float32 inputs).\n"
     "Only the frame region the crop can reach is warped; its values equal the\n"
     "full-frame blend up to float rounding."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    if (!pyglue::legacy::bind_import(module, "cupy", "cp", true) || !pyglue::legacy::bind_import(module, "numpy", "np") ||
        !pyglue::legacy::bind_import(module, "rasterkit", "rk"))
        return -1;
    return pyglue::legacy::add_class(module, "PasteBack", nullptr,
                             "Pastes processed face crops back into their frames through a feathered "
                             "mask, built once per crop size and cached.",
                             paste_back_methods)
               ? 0
               : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.paste",
                          "Paste-back of face crops into their frames.", 0, functions, slots, nullptr, nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_paste() { return PyModuleDef_Init(&module_def); }
