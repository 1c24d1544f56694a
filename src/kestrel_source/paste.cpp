// kestrel.paste: returns a processed face crop into its frame through the inverse of the
// matrix it was cut with, blended through a feathered mask.
//
// Only the part of the frame that the warped crop can reach is warped and blended: outside
// it the warped mask is exactly 0, so the frame's own values are the result there. Inside
// it the values equal those of the full-frame blend up to float rounding (the region's
// matrix is IM shifted by a whole number of pixels, which rounds sample positions apart).
#include "pyglue.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace pyglue;

namespace {

// xp.ones((h, w, 3), dtype=xp.float32)
Ref ones_plate(const Ref& xp, const Arg& h, const Arg& w) {
    return xp.method("ones", tuple(h, w, 3), kw("dtype", xp.attr("float32")));
}

// ---------------------------------------------------------------- PasteBack

Ref pb_init(PyObject* module, const Args& args) {
    static const Signature<2> sig{"__init__", {"self", "blursize"}, 1};
    auto [self_, blursize] = sig.parse(args);
    const double value = to_double(blursize, 1.0);
    Ref self = Ref::borrow(self_);
    Ref blur = global(module, "rk").method("GaussianBlur");
    self.set_attr("gaussian_blur", blur);
    self.set_attr("blursize", value);
    self.set_attr("mask", none());
    self.set_attr("size", none());
    return none();
}

// int(n // divisor * blursize)
Ref band_width(const Ref& n, long divisor, const Ref& blursize) {
    Ref quotient = Ref::own(PyNumber_FloorDivide(n.get(), integer(divisor).get()));
    return Ref::own(PyNumber_Long((quotient * blursize).get()));
}

// plate[:width] = plate[-width:] = 0 along axis 0 (rows) or axis 1 (columns); nothing
// for a width of 0 or less.
void zero_bands(const Ref& plate, int axis, const Ref& width) {
    if (!ok_status(PyObject_RichCompareBool(width.get(), integer(0).get(), Py_GT))) return;
    Ref all = slice(none(), none());
    for (const Ref& band : {slice(none(), width), slice(Ref::own(PyNumber_Negative(width.get())), none())})
        plate.set_item(axis == 0 ? band : tuple(all, band), 0);
}

Ref pb_create_mask(PyObject* module, const Args& args) {
    static const Signature<2> sig{"create_mask", {"self", "size"}, 2};
    auto [self_, size_] = sig.parse(args);
    check_exact(size_, &PyTuple_Type, "size");
    Ref self = Ref::borrow(self_), size = Ref::borrow(size_);
    Ref h = size[0], w = size[1];
    Ref blursize = self.attr("blursize");
    Ref padding_h = band_width(h, 5, blursize);
    Ref padding_v = band_width(w, 7, blursize);

    // Made from nothing, so on the GPU when one is usable.
    Ref plate = ones_plate(global(module, gpu_usable(module) ? "cp" : "np"), h, w);
    zero_bands(plate, 0, padding_h);
    zero_bands(plate, 1, padding_v);
    Ref sigma = Ref::own(PyNumber_Float(padding_v.get()));
    return self.attr("gaussian_blur").method("get", plate, padding_v, sigma);
}

Ref pb_get(PyObject* module, const Args& args) {
    static const Signature<4> sig{"get", {"self", "target_image", "paste_image", "M"}, 4};
    auto [self_, target_image, paste_image, M] = sig.parse(args);
    Ref self = Ref::borrow(self_);
    Ref rk = global(module, "rk");
    Ref target = rk.method("to_float32", target_image);
    Ref paste = rk.method("to_float32", paste_image);
    const std::vector<Py_ssize_t> hw = leading_dims(paste, "paste_image", 2);
    Ref size = tuple(hw[0], hw[1]);
    if (!self.attr("size").equals(size)) {
        // The size is recorded only with a mask built for it, so a failed build is retried
        // on the next frame instead of leaving a stale mask in place.
        Ref mask = on_device(module, target, [&] { return self.method("create_mask", size); });
        self.set_attr("mask", to_module(module, array_module(module, paste), mask));
        self.set_attr("size", size);
    }
    return global(module, "paste_back")(target, paste, M, self.attr("mask"));
}

PyMethodDef paste_back_methods[] = {
    def<pb_init>("__init__",
                 "__init__(self, blursize=1.0)\n--\n\n"
                 "blursize: scale of the mask's feathered border bands (converted to float)."),
    def<pb_create_mask>("create_mask",
                        "create_mask(self, size)\n--\n\n"
                        "Feathered mask for a crop of size (height, width): float32 ones with the\n"
                        "height // 5 * blursize top and bottom rows and width // 7 * blursize left and right\n"
                        "columns zeroed, then Gaussian-blurred. Returns height x width x 3."),
    def<pb_get>("get",
                "get(self, target_image, paste_image, M)\n--\n\n"
                "Paste a crop back into its frame through the cached feathered mask.\n\n"
                "Both images are converted to float32; M is the matrix the crop was cut with.\n"
                "The mask is rebuilt when the crop's (height, width) changes."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- paste_back

// The frame region [y0, y1) x [x0, x1) that the crop can reach and the crop -> region
// matrix; `partial` when that is less than the whole frame.
struct Region {
    Py_ssize_t x0, y0, x1, y1;
    double IM[2][3];
    bool partial;
};

// From IM (crop -> frame, the map the warp applies): the bounding box, in frame pixels, of
// the crop grown by two pixels on every side (room for the sampling footprint), plus a
// margin. The whole frame when IM lives on the GPU (reading it would wait for the device)
// or is not a finite, invertible 2 x 3 matrix.
Region reachable_region(PyObject* module, const Ref& IM, Py_ssize_t h, Py_ssize_t w, Py_ssize_t H, Py_ssize_t W) {
    Region r{0, 0, W, H, {}, false};
    if (H <= 0 || W <= 0 || is_cupy(module, IM)) return r;
    Ref host = host_array(module, IM, "float64");
    Buffer buf(host.get(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const Py_buffer& v = buf.view();
    if (v.ndim != 2 || v.shape[0] != 2 || v.shape[1] != 3 || v.itemsize != sizeof(double) ||
        std::strcmp(v.format, "d") != 0)
        return r;
    const double* m = static_cast<const double*>(v.buf);
    if (!std::all_of(m, m + 6, [](double x) { return std::isfinite(x); })) return r;
    const double det = m[0] * m[4] - m[1] * m[3];
    if (!(std::fabs(det) > 0) || !std::isfinite(1.0 / det)) return r;
    double lo[2] = {HUGE_VAL, HUGE_VAL}, hi[2] = {-HUGE_VAL, -HUGE_VAL};
    for (double sx : {-2.0, static_cast<double>(w) + 1})
        for (double sy : {-2.0, static_cast<double>(h) + 1}) {
            const double fx = m[0] * sx + m[1] * sy + m[2], fy = m[3] * sx + m[4] * sy + m[5];
            lo[0] = std::min(lo[0], fx), hi[0] = std::max(hi[0], fx);
            lo[1] = std::min(lo[1], fy), hi[1] = std::max(hi[1], fy);
        }
    if (!(std::isfinite(lo[0]) && std::isfinite(lo[1]) && std::isfinite(hi[0]) && std::isfinite(hi[1]))) return r;
    auto clamp = [](double v, Py_ssize_t n) {
        return static_cast<Py_ssize_t>(std::clamp(v, 0.0, static_cast<double>(n)));
    };
    r.x0 = clamp(std::floor(lo[0]) - 2, W), r.x1 = clamp(std::ceil(hi[0]) + 3, W);
    r.y0 = clamp(std::floor(lo[1]) - 2, H), r.y1 = clamp(std::ceil(hi[1]) + 3, H);
    // An unreachable crop still blends one pixel, which keeps the result's dtype that of
    // the full blend.
    if (r.x1 <= r.x0) r.x0 = std::min(r.x0, W - 1), r.x1 = r.x0 + 1;
    if (r.y1 <= r.y0) r.y0 = std::min(r.y0, H - 1), r.y1 = r.y0 + 1;
    r.partial = r.x0 > 0 || r.y0 > 0 || r.x1 < W || r.y1 < H;
    // Frame pixel (x, y) is pixel (x - x0, y - y0) of the region.
    std::copy_n(m, 6, &r.IM[0][0]);
    r.IM[0][2] -= static_cast<double>(r.x0);
    r.IM[1][2] -= static_cast<double>(r.y0);
    return r;
}

// mask * crop + (1 - mask) * frame after warping crop and mask by IM to the frame's
// (height, width) `size`: the one place the warp and the blend happen.
Ref warp_and_blend(const Ref& rk, const Ref& frame, const Ref& crop, const Ref& IM, const Ref& mask, const Ref& size) {
    Ref warped = rk.method("affine_transform", crop, IM, size);
    Ref warped_mask = rk.method("affine_transform", mask, IM, size);
    Ref inside = warped_mask * warped;
    return inside + (integer(1) - warped_mask) * frame;
}

Ref paste_back(PyObject* module, const Args& args) {
    static const Signature<4> sig{"paste_back", {"target_image", "paste_image", "M", "mask"}, 3};
    auto [target_, paste_image, M, mask_] = sig.parse(args);
    Ref target = Ref::borrow(target_);
    Ref rk = global(module, "rk");
    Ref xp = array_module(module, target);
    const std::vector<Py_ssize_t> crop = leading_dims(Ref::borrow(paste_image), "paste_image", 2);
    const std::vector<Py_ssize_t> frame = leading_dims(target, "target_image", 2);

    // All work happens on the frame's device, whichever is current, with the crop and
    // the mask brought there.
    return on_device(module, target, [&] {
        Ref paste = to_current_device(module, xp, Ref::borrow(paste_image));
        // The mask at the crop's size; none pastes the whole crop with hard edges.
        Ref mask = !mask_ || mask_ == Py_None
                       ? ones_plate(xp, crop[0], crop[1])
                       : rk.method("resize", to_current_device(module, xp, Ref::borrow(mask_)),
                                   tuple(crop[1], crop[0]), kw("interpolation", rk.attr("INTER_AUTO")));
        Ref IM = rk.method("get_inverse_matrix", M);
        const Region r = reachable_region(module, IM, crop[0], crop[1], frame[0], frame[1]);
        Ref size = tuple(r.y1 - r.y0, r.x1 - r.x0);
        if (!r.partial) return warp_and_blend(rk, target, paste, IM, mask, size);

        // The region's matrix, on the host like the IM it was read from.
        Ref region_IM = global(module, "np").method(
            "array", list(list(r.IM[0][0], r.IM[0][1], r.IM[0][2]), list(r.IM[1][0], r.IM[1][1], r.IM[1][2])));
        Ref region = tuple(slice(r.y0, r.y1), slice(r.x0, r.x1));
        Ref blended = warp_and_blend(rk, target[region], paste, region_IM, mask, size);
        // Outside the region the blend gives the frame itself, in the blend's type.
        Ref merged = target.method("astype", blended.attr("dtype"));
        merged.set_item(region, blended);
        return merged;
    });
}

PyMethodDef functions[] = {
    def<paste_back>("paste_back",
                    "paste_back(target_image, paste_image, M, mask=None)\n--\n\n"
                    "Blend a crop back into its frame.\n\n"
                    "target_image: H x W x C frame; paste_image: h x w x C crop cut from it with the\n"
                    "2 x 3 matrix M (frame -> crop). mask: weights 0..1 of any size, resized to the\n"
                    "crop; None pastes the whole crop with hard edges. Returns the H x W x C frame\n"
                    "mask * crop + (1 - mask) * frame after warping crop and mask with the inverse of M,\n"
                    "unclipped, in the type the arithmetic gives (float32 for float32 inputs).\n"
                    "Only the frame region the crop can reach is warped; its values equal the\n"
                    "full-frame blend up to float rounding. A CuPy frame is worked on its own GPU,\n"
                    "whichever is current; the crop and the mask are brought there."),
    {nullptr, nullptr, 0, nullptr},
};

void exec_module(PyObject* module) {
    bind_import(module, "cupy", "cp", true);
    bind_import(module, "numpy", "np");
    bind_import(module, "rasterkit", "rk");
    add_class(module, "PasteBack", nullptr,
              "Pastes processed face crops back into their frames through a feathered "
              "mask, built once per crop size and cached.",
              paste_back_methods);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot<exec_module>)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kestrel.paste",
                          "Paste-back of face crops into their frames.", 0, functions, slots, nullptr, nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_paste() { return PyModuleDef_Init(&module_def); }
