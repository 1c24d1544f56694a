"""rasterkit: image operations on NumPy and CuPy arrays, and TensorRT engine builders."""
