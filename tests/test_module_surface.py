"""What Python sees of the module: classes, signatures, docstrings, the ABI."""
import inspect
import pathlib
import shutil
import subprocess
import sys

import pytest
import quelt_sdk

CLASSES = ("QueltClient", "QueltShmClient", "QueltHybridClient")

INFER_SIGNATURE = "($self, model_id, shape, dtype, data, additional_inputs=None, session_id=None)"
INFER_TENSOR_DOC = (
    "Like `infer` but returns `(data, shape, dtype)` so the caller knows\n"
    "how to interpret the output bytes without hardcoding dimensions.\n"
    "Essential for models whose output shape varies (diffusion, video, TTS)."
)


def test_module_exposes_exactly_the_three_clients():
    public = [name for name in vars(quelt_sdk) if not name.startswith("__")]
    assert public == list(CLASSES)
    assert not hasattr(quelt_sdk, "StreamIterator")
    assert quelt_sdk.__doc__ is None


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_bare_named_final_types(name):
    cls = getattr(quelt_sdk, name)
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "cls, signature, doc",
    [
        (
            "QueltClient",
            "(endpoint=None, *, protocol=None, host=None, port=None, socket_path=None, "
            "pipe_name=None, max_pool_size=..., api_token=None)",
            "",
        ),
        ("QueltShmClient", "(shm_name)", "PyO3 wrapper for shared memory client"),
        ("QueltHybridClient", "(shm_name, socket_path)", ""),
    ],
)
def test_constructor_signatures_and_docstrings(cls, signature, doc):
    cls = getattr(quelt_sdk, cls)
    assert cls.__text_signature__ == signature
    assert (cls.__doc__ or "") == doc
    inspect.signature(cls)  # parseable by the standard tools


@pytest.mark.parametrize(
    "cls, method, signature",
    [
        ("QueltClient", "protocol", "($self)"),
        ("QueltClient", "endpoint", "($self)"),
        ("QueltClient", "infer", INFER_SIGNATURE),
        ("QueltClient", "infer_tensor", INFER_SIGNATURE),
        ("QueltClient", "infer_stream", INFER_SIGNATURE),
        ("QueltShmClient", "infer", "($self, shape, dtype, data)"),
        ("QueltHybridClient", "infer", "($self, shape, dtype, data)"),
    ],
)
def test_method_signatures(cls, method, signature):
    function = getattr(getattr(quelt_sdk, cls), method)
    assert function.__text_signature__ == signature
    expected_doc = INFER_TENSOR_DOC if method == "infer_tensor" else None
    assert function.__doc__ == expected_doc


def test_method_table_order():
    names = [n for n in vars(quelt_sdk.QueltClient) if not n.startswith("__")]
    assert names == ["protocol", "endpoint", "infer", "infer_tensor", "infer_stream"]


def test_protocol_and_endpoint_are_methods_not_properties():
    client = quelt_sdk.QueltClient()
    assert callable(client.protocol) and callable(client.endpoint)
    assert client.protocol() == "pipe"


def run_python(code, interpreter=sys.executable):
    return subprocess.run([interpreter, "-c", code], capture_output=True, text=True, timeout=60)


def test_second_initialisation_fails_with_import_error():
    result = run_python(
        "import importlib, sys, quelt_sdk\n"
        "del sys.modules['quelt_sdk']\n"
        "try:\n"
        "    importlib.import_module('quelt_sdk')\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    assert result.stdout.strip() == (
        "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter process"
    )


def test_import_creates_nothing():
    """Importing opens no connection, region or thread."""
    result = run_python(
        "import os, threading\n"
        "before = len(os.listdir('/proc/self/fd'))\n"
        "import quelt_sdk\n"
        "print(threading.active_count(), len(os.listdir('/proc/self/task')), len(os.listdir('/proc/self/fd')) - before)"
    )
    assert result.stdout.split() == ["1", "1", "0"]


def test_extension_is_a_stable_abi_build():
    path = pathlib.Path(quelt_sdk.__file__)
    assert path.name == "quelt_sdk.abi3.so"


def find_interpreter(version):
    candidates = [shutil.which(f"python{version}")]
    candidates += sorted(pathlib.Path.home().glob(f".pyenv/versions/{version}*/bin/python{version}"))
    for candidate in filter(None, candidates):
        if run_python("pass", str(candidate)).returncode == 0:
            return str(candidate)
    return None


@pytest.mark.parametrize("version", ["3.12", "3.13"])
def test_same_binary_loads_in_newer_interpreters(version):
    interpreter = find_interpreter(version)
    if interpreter is None:
        pytest.skip(f"python{version} is not installed here")
    directory = str(pathlib.Path(quelt_sdk.__file__).parent)
    result = run_python(
        f"import sys; sys.path.insert(0, {directory!r}); import quelt_sdk; "
        "c = quelt_sdk.QueltClient(port=1); print(c.endpoint())",
        interpreter,
    )
    assert result.stdout.strip() == "tcp://127.0.0.1:1", result.stderr
