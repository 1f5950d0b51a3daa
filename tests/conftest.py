import json
import pathlib

import pytest

DATA = pathlib.Path(__file__).parent / "data"


def load_jsonl(name):
    with open(DATA / name, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


@pytest.fixture(scope="session")
def data_dir():
    return DATA
