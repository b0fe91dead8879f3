"""Native routes that must agree bit for bit, compiled apart from the
interpreter from the same headers the modules are built from: the swing
kernels' vector widths, and halftrend one bar at a time against its fused
pass.  Each program prints its number of mismatches."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
@pytest.mark.parametrize("source", ["lane_widths", "halftrend_routes"])
def test_native_routes_give_the_same_bits(tmp_path, source):
    program = tmp_path / source
    subprocess.run(
        ["g++", "-std=c++20", "-O2", "-ffp-contract=off", f"-I{ROOT / 'src'}",
         str(ROOT / "tests" / "native" / f"{source}.cpp"), "-o", str(program)],
        check=True,
    )
    assert subprocess.run([str(program)], check=True, capture_output=True, text=True).stdout.strip() == "0"
