"""The stubs against the module's rendered signatures, and a type check of
the README's examples and the vorn package."""

import ast
import json
import os
import re
import shutil
import subprocess

import pytest

import pyvorn_device as pv
from conftest import REPO

STUB = REPO / "src" / "bindings" / "pyvorn_device.pyi"
# Results that can be None although the rendered signature cannot say so.
NONE_RESULTS = {"DeviceManager.create_device", "get_device_manager"}
# Stub spellings of what the binding layer renders more loosely.
REFINED = [
    ("str | bytes | os.PathLike[str] | os.PathLike[bytes]", "os.PathLike"),
    ("pathlib.Path", "os.PathLike"),
    ("type[BaseException]", "type"),
    ("types.TracebackType", "object"),
    ("BaseException", "object"),
    ("_Buffer", "buffer"),
]


def spell(annotation):
    text = ast.unparse(annotation)
    for stub_form, rendered_form in REFINED:
        text = text.replace(stub_form, rendered_form)
    return text


def stub_signature(node):
    """A stub function written the way the binding layer renders signatures."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults

    def param(arg, default):
        text = "self" if arg.arg == "self" else f"{arg.arg}: {spell(arg.annotation)}"
        return text if default is None else f"{text} = {ast.unparse(default)}"

    unnamed = {a.arg for a in positional if re.fullmatch(r"arg\d+", a.arg)}
    assert {a.arg for a in args.posonlyargs} - {"self"} == unnamed, "exactly the unnamed parameters are positional only"
    parts = [param(a, d) for a, d in zip(positional, defaults)]
    if args.kwonlyargs:
        parts += ["*"] + [param(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return f"{node.name}({', '.join(parts)}) -> {spell(node.returns)}"


def stub_entries():
    """(qualified name, stub node, module object) for every stub declaration."""
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, node, getattr(pv, node.name)
        elif isinstance(node, ast.ClassDef):
            cls = getattr(pv, node.name)
            yield node.name, node, cls
            for member in node.body:
                if isinstance(member, (ast.FunctionDef, ast.AnnAssign)):
                    name = member.name if isinstance(member, ast.FunctionDef) else member.target.id
                    yield f"{node.name}.{name}", member, vars(cls).get(name)


def test_stubs_declare_every_public_name():
    declared = {name for name, _, _ in stub_entries()}
    public = {n for n in vars(pv) if not n.startswith("_")}
    public |= {f"{c}.{n}" for c in public if isinstance(getattr(pv, c), type)
               for n in vars(getattr(pv, c)) if not n.startswith("_")}
    assert public <= declared, f"missing from the stubs: {public - declared}"


ENTRIES = list(stub_entries())


@pytest.mark.parametrize("name, node, bound", ENTRIES, ids=[entry[0] for entry in ENTRIES])
def test_stub_matches_rendered_signature(name, node, bound):
    assert bound is not None or name.endswith(".__buffer__"), f"{name} is in the stubs only"
    if isinstance(node, ast.ClassDef):
        return
    if isinstance(node, ast.AnnAssign):  # a class attribute, e.g. ReturnCode.Success
        assert ast.unparse(node.annotation) in (f"ClassVar[{type(bound).__name__}]", "ClassVar[dict[str, ReturnCode]]")
        return
    function = bound.fget if isinstance(bound, property) else bound
    if not (function.__doc__ or "").startswith(node.name + "("):
        return  # not rendered by the binding layer (buffer slots, enum internals)
    signature = re.sub(r"^(\w+\(self): [\w.]+", r"\1", function.__doc__.splitlines()[0].replace("pyvorn_device.", ""))
    if name in NONE_RESULTS:
        signature = re.sub(r"-> (.*)$", r"-> Optional[\1]", signature)
    assert stub_signature(node) == signature


PYRIGHT = REPO / "tools" / "pyright" / "node_modules" / ".bin" / "pyright"


@pytest.mark.skipif(not PYRIGHT.exists() or not shutil.which("node"),
                    reason="pyright is not installed: run_tests.sh installs it (npm ci)")
@pytest.mark.skipif(bool(os.environ.get("VORN_SANITIZER")), reason="a type check, not what a sanitizer build checks")
def test_readme_examples_and_vorn_type_check(tmp_path):
    readme = (REPO / "README.md").read_text()
    blocks = re.findall(r"^```python\n(.*?)^```", readme, flags=re.S | re.M)
    assert blocks, "the README has Python examples"
    (tmp_path / "readme_examples.py").write_text("\n".join(blocks))
    (tmp_path / "pyrightconfig.json").write_text(json.dumps({
        "stubPath": str(STUB.parent),
        "extraPaths": [str(REPO / "python")],
        "pythonVersion": "3.12",
        "typeCheckingMode": "standard",
        "reportMissingModuleSource": False,  # the module is compiled; its stubs are what is checked
    }))
    checked = [tmp_path / "readme_examples.py", REPO / "python" / "vorn"]
    result = subprocess.run([PYRIGHT, "--outputjson", "-p", tmp_path / "pyrightconfig.json", *checked],
                            capture_output=True, text=True, timeout=300)
    report = json.loads(result.stdout)
    problems = [f"{d['file']}:{d['range']['start']['line'] + 1}: {d['message']}" for d in report["generalDiagnostics"]]
    assert not problems, "\n".join(problems)
    assert report["summary"]["filesAnalyzed"] == 1 + len(list(checked[1].glob("*.py*")))  # .py and .pyi
