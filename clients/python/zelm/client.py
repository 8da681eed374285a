"""A connection to the Velkaro add-on: frames, autopilot blocks, FMC and flight-plan data, status.

Every operation ends within the client's timeout however the add-on paces its bytes, and no
reply makes the client allocate more than the protocol's bounds allow. After a failure the
connection is closed (a late answer would otherwise be read as the answer to the next request);
make a new Client to go on. A Client is used by one thread at a time.
"""

from __future__ import annotations

import contextlib
import json
import socket
import time
from types import TracebackType
from typing import (Any, Callable, Dict, Iterator, List, NamedTuple, NoReturn, Optional, Tuple,
                    Type, TypeVar, Union)

from . import _layout
from .errors import (ConnectError, ConnectionLostError, InvalidValueError, ProtocolError,
                     ReplyTimeoutError, StatusUnavailableError, ZelmError)
from .frame import FRAME_SIZE, Frame
from .mcp import McpBlock, build_mcp

DEFAULT_PORT: int = _layout.PROTOCOL["defaultPort"]
MIN_UPLOAD_BYTES: int = _layout.PROTOCOL["minUploadBytes"]
MAX_UPLOAD_BYTES: int = _layout.PROTOCOL["maxUploadBytes"]
MAX_STATUS_BYTES: int = _layout.PROTOCOL["maxStatusBytes"]
FMC_HEAD_BYTES: int = _layout.PROTOCOL["fmcHeadBytes"]
MAX_VERSION: int = 2 ** (8 * _layout.PROTOCOL["wordBytes"]) - 1

# What a connection the add-on closes before answering its first command is said to be.
CLOSED_AT_ONCE = (
    "the add-on closed the connection at once, before answering. Most likely: all its places are "
    "taken (max_clients in its Velkaro.ini, or max_clients_per_address for this computer's "
    "address); or this address is not in its allow list; or what listens there is not a Velkaro "
    "add-on")

# How long status() waits for an answer by default: an add-on before 1.1 never answers.
DEFAULT_STATUS_TIMEOUT = 2.0

_TAG_FRAME = _layout.tag("frame")
_TAG_FMC_READ = _layout.tag("fmcRead")
_TAG_FMC_VERSION = _layout.tag("fmcVersion")
_TAG_MCP_STORE = _layout.tag("mcpStore")
_TAG_FMC_STORE = _layout.tag("fmcStore")
_TAG_FLIGHT_PLAN_STORE = _layout.tag("flightPlanStore")
_TAG_STATUS = _layout.tag("status")



class FmcData(NamedTuple):
    """The stored FMC data and its version word."""
    data: bytes
    version: int


_T = TypeVar("_T")


# The longest timeout a client takes, as zelm's --timeout.
MAX_TIMEOUT = 86400.0

# The deepest nesting of arrays and objects a status may have: the add-on's is a few levels
# deep, and a program that walks a deeper one recursively could run out of stack.
MAX_STATUS_DEPTH = 64


def _refuse_constant(name: str) -> NoReturn:
    raise ValueError("%s is not a JSON value" % name)


def _nested_deeper_than(value: object, limit: int) -> bool:
    """Whether `value` nests lists and dicts more than `limit` levels deep (without recursion)."""
    pending: List[Tuple[object, int]] = [(value, 1)]
    while pending:
        item, depth = pending.pop()
        if isinstance(item, (list, dict)):
            if depth > limit:
                return True
            pending.extend((child, depth + 1)
                           for child in (item.values() if isinstance(item, dict) else item))
    return False


def parse_status(text: bytes) -> Dict[str, Any]:
    """The status reply's bytes as a dict; ProtocolError for anything but a JSON object in UTF-8
    nested at most MAX_STATUS_DEPTH levels deep."""
    try:
        state = json.loads(text.decode("utf-8"), parse_constant=_refuse_constant)
    except (ValueError, RecursionError) as e:
        # (ValueError covers text that is not UTF-8 and numbers too long to convert)
        reason = "nested too deep" if isinstance(e, RecursionError) else str(e)
        raise ProtocolError("the status is not JSON: %s" % reason) from None
    if not isinstance(state, dict):
        raise ProtocolError("the status is not a JSON object but %s" % type(state).__name__)
    if _nested_deeper_than(state, MAX_STATUS_DEPTH):
        raise ProtocolError("the status is nested more than %d levels deep" % MAX_STATUS_DEPTH)
    return state


def _positive_seconds(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or \
            not 0 < value <= MAX_TIMEOUT:
        raise InvalidValueError("%s takes seconds, more than 0 and at most %g, not %r"
                                % (name, MAX_TIMEOUT, value))
    return float(value)


class Client:
    """``Client(host="127.0.0.1", port=5193, timeout=10)``: connects at once (ConnectError when
    the add-on cannot be reached within `timeout` seconds). From then on every operation must end
    within `timeout` seconds, or it raises ReplyTimeoutError. Usable as a context manager."""

    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_PORT,
                 timeout: float = 10.0) -> None:
        self.host = host
        self.port = port
        self.timeout = _positive_seconds("timeout", timeout)
        self._closed_because: Optional[str] = None
        self._sock: Optional[socket.socket] = None
        # Whether the add-on has answered anything yet, and how many commands were sent: a close
        # before any answer to the first command is the add-on's refusal, said as such.
        self._answered = False
        self._commands = 0
        try:
            self._sock = socket.create_connection((host, port), timeout=self.timeout)
        except OSError as e:
            raise ConnectError("cannot connect to %s:%s: %s (is the simulator with the add-on "
                               "running?)" % (host, port, e.strerror or e)) from None
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    # -- lifetime ----------------------------------------------------------------------------

    def close(self) -> None:
        """Closes the connection; later operations raise ConnectionLostError."""
        if self._sock is not None:
            self._sock.close()
            self._sock = None
            self._closed_because = self._closed_because or "the client was closed"

    def __enter__(self) -> Client:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def __del__(self) -> None:
        sock = getattr(self, "_sock", None)
        if sock is not None:
            sock.close()

    # -- commands ----------------------------------------------------------------------------

    def frame(self) -> Frame:
        """The next frame not yet received on this connection (or, after about 100 ms without
        one, the latest again)."""
        deadline = self._deadline()
        self._send(_TAG_FRAME, deadline)
        return self._guarded(Frame, self._receive(FRAME_SIZE, deadline))

    def frames(self, only_changed: bool = True) -> Iterator[Frame]:
        """Frames for ever, each within the timeout. With `only_changed`, a reply equal to the
        one before (the add-on's repeat when no new frame came, or a frame in which nothing
        changed) is skipped."""
        previous = None
        while True:
            frame = self.frame()
            if not only_changed or frame != previous:
                previous = frame
                yield frame

    def mcp(self, *, alt: Optional[float] = None, vs: Optional[float] = None,
            spd: Optional[float] = None, hdg: Optional[float] = None,
            spd_ref: Optional[float] = None, n1_ref: Optional[float] = None,
            mach_ref: Optional[float] = None, alt_ref: Optional[float] = None,
            vs_ref: Optional[float] = None, hdg_bug: Optional[float] = None,
            crs: Optional[float] = None, ap: Optional[bool] = None, at: Optional[bool] = None,
            fd: Optional[bool] = None, speed_hold: Optional[bool] = None,
            n1_hold: Optional[bool] = None, mach_hold: Optional[bool] = None,
            alt_hold: Optional[bool] = None, hdg_hold: Optional[bool] = None,
            loc_hold: Optional[bool] = None, app_hold: Optional[bool] = None,
            **older_names: Union[float, bool]) -> McpBlock:
        """Builds the autopilot block for the settings by short name (ap=True, hdg=270, ...; as
        build_mcp takes them, the older ap_master=True, heading=270 too), uploads it with its
        check value and waits until the add-on has taken it. Invalid settings raise
        InvalidValueError before anything is sent. Returns the block (McpBlock: data and check).
        The add-on applies it with its next frame."""
        arguments = dict(locals())  # the parameters, before any other local exists
        del arguments["self"], arguments["older_names"]
        settings: Dict[str, Any] = {name: value for name, value in arguments.items()
                                    if value is not None}
        settings.update(older_names)
        block = build_mcp(**settings)
        deadline = self._deadline()
        self._send(_TAG_MCP_STORE + block.data + _layout.WORD.pack(block.check), deadline)
        self._sync(deadline, "the autopilot block was not delivered")
        return block

    def fmc_get(self) -> FmcData:
        """The stored FMC data and its version word: FmcData(data, version)."""
        deadline = self._deadline()
        self._send(_TAG_FMC_READ, deadline)
        length = self._word(deadline)
        if length > MAX_UPLOAD_BYTES:
            self._fail(ProtocolError("the reply announces %d bytes of FMC data, more than the "
                                     "protocol allows (%d)" % (length, MAX_UPLOAD_BYTES)))
        data = self._receive(length, deadline)
        return FmcData(data, self._word(deadline))

    def fmc_head(self) -> bytes:
        """The first eight bytes of the FMC data (zero-filled when shorter), or eight 0xFF bytes
        when none is stored."""
        deadline = self._deadline()
        self._send(_TAG_FMC_VERSION, deadline)
        return self._receive(FMC_HEAD_BYTES, deadline)

    def fmc_put(self, data: Union[bytes, bytearray, memoryview], version: int) -> None:
        """Stores FMC data (1 byte to 16 MiB) with its version word (0 to 2**32-1) and waits
        until the add-on has taken it (it closes the connection on a refused upload)."""
        self._store(_TAG_FMC_STORE, data, version, "the add-on did not take the FMC data")

    def fpl_put(self, data: Union[bytes, bytearray, memoryview], version: int) -> None:
        """Stores flight-plan data, as fmc_put does. Nothing reads it back."""
        self._store(_TAG_FLIGHT_PLAN_STORE, data, version,
                    "the add-on did not take the flight plan")

    def status(self, timeout: float = DEFAULT_STATUS_TIMEOUT) -> Dict[str, Any]:
        """The add-on's state as a dict. An add-on that does not answer within `timeout` seconds
        (at most the client's timeout) raises StatusUnavailableError: add-ons before 1.1 do not
        know the request."""
        wait = min(_positive_seconds("timeout", timeout), self.timeout)
        deadline = time.monotonic() + wait
        self._check_open()
        self._send(_TAG_STATUS, deadline)
        try:
            length = self._word(deadline)
        except ReplyTimeoutError:
            older = ("; it answers other requests, and add-ons before 1.1 do not answer this one"
                     if self._answered else "")
            raise StatusUnavailableError(
                "the add-on did not answer the status request within %g s%s" % (wait, older)) \
                from None
        if length > MAX_STATUS_BYTES:
            self._fail(ProtocolError("the reply announces %d bytes of status, more than the "
                                     "protocol allows (%d)" % (length, MAX_STATUS_BYTES)))
        # (a status refused leaves the connection in step: the reply was read whole)
        return parse_status(self._receive(length, deadline))

    # -- the wire ----------------------------------------------------------------------------

    def _deadline(self) -> float:
        self._check_open()
        return time.monotonic() + self.timeout

    def _open_socket(self) -> socket.socket:
        """The connection's socket, or ConnectionLostError when it is closed."""
        if self._sock is None:
            raise ConnectionLostError("the connection is closed (%s)" % self._closed_because)
        return self._sock

    def _check_open(self) -> None:
        self._open_socket()

    def _fail(self, error: ZelmError) -> NoReturn:
        """Closes the connection and raises `error`."""
        self._closed_because = str(error)
        self.close()
        raise error

    def _guarded(self, decode: Callable[[bytes], _T], raw: bytes) -> _T:
        try:
            return decode(raw)
        except ProtocolError as e:
            self._fail(e)

    def _remaining(self, deadline: float, sending: bool) -> float:
        left = deadline - time.monotonic()
        if left <= 0:
            what = "sending stalled" if sending else "no reply from the add-on"
            self._fail(ReplyTimeoutError("%s: timed out after %g s" % (what, self.timeout)))
        return left

    def _refused(self) -> bool:
        return not self._answered and self._commands <= 1

    def _send(self, data: bytes, deadline: float, command: bool = True) -> None:
        """Sends `data`: a command (its tag first), or with `command` False the rest of one."""
        sock = self._open_socket()
        if command:
            self._commands += 1
        view = memoryview(data)
        with self._closed_if_left_midway():
            while view:
                sock.settimeout(self._remaining(deadline, True))
                try:
                    sent = sock.send(view)
                except socket.timeout:
                    continue  # the deadline decides
                except OSError as e:
                    if self._refused():
                        self._fail(ConnectionLostError(CLOSED_AT_ONCE))
                    self._fail(ConnectionLostError("the connection was lost while sending: %s"
                                                   % (e.strerror or e)))
                view = view[sent:]

    def _receive(self, length: int, deadline: float) -> bytes:
        """Exactly `length` bytes, which the caller has held to the protocol's bounds."""
        sock = self._open_socket()
        buffer = bytearray(length)
        view = memoryview(buffer)
        with self._closed_if_left_midway():
            while view:
                sock.settimeout(self._remaining(deadline, False))
                try:
                    n = sock.recv_into(view)
                except socket.timeout:
                    continue
                except OSError as e:
                    if self._refused():
                        self._fail(ConnectionLostError(CLOSED_AT_ONCE))
                    self._fail(ConnectionLostError("no reply from the add-on: %s"
                                                   % (e.strerror or e)))
                if n == 0:
                    self._fail(ConnectionLostError(
                        CLOSED_AT_ONCE if self._refused() else "the add-on closed the connection"))
                self._answered = True
                view = view[n:]
        return bytes(buffer)

    @contextlib.contextmanager
    def _closed_if_left_midway(self) -> Iterator[None]:
        """Closes the connection when anything (Ctrl-C too) interrupts a send or receive: the
        stream is out of step from then on."""
        try:
            yield
        except BaseException as e:
            if self._sock is not None:
                self._closed_because = "interrupted: %r" % e
                self.close()
            raise

    def _word(self, deadline: float) -> int:
        value: int = _layout.WORD.unpack(self._receive(_layout.WORD.size, deadline))[0]
        return value

    def _sync(self, deadline: float, failure: str) -> None:
        """A round trip that proves the add-on has served every earlier command."""
        try:
            self._send(_TAG_FMC_VERSION, deadline)
            self._receive(FMC_HEAD_BYTES, deadline)
        except ConnectionLostError as e:
            raise ConnectionLostError("%s: %s" % (failure, e)) from None

    def _store(self, tag: bytes, data: object, version: object, failure: str) -> None:
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise InvalidValueError("the data must be bytes, not %s" % type(data).__name__)
        data = bytes(data)
        if not MIN_UPLOAD_BYTES <= len(data) <= MAX_UPLOAD_BYTES:
            raise InvalidValueError("an upload takes %d to %d bytes, not %d"
                                    % (MIN_UPLOAD_BYTES, MAX_UPLOAD_BYTES, len(data)))
        if isinstance(version, bool) or not isinstance(version, int) or \
                not 0 <= version <= MAX_VERSION:
            raise InvalidValueError("the version word takes 0 to %d, not %r"
                                    % (MAX_VERSION, version))
        deadline = self._deadline()
        self._send(tag + _layout.WORD.pack(len(data)), deadline)
        self._send(data, deadline, command=False)
        self._send(_layout.WORD.pack(version), deadline, command=False)
        self._sync(deadline, failure)


__all__ = ["Client", "FmcData", "DEFAULT_PORT", "ZelmError"]
