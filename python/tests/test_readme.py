"""Every Python block of the README, run as written in a folder holding
the eye.png, eye.mp4 and frames/ it reads, so that the README cannot drift
from the package."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

cv2 = pytest.importorskip("cv2")

from pupil_radial import synthetic  # noqa: E402

README = Path(__file__).parents[2] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """A folder with an eye image, a short video and a folder of frames."""
    folder = tmp_path_factory.mktemp("readme")
    frames = list(synthetic.video((192, 192), seconds=0.25, fps=30.0,
                                  seed=1))
    cv2.imwrite(str(folder / "eye.png"),
                synthetic.eye((480, 640), seed=3).image)
    writer = cv2.VideoWriter(str(folder / "eye.mp4"),
                             cv2.VideoWriter_fourcc(*"mp4v"), 30.0,
                             (192, 192), False)
    assert writer.isOpened()
    (folder / "frames").mkdir()
    for k, frame in enumerate(frames):
        writer.write(frame.image)
        cv2.imwrite(str(folder / "frames" / f"{k:03d}.png"), frame.image)
    writer.release()
    return folder


def test_the_readme_has_python_blocks():
    assert len(BLOCKS) >= 3


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_each_block_runs_as_written(inputs, index):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(Path(__file__).parents[1])] + sys.path)
    done = subprocess.run([sys.executable, "-c", BLOCKS[index]], cwd=inputs,
                          env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
