"""The type stubs of the native modules agree with the modules."""

import ast
import inspect
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import ornivex
from ornivex import swing_v4, trend_v4

PACKAGE = Path(ornivex.__file__).parent
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")

# One valid value per parameter name used in the stubs.
f32 = np.linspace(1, 3, 12, dtype=np.float32)
f64 = np.linspace(1, 3, 12)
ARGUMENTS = {
    "series": f32, "source": f32, "alpha": 0.5, "length": 3.0, "high": f32 + 1, "low": f32 - 1,
    "close": f32, "tr": f32 * 0 + 0.5, "amplitude": 3, "channel_deviation": 1.5,
    "arr": f64, "range_period": 2, "range_multiplier": 1.5, "x": f64, "r": f64 * 0.1,
    "swing_period": 2, "swing_multiplier": 1.5,
}


def stub_functions(module):
    """(qualified name, parameter names, defaults) of every public def in the module's stub."""
    tree = ast.parse((PACKAGE / f"{module.__name__.rsplit('.', 1)[1]}.pyi").read_text())
    for node in ast.walk(tree):
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not item.name.startswith("_"):
                    yield f"{node.name}.{item.name}", [a.arg for a in item.args.args[1:]], item.args.defaults
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            yield node.name, [a.arg for a in node.args.args], node.args.defaults


def test_stubtest_passes():
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "ornivex.trend_v4", "ornivex.swing_v4",
                             "ornivex.stream",
                             "--allowlist", str(ALLOWLIST)], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("module", [trend_v4, swing_v4], ids=lambda m: m.__name__)
def test_stub_parameter_names_and_defaults_are_what_the_functions_accept(module):
    # Calling by keyword checks the names the stubs give; inspect.signature shows the same.
    checked = 0
    for name, params, defaults in stub_functions(module):
        owner, _, attribute = name.rpartition(".")
        function = getattr(getattr(module, owner)() if owner else module, attribute)
        positional = function(*(ARGUMENTS[p] for p in params))
        by_keyword = function(**{p: ARGUMENTS[p] for p in params})
        for a, b in zip(*(r.values() if isinstance(r, dict) else [r] for r in (positional, by_keyword))):
            np.testing.assert_array_equal(a, b)
        signature = inspect.signature(function).parameters.values()
        assert [p.name for p in signature] == params
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in signature)
        stub_defaults = tuple(ast.literal_eval(d) for d in defaults)
        assert tuple(p.default for p in signature if p.default is not p.empty) == stub_defaults
        if defaults:
            assert stub_defaults == function.__defaults__
        checked += 1
    assert checked == {trend_v4: 4, swing_v4: 3}[module]


def test_the_package_type_checks_against_its_stubs(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy", "--ignore-missing-imports", "--no-incremental",
                             "-p", "ornivex"], capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
