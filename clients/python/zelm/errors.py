"""The exceptions of the zelm package: every failure is a ZelmError."""


class ZelmError(Exception):
    """Anything that went wrong talking to the add-on or preparing what to send."""


class ConnectError(ZelmError, ConnectionError):
    """The add-on could not be reached."""


class ConnectionLostError(ZelmError, ConnectionError):
    """The connection failed or the add-on closed it (it closes it on a refused upload)."""


class ReplyTimeoutError(ZelmError, TimeoutError):
    """The add-on did not answer in time. The connection is closed afterwards: a late answer
    would be taken for the answer to the next request."""


class StatusUnavailableError(ReplyTimeoutError):
    """The add-on did not answer the status request in time; add-ons before 1.1 never do."""


class ProtocolError(ZelmError):
    """The reply is not what the protocol allows: not a frame, a length above the protocol's
    bound, a status that is not a JSON object. The connection is closed afterwards."""


class InvalidValueError(ZelmError, ValueError):
    """An autopilot setting or upload that the protocol does not take; raised before anything is
    sent."""


class RecordingError(ZelmError):
    """A flight recording that cannot be read: not a recording, a format or a frame layout this
    package does not read, or a record whose contents are damaged though its check value is
    good."""
