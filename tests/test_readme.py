"""Every ```python block of README.md runs, in order, as one script in an
empty directory: the tour cannot drift from the module.

Run as a script, this writes that script to a file for the type checkers
(`make test-typing`)."""

import pathlib
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def readme_script():
    """The python blocks, every other README line left blank, so that an
    error's line number is the README's own."""
    lines, inside = [], False
    for line in README.read_text(encoding="utf-8").splitlines():
        if line.startswith("```"):
            inside = line == "```python"
            lines.append("")
        else:
            lines.append(line if inside else "")
    return "\n".join(lines) + "\n"


def test_readme_has_a_tour():
    assert README.read_text(encoding="utf-8").count("\n```python\n") >= 3


def test_readme_python_blocks_run_in_order(tmp_path):
    script = tmp_path / "readme_blocks.py"
    script.write_text(readme_script(), encoding="utf-8")
    home = tmp_path / "home"
    home.mkdir()
    out = subprocess.run([sys.executable, str(script)], cwd=home, capture_output=True, text=True,
                         timeout=120, env={"HOME": str(home), "PATH": "/usr/bin:/bin"})
    assert out.returncode == 0, out.stdout + out.stderr


if __name__ == "__main__":
    pathlib.Path(sys.argv[1]).write_text(readme_script(), encoding="utf-8")
