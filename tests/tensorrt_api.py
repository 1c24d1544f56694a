"""TensorRT's Python API as kestrel uses it, in one place, and a reader of TensorRT's
published type stubs (the tensorrt-stubs package, TensorRT 10) to check it against.

USED maps each TensorRT class (by its name in the stubs; "tensorrt" is the module
itself) to the members the package uses on it and how: called with Call(n) positional
arguments (self not counted), read (ATTR: attributes, properties, enum members, nested
classes), assigned (SET), or iterated (ITER). test_tensorrt_api checks every entry and
every member of the tests' TensorRT stand-ins against the stubs, so a misspelt or
removed name fails CI instead of the first real engine build.

A module that starts to use more of TensorRT adds its own table below and merges it in.
"""

from __future__ import annotations

import ast
import os
import pathlib
import re
import sys
from typing import NamedTuple


class Call(NamedTuple):
    positional: int
    keywords: tuple = ()


ATTR, SET, ITER = "read", "assigned", "iterated"

# The model modules' TensorRT backends (the shared model runtime): deserialise an engine,
# bind buffers of its tensors' element types, run it on a stream, record the version an
# engine was built with.
MODELS = {
    "tensorrt": {"Logger": ATTR, "Runtime": ATTR, "TensorIOMode": ATTR, "DataType": ATTR, "nptype": Call(1),
                 "__version__": ATTR},
    "Logger": {"__init__": Call(1), "WARNING": ATTR},
    "Runtime": {"__init__": Call(1), "deserialize_cuda_engine": Call(1)},
    "ICudaEngine": {
        "__iter__": ITER,  # the engine's tensor names
        "create_execution_context": Call(0),
        "get_tensor_mode": Call(1),
        "get_tensor_dtype": Call(1),
        "get_tensor_shape": Call(1),
    },
    "IExecutionContext": {
        "set_tensor_address": Call(2),
        "set_input_shape": Call(2),
        "get_tensor_shape": Call(1),
        "execute_async_v3": Call(1),
    },
    "TensorIOMode": {"INPUT": ATTR, "OUTPUT": ATTR},
    "DataType": {"FLOAT": ATTR},
}

# rasterkit.engines: build an engine from an ONNX model. BF16 and FP16 are looked up
# with hasattr: TensorRT 11 has neither flag (its networks are strongly typed).
ENGINES = {
    "tensorrt": {
        "__version__": ATTR, "Builder": ATTR, "OnnxParser": ATTR, "ILogger": ATTR, "IProgressMonitor": ATTR,
        "BuilderFlag": ATTR, "MemoryPoolType": ATTR,
    },
    "ILogger": {"__init__": Call(0), "log": Call(2), "Severity": ATTR},
    "ILogger.Severity": {"INTERNAL_ERROR": ATTR, "ERROR": ATTR, "WARNING": ATTR},
    "IProgressMonitor": {"__init__": Call(0), "phase_start": Call(3), "step_complete": Call(2),
                         "phase_finish": Call(1)},
    "Builder": {
        "__init__": Call(1),
        "create_network": Call(1),
        "create_builder_config": Call(0),
        "create_optimization_profile": Call(0),
        "build_serialized_network": Call(2),
    },
    "OnnxParser": {"__init__": Call(2), "parse_from_file": Call(1), "num_errors": ATTR, "get_error": Call(1)},
    "IBuilderConfig": {
        "set_flag": Call(1),
        "clear_flag": Call(1),
        "set_memory_pool_limit": Call(2),
        "progress_monitor": SET,
        "add_optimization_profile": Call(1),
    },
    "BuilderFlag": {"TF32": ATTR, "BF16": ATTR, "FP16": ATTR},
    "MemoryPoolType": {"WORKSPACE": ATTR},
    "INetworkDefinition": {"num_inputs": ATTR, "get_input": Call(1)},
    "ITensor": {"name": ATTR, "shape": ATTR},
    "IOptimizationProfile": {"set_shape": Call(4)},
}


def _merge(*tables):
    merged: dict = {}
    for table in tables:
        for cls, members in table.items():
            merged.setdefault(cls, {}).update(members)
    return merged


USED = _merge(MODELS, ENGINES)


# ---------------------------------------------------------------- the stubs


def stubs_folder() -> pathlib.Path:
    """Where make test puts the stubs: beside site-packages, not in it, since their
    tensorrt/ folder would import as an empty TensorRT. KESTREL_TENSORRT_STUBS names
    another folder."""
    return pathlib.Path(os.environ.get("KESTREL_TENSORRT_STUBS", pathlib.Path(sys.prefix, "tensorrt-stubs")))


class Stubs:
    """TensorRT's API as the stubs declare it: the module's names and every class,
    nested classes as "Outer.Inner", each with its members' AST nodes."""

    def __init__(self, folder: pathlib.Path):
        self.unreadable: set = set()  # (line, name) of signatures that are not Python
        self.module = self._members(self._parse(folder / "tensorrt" / "__init__.pyi"))
        bindings = self._parse(folder / "tensorrt_bindings" / "__init__.pyi")
        self.functions = {n.name: n for n in bindings if isinstance(n, ast.FunctionDef)}
        self.classes: dict = {}
        self._index(self._parse(folder / "tensorrt_bindings" / "tensorrt.pyi"), "")

    def _parse(self, path):
        """The module's statements. The generated stubs have a few signatures that are not
        Python (a parameter named `in`, a required one after defaults): each of those
        takes (*args, **kwargs), and a check that meets one says so."""
        lines = path.read_text().split("\n")
        while True:
            try:
                return ast.parse("\n".join(lines)).body
            except SyntaxError as error:
                line = lines[error.lineno - 1]
                repaired = re.sub(r"^(\s*def (\w+))\(.*\)(\s*(->.*)?:)", r"\1(*args, **kwargs)\3", line)
                if repaired == line:
                    raise
                lines[error.lineno - 1] = repaired
                self.unreadable.add((error.lineno, re.match(r"\s*def (\w+)", line).group(1)))

    def _index(self, body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                name = prefix + node.name
                self.classes[name] = node
                self._index(node.body, name + ".")

    @staticmethod
    def _members(body) -> dict:
        """name -> list of nodes declaring it (several for overloads and property setters)."""
        members: dict = {}
        for node in body:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                names = [node.name]
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                names = [node.target.id]
            elif isinstance(node, ast.Assign):
                names = [t.id for t in node.targets if isinstance(t, ast.Name)]
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                names = [(a.asname or a.name).split(".")[0] for a in node.names]
            else:
                continue
            for name in names:
                members.setdefault(name, []).append(node)
        return members

    def members(self, cls: str) -> dict:
        """A class's members, inherited ones included (bases named in the same file)."""
        if cls == "tensorrt":
            return self.module
        node = self.classes[cls]
        found: dict = {}
        for base in node.bases:
            if isinstance(base, ast.Name) and base.id in self.classes:
                found.update(self.members(base.id))
        found.update(self._members(node.body))
        return found

    def problem(self, cls: str, member: str, use) -> str | None:
        """Why `use` of cls.member does not fit the stubs, or None when it does."""
        if cls != "tensorrt" and cls not in self.classes:
            return f"TensorRT has no class {cls}"
        nodes = self.members(cls).get(member, [])
        if use == ITER:
            nodes = self.members(cls).get("__iter__") or self.members(cls).get("__getitem__", [])
            use = Call(0) if nodes and nodes[0].name == "__iter__" else Call(1)
        if not nodes:
            return f"TensorRT's {cls} has no member {member}"
        if isinstance(use, Call):
            functions = [self.functions.get(member, n) if isinstance(n, ast.ImportFrom) else n for n in nodes]
            functions = [f for f in functions if isinstance(f, ast.FunctionDef) and not _is_property(f)]
            if not functions:
                return f"TensorRT's {cls}.{member} is not a function or method"
            if any((f.lineno, member) in self.unreadable for f in functions):
                return f"the stubs' signature of {cls}.{member} cannot be read"
            if not any(_accepts(f, use, method=cls != "tensorrt") for f in functions):
                return f"no signature of TensorRT's {cls}.{member} accepts {_describe(use)}"
            return None
        if all(isinstance(n, ast.FunctionDef) and not _is_property(n) for n in nodes):
            return f"TensorRT's {cls}.{member} is a method, not an attribute"
        if use == SET and not any(isinstance(n, ast.AnnAssign) or _is_setter(n) for n in nodes):
            return f"TensorRT's {cls}.{member} is read-only"
        return None


def _decorators(node):
    return [ast.unparse(d) for d in getattr(node, "decorator_list", [])]


def _is_property(node):
    return any(d == "property" or d.endswith(".setter") for d in _decorators(node))


def _is_setter(node):
    return any(d.endswith(".setter") for d in _decorators(node))


def _accepts(function: ast.FunctionDef, call: Call, method: bool) -> bool:
    args = function.args
    positional = [a.arg for a in args.posonlyargs + args.args]
    if method and "staticmethod" not in _decorators(function):
        positional = positional[1:]
    required = len(positional) - len(args.defaults)
    if call.positional < required or (call.positional > len(positional) and args.vararg is None):
        return False
    by_keyword = positional[call.positional:] + [a.arg for a in args.kwonlyargs]
    return all(k in by_keyword or args.kwarg is not None for k in call.keywords)


def _describe(call: Call) -> str:
    return f"{call.positional} positional argument(s)" + (f" and {', '.join(call.keywords)}" if call.keywords else "")
