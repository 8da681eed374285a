"""zelm: a Python client of the Velkaro add-on.

    import zelm
    with zelm.Client() as c:            # 127.0.0.1:5193, 10 s timeout
        f = c.frame()
        print(f.altitude, f.unit("altitude"), f["trueHeading"])
        c.mcp(ap=True, hdg=270)
    for t, f in zelm.Recording("flight.vrec"):   # a recording of zelm record
        print(t, f.altitude)

Everything about the wire comes from layout.json (zelm.LAYOUT), which libzelm writes.
"""

from ._frame_fields import FieldValue
from ._layout import LAYOUT
from .client import DEFAULT_PORT, Client, FmcData
from .errors import (ConnectError, ConnectionLostError, InvalidValueError, ProtocolError,
                     RecordingError, ReplyTimeoutError, StatusUnavailableError, ZelmError)
from .frame import FIELDS, FieldInfo, Frame
from .mcp import SETTINGS as MCP_SETTINGS
from .mcp import McpBlock, build_mcp, check_value
from .recording import LAYOUT_IDENTITY, RecordedFrame, Recording, RecordingCutShort

__version__ = "1.1.0"

__all__ = [
    "LAYOUT", "DEFAULT_PORT", "Client", "FmcData", "Frame", "FieldInfo", "FIELDS", "McpBlock",
    "MCP_SETTINGS", "build_mcp", "check_value", "ZelmError", "ConnectError",
    "ConnectionLostError", "ReplyTimeoutError", "StatusUnavailableError", "ProtocolError",
    "InvalidValueError", "FieldValue", "Recording", "RecordedFrame", "RecordingError",
    "RecordingCutShort", "LAYOUT_IDENTITY",
]
