class BaseModelLoader:
    """Common base of the model interfaces: where the model comes from and which device runs it."""

    model_path: str | None
    model_bytes: bytes | None
    device: str
    device_id: str

    def __init__(
        self, model_path: str | None = None, model_bytes: bytes | None = None, device: str = "cuda"
    ) -> None: ...
