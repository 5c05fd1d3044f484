# Record layouts live at the native level; the builder of stream_data records
# is published to other native modules only.
from typing import Any

_native_api: dict[str, Any]
