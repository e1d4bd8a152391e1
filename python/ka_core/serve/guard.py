"""What keeps one `ka serve` visitor from harming the others: the upstream audio budget, the control
message reader, the Host and Origin rule and the reading watch."""
from __future__ import annotations

import ipaddress
import json
import socket
import time
from typing import Iterable, Optional, Set
from urllib.parse import urlsplit

AHEAD_S = 3.0               # upstream audio queued ahead of real time, at most
MAX_CONTROL_BYTES = 16384   # a control message's text
MAX_CONTROL_DEPTH = 8       # nesting of a control message's arrays and objects
READ_TIMEOUT_S = 10.0       # a visitor that reads nothing (answers no ping) this long is dropped
PING_S = 2.0


class AudioBudget:
    """Audio a visitor may have queued ahead of real time: a bucket that drains at real time. A
    message that would overfill it is cut to what fits; the rest is the caller's to refuse."""

    def __init__(self, rate: int, ahead_s: float = AHEAD_S, clock=time.monotonic):
        self.rate, self.cap, self.clock = rate, ahead_s * rate, clock
        self.level, self.t = 0.0, clock()
        self.refused_samples = 0

    def admit(self, samples: int) -> int:
        """How many of `samples` new samples may be queued now."""
        now = self.clock()
        self.level = max(0.0, self.level - (now - self.t) * self.rate)
        self.t = now
        take = max(0, min(samples, int(self.cap - self.level)))
        self.level += take
        self.refused_samples += samples - take
        return take

    def queued_s(self) -> float:
        return max(0.0, self.level - (self.clock() - self.t) * self.rate) / self.rate

    def reset(self) -> None:
        """The session dropped what was queued (an interrupt)."""
        self.level, self.t = 0.0, self.clock()


class ControlError(ValueError):
    pass


def parse_control(text: str) -> dict:
    """A control message: a JSON object with a string "type", small and shallow. ControlError
    names what is wrong."""
    if len(text) > MAX_CONTROL_BYTES:
        raise ControlError(f"control message of {len(text)} characters refused: at most {MAX_CONTROL_BYTES}")
    depth = deepest = 0
    quoted = escaped = False
    for ch in text:  # the nesting, counted before the parser recurses into it
        if quoted:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                quoted = False
        elif ch == '"':
            quoted = True
        elif ch in "[{":
            depth += 1
            deepest = max(deepest, depth)
            if deepest > MAX_CONTROL_DEPTH:
                raise ControlError(f"control message nested deeper than {MAX_CONTROL_DEPTH} levels refused")
        elif ch in "]}":
            depth -= 1
    try:
        msg = json.loads(text)
    except ValueError as e:
        raise ControlError(f"control message is not JSON: {e}") from None
    if not isinstance(msg, dict) or not isinstance(msg.get("type"), str):
        raise ControlError('control message refused: want a JSON object with a string "type"')
    return msg


def _host_port(netloc: str):
    """(host, port or None) of "host[:port]", the host lower-case without IPv6 brackets."""
    try:
        u = urlsplit("//" + netloc)
        return (u.hostname or "").lower(), u.port
    except ValueError:
        return None, None


def _address(text: str):
    """The IP address in `text` (an IPv4 client of a dual-stack socket as IPv4); None if it is none."""
    try:
        ip = ipaddress.ip_address(text)
    except ValueError:
        return None
    return ip.ipv4_mapped if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped else ip


def _is_ip(host: str) -> bool:
    try:
        ipaddress.ip_address(host)
        return True
    except ValueError:
        return False


class HostRule:
    """Requests must name this server. Host must be one of its own names or addresses (a page on
    a foreign domain that resolves here, DNS rebinding, names that domain); a browser's Origin must
    be a page this server served, or one of the origins allowed on the command line.

    Own names: the address the request arrived on, the bound host, the machine's names, and
    "localhost" for a request over loopback."""

    def __init__(self, bound_host: str, allow_origins: Iterable[str] = ()):
        self.allowed: Set[str] = set()
        self.allowed_hosts: Set[tuple] = set()
        for o in allow_origins:
            o = o.rstrip("/")
            u = urlsplit(o)
            if u.scheme not in ("http", "https") or not u.hostname or u.path or u.query:
                raise ValueError(f"--allow-origin {o!r}: want scheme://host[:port], e.g. https://avatar.example")
            self.allowed.add(o.lower())
            self.allowed_hosts.add((u.hostname.lower(), u.port or (443 if u.scheme == "https" else 80)))
        names = {socket.gethostname().lower(), socket.getfqdn().lower()}
        if bound_host and not _is_ip(bound_host) and bound_host not in ("", "0.0.0.0", "::"):
            names.add(bound_host.lower())
        self.names = {n for n in names if n}

    def _own(self, host: Optional[str], port: Optional[int], local_ip: str, local_port: int,
             default_port: int) -> bool:
        if not host:
            return False
        if (port or default_port) != local_port:
            return False
        local = _address(local_ip)
        if _is_ip(host):
            return local is not None and _address(host) == local
        if host == "localhost":
            return local is not None and local.is_loopback
        return host in self.names

    def host_refusal(self, host_header: str, local_ip: str, local_port: int) -> Optional[str]:
        """Why a request's Host header does not name this server (None: it does)."""
        host, port = _host_port(host_header or "")
        if self._own(host, port, local_ip, local_port, 80):
            return None
        if any(host == h and port in (None, p) for h, p in self.allowed_hosts):  # a proxy's public name
            return None
        return f"the Host header {host_header!r} does not name this server"

    def origin_refusal(self, origin: Optional[str], local_ip: str, local_port: int) -> Optional[str]:
        """Why a WebSocket's Origin is not this server's page (None: it is, or no browser asked)."""
        if origin is None:
            return None
        if origin.rstrip("/").lower() in self.allowed:
            return None
        u = urlsplit(origin)
        try:
            port = u.port
        except ValueError:
            port = None
        if u.scheme in ("http", "https") and not u.path.strip("/") and \
                self._own((u.hostname or "").lower(), port, local_ip, local_port, 443 if u.scheme == "https" else 80):
            return None
        return f"a page from the foreign origin {origin!r} may not open a session (--allow-origin adds one)"


class ReadWatch:
    """When a visitor last proved it reads: its answer to the latest ping. A client whose socket is
    full or who stopped reading answers none."""

    def __init__(self, timeout_s: float = READ_TIMEOUT_S, clock=time.monotonic):
        self.timeout_s, self.clock = timeout_s, clock
        self.last = clock()

    def pong(self) -> None:
        self.last = self.clock()

    def silent_s(self) -> float:
        return self.clock() - self.last

    def expired(self) -> bool:
        return self.silent_s() > self.timeout_s
