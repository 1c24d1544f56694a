class CUDADriverError(RuntimeError):
    pass
