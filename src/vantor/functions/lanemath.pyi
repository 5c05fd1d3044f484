# Conversion factors, settings verification and count scaling are published to
# other native modules only.
from typing import Any

_native_api: dict[str, Any]
