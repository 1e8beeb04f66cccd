"""The protocol facts, as the library's build generated them
(``protocol.json``, written by ``tools/layout-table``)."""

from __future__ import annotations

import json
from importlib import resources
from typing import Any

FACTS: dict[str, Any] = json.loads(
    resources.files(__package__).joinpath("protocol.json").read_text(encoding="utf-8"))

SIZES: dict[str, int] = FACTS["sizes"]
FRAME: dict[str, Any] = FACTS["frame"]
#: Result value -> the library's name for it ("ok", "timeout", "device-error", ...).
RESULT_NAMES: dict[int, str] = {r["value"]: r["name"] for r in FACTS["results"]}
#: The library's name -> its value, for the results that have one value.
RESULT_VALUES: dict[str, int] = {r["name"]: r["value"] for r in FACTS["results"] if "device_code" not in r}
