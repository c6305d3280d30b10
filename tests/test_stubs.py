"""The shipped type stubs describe the same signatures as the module."""
import ast
import inspect
import pathlib

import pytest
import quelt_sdk

REPO_STUB = pathlib.Path(__file__).resolve().parent.parent / "stubs" / "quelt_sdk-stubs" / "__init__.pyi"


def stub_path():
    installed = pathlib.Path(quelt_sdk.__file__).parent / "quelt_sdk-stubs" / "__init__.pyi"
    return installed if installed.exists() else REPO_STUB


def stub_classes():
    tree = ast.parse(stub_path().read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def stub_parameters(function: ast.FunctionDef):
    """(name, kind, default) triples, with the implicit self/cls dropped."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    result = [(a.arg, "positional", ast.unparse(d) if d else None) for a, d in zip(positional, defaults)]
    result += [
        (a.arg, "keyword", ast.unparse(d) if d else None)
        for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)
    ]
    return result[1:]


def runtime_parameters(callable_):
    signature = inspect.signature(callable_)
    result = []
    for parameter in signature.parameters.values():
        if parameter.name == "self":
            continue
        kind = "keyword" if parameter.kind is inspect.Parameter.KEYWORD_ONLY else "positional"
        default = None if parameter.default is inspect.Parameter.empty else repr(parameter.default)
        result.append((parameter.name, kind, "..." if default == "Ellipsis" else default))
    return result


def methods_of(class_node):
    return {n.name: n for n in class_node.body if isinstance(n, ast.FunctionDef)}


@pytest.mark.parametrize("name", ["QueltClient", "QueltShmClient", "QueltHybridClient"])
def test_stub_signatures_match_the_module(name):
    cls = getattr(quelt_sdk, name)
    stub_methods = methods_of(stub_classes()[name])
    assert stub_parameters(stub_methods["__new__"]) == runtime_parameters(cls)
    runtime_methods = [m for m in vars(cls) if not m.startswith("__")]
    assert sorted(m for m in stub_methods if not m.startswith("__")) == sorted(runtime_methods)
    for method in runtime_methods:
        assert stub_parameters(stub_methods[method]) == runtime_parameters(getattr(cls, method)), method


def test_stubs_describe_the_stream_iterator():
    iterator = methods_of(stub_classes()["StreamIterator"])
    assert {"__iter__", "__next__"} <= set(iterator)
    assert ast.unparse(methods_of(stub_classes()["QueltClient"])["infer_stream"].returns) == "StreamIterator"
