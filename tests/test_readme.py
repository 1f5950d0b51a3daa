"""Every ```python block of README.md runs, in order, as one script in an
empty directory: the tour cannot drift from the module."""

import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def python_blocks():
    return FENCE.findall(README.read_text(encoding="utf-8"))


def test_readme_has_a_tour():
    assert len(python_blocks()) >= 3


def test_readme_python_blocks_run_in_order(tmp_path):
    script = tmp_path / "readme_blocks.py"
    script.write_text("\n".join(python_blocks()), encoding="utf-8")
    home = tmp_path / "home"
    home.mkdir()
    out = subprocess.run([sys.executable, str(script)], cwd=home, capture_output=True, text=True,
                         timeout=120, env={"HOME": str(home), "PATH": "/usr/bin:/bin"})
    assert out.returncode == 0, out.stdout + out.stderr
