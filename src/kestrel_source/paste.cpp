// kestrel.paste: returns a processed face crop into its frame through the inverse of the
// matrix it was cut with, blended through a feathered mask.
//
// The warp of crop and mask and the blend run fused in the image library (rk.paste_blend)
// over only the part of the frame that the warped crop can reach: outside it the warped
// mask is exactly 0, so the frame's own values are the result there.
#include "pyglue.hpp"

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
        // Float32 images, as PasteBack.get makes them, take the fused warp and blend, which
        // touches only the part of the frame the crop can reach; other types blend in the
        // type their arithmetic gives.
        Ref f32 = xp.attr("float32");
        if (target.attr("dtype").equals(f32) && paste.attr("dtype").equals(f32) && mask.attr("dtype").equals(f32))
            return rk.method("paste_blend", target, paste, mask, IM);
        Ref size = tuple(frame[0], frame[1]);
        Ref warped_mask = rk.method("affine_transform", mask, IM, size);
        return warped_mask * rk.method("affine_transform", paste, IM, size) + (integer(1) - warped_mask) * target;
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
                    "Float32 images are warped and blended in one pass over only the frame region\n"
                    "the crop can reach (rk.paste_blend). A CuPy frame is worked on its own GPU,\n"
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
