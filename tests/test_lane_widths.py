"""The swing kernels' vector widths agree bit for bit (compiled apart from
the interpreter, from the same headers the modules are built from)."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_every_vector_width_gives_the_same_bits(tmp_path):
    program = tmp_path / "lane_widths"
    subprocess.run(
        ["g++", "-std=c++20", "-O2", "-ffp-contract=off", f"-I{ROOT / 'src'}",
         str(ROOT / "tests" / "native" / "lane_widths.cpp"), "-o", str(program)],
        check=True,
    )
    assert subprocess.run([str(program)], check=True, capture_output=True, text=True).stdout.strip() == "0"
