"""The type stub varbloc/__init__.pyi against the package as it runs: every
name and signature it declares exists with the same parameters, every
attribute it declares is on a real instance with the declared type, and
every public name of the package is declared."""

import ast
import inspect
import os
import warnings

import numpy as np
import pytest

import varbloc

STUB = os.path.join(os.path.dirname(varbloc.__file__), "__init__.pyi")
EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__)))), "examples", "ar1.dat")


def stub():
    with open(STUB) as file:
        return ast.parse(file.read())


def public(body):
    """The stub's declarations in a module or class body, by name: the
    functions, the classes and the annotated attributes."""
    found = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            found[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            found[node.target.id] = node
    return {name: node for name, node in found.items()
            if not name.startswith("_") or name in ("__version__", "__init__")}


def stub_parameters(function):
    """(name, kind, has a default) of a stub's function, self left out."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [False] * (len(positional) - len(arguments.defaults)) + [True] * len(
        arguments.defaults)
    kinds = ([inspect.Parameter.POSITIONAL_ONLY] * len(arguments.posonlyargs)
             + [inspect.Parameter.POSITIONAL_OR_KEYWORD] * len(arguments.args))
    found = list(zip([a.arg for a in positional], kinds, defaults))
    if arguments.vararg:
        found.append((arguments.vararg.arg, inspect.Parameter.VAR_POSITIONAL, False))
    found += [(a.arg, inspect.Parameter.KEYWORD_ONLY, d is not None)
              for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    if arguments.kwarg:
        found.append((arguments.kwarg.arg, inspect.Parameter.VAR_KEYWORD, False))
    return [p for p in found if p[0] != "self"]


def runtime_parameters(function):
    return [(p.name, p.kind, p.default is not inspect.Parameter.empty)
            for p in inspect.signature(function).parameters.values() if p.name != "self"]


def instances():
    """A real instance of every class the stub declares."""
    result = varbloc.block_file(EXAMPLE, discard="auto")
    try:
        varbloc.load(os.path.join(os.path.dirname(EXAMPLE), "no such file.dat"))
    except varbloc.VarblocError as error:
        failure = error
    return {"Result": result, "AutomaticEstimate": result.automatic,
            "PairwiseLevels": result.pairwise, "Equilibration": result.equilibration,
            "VarblocError": failure, "VarblocWarning": varbloc.VarblocWarning(0, 2, "first"),
            "Accumulator": varbloc.Accumulator(2).add(np.ones((3, 2)))}


def matches(value, annotation):
    """Whether a value is of a stub's annotation, as far as it is one of
    the simple forms the stub uses; anything else is taken as it is."""
    text = ast.unparse(annotation)
    if text.startswith("Optional["):
        return value is None or matches(value, ast.parse(text[9:-1], mode="eval").body)
    if text.startswith("npt.NDArray["):
        dtype = getattr(np, text[len("npt.NDArray[np."):-1])
        return isinstance(value, np.ndarray) and value.dtype == dtype
    simple = {"int": int, "str": str, "Tuple": tuple, "AutomaticEstimate":
              varbloc.AutomaticEstimate, "PairwiseLevels": varbloc.PairwiseLevels,
              "Equilibration": varbloc.Equilibration}
    base = text.split("[")[0]
    return not isinstance(value, bool) and isinstance(value, simple[base]) \
        if base in simple else True


def test_every_public_name_is_declared_and_exists():
    declared = public(stub().body)
    assert sorted(set(varbloc.__all__) - set(declared)) == []
    for name in declared:
        assert hasattr(varbloc, name), name


@pytest.mark.parametrize("name", [n.name for n in stub().body if isinstance(n, ast.FunctionDef)])
def test_function_signatures(name):
    node = public(stub().body)[name]
    assert runtime_parameters(getattr(varbloc, name)) == stub_parameters(node)


@pytest.mark.parametrize("name", [n.name for n in stub().body if isinstance(n, ast.ClassDef)
                                  and not n.name.startswith("_")])
def test_class_members(name):
    node = public(stub().body)[name]
    cls = getattr(varbloc, name)
    assert inspect.isclass(cls)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        instance = instances()[name]
    declared = public(node.body)
    for member, declaration in declared.items():
        if isinstance(declaration, ast.FunctionDef):
            attribute = inspect.getattr_static(cls, member)
            is_property = any(ast.unparse(d) == "property" for d in declaration.decorator_list)
            assert isinstance(attribute, property) == is_property, member
            if not is_property:
                assert runtime_parameters(getattr(cls, member)) == stub_parameters(declaration), \
                    member
        else:
            assert hasattr(instance, member), member
            assert matches(getattr(instance, member), declaration.annotation), \
                (member, type(getattr(instance, member)))
    # And the other way: nothing public at runtime that the stub leaves out.
    runtime = {m for m in dir(instance) if not m.startswith("_")}
    if issubclass(cls, BaseException):
        runtime -= set(dir(BaseException))
    assert sorted(runtime - set(declared)) == []
