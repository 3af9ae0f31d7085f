"""The type stub src/_kesp.pyi against the module it describes.

mypy's stubtest checks the installed stub in the install run; it lets a few
differences through (a stub that turns `*args` into named parameters, a name
in the stub's __all__ that the module lacks), which these tests catch on
every interpreter.
"""

import ast
import inspect
from pathlib import Path

import pytest

import _kesp

STUB = Path(__file__).resolve().parent.parent / "src" / "_kesp.pyi"

EMPTY = inspect.Parameter.empty


def stub_module():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def stub_all(module):
    [value] = [node.value for node in module.body if isinstance(node, ast.Assign)
               and [getattr(t, "id", None) for t in node.targets] == ["__all__"]]
    return ast.literal_eval(value)


def stub_definitions(module, name):
    """The stub's definitions of function `name`: one, or each overload."""
    return [node for node in module.body if isinstance(node, ast.FunctionDef) and node.name == name]


def stub_parameters(definition):
    """(name, kind, default) of each parameter of a stub definition."""
    args = definition.args
    positional = [(a, inspect.Parameter.POSITIONAL_ONLY) for a in args.posonlyargs]
    positional += [(a, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.args]
    defaults = [EMPTY] * (len(positional) - len(args.defaults)) + args.defaults
    out = [(a.arg, kind, d) for (a, kind), d in zip(positional, defaults)]
    if args.vararg:
        out.append((args.vararg.arg, inspect.Parameter.VAR_POSITIONAL, EMPTY))
    out += [(a.arg, inspect.Parameter.KEYWORD_ONLY, EMPTY if d is None else d)
            for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        out.append((args.kwarg.arg, inspect.Parameter.VAR_KEYWORD, EMPTY))
    return [(n, k, d if d is EMPTY else ast.literal_eval(d)) for n, k, d in out]


def test_stub_exports_what_the_module_exports():
    module = stub_module()
    assert stub_all(module) == _kesp.__all__
    defined = {node.name for node in module.body if isinstance(node, ast.FunctionDef)}
    assert defined == set(_kesp.__all__)


@pytest.mark.parametrize("name", _kesp.__all__)
def test_stub_signature_is_the_text_signature(name):
    runtime = [(p.name, p.kind, p.default)
               for p in inspect.signature(getattr(_kesp, name)).parameters.values()]
    definitions = stub_definitions(stub_module(), name)
    assert definitions
    for definition in definitions:
        stub = stub_parameters(definition)
        assert [(n, k) for n, k, _ in stub] == [(n, k) for n, k, _ in runtime], definition.lineno
        # An overload may leave a default out (inplace: Literal[True] has
        # none); a default it gives is the module's.
        for (_, _, given), (_, _, default) in zip(stub, runtime):
            if given is not EMPTY or len(definitions) == 1:
                assert (type(given), given) == (type(default), default), definition.lineno
    if len(definitions) > 1:
        # At least one overload takes every argument as the module does.
        assert any([d for _, _, d in stub_parameters(o)] == [d for _, _, d in runtime]
                   for o in definitions)
