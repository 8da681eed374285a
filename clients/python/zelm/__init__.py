"""zelm: a Python client of the Velkaro add-on.

    import zelm
    with zelm.Client() as c:            # 127.0.0.1:5193, 10 s timeout
        f = c.frame()
        print(f.altitude, f.unit("altitude"), f["trueHeading"])
        c.mcp(ap=True, hdg=270)

Everything about the wire comes from layout.json (zelm.LAYOUT), which libzelm writes.
"""

from ._layout import LAYOUT
from .client import DEFAULT_PORT, Client, FmcData
from .errors import (ConnectError, ConnectionLostError, InvalidValueError, ProtocolError,
                     ReplyTimeoutError, StatusUnavailableError, ZelmError)
from .frame import FIELDS, FieldInfo, Frame
from .mcp import SETTINGS as MCP_SETTINGS
from .mcp import McpBlock, build_mcp, check_value

__version__ = "1.1.0"

__all__ = [
    "LAYOUT", "DEFAULT_PORT", "Client", "FmcData", "Frame", "FieldInfo", "FIELDS", "McpBlock",
    "MCP_SETTINGS", "build_mcp", "check_value", "ZelmError", "ConnectError",
    "ConnectionLostError", "ReplyTimeoutError", "StatusUnavailableError", "ProtocolError",
    "InvalidValueError",
]
