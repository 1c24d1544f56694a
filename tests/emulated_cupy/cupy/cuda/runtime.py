from .. import _emu, _order


class CUDARuntimeError(RuntimeError):
    def __init__(self, message, status=None):
        super().__init__(message)
        self.status = status


def getDeviceCount():
    return _emu.config.devices


def getDevice():
    return _emu.current_device()


def setDevice(device):
    _emu.check_device_valid(int(device))
    _emu.state.device = int(device)


def deviceSynchronize():
    _order.synchronize_device(_emu.current_device())


def getDeviceProperties(device):
    _emu.check_device_valid(int(device))
    return {"name": b"Emulated GPU (host)", "totalGlobalMem": 80 << 30, "major": 9, "minor": 0,
            "multiProcessorCount": 132, "warpSize": 32, "maxThreadsPerBlock": 1024}


def runtimeGetVersion():
    return 13000
