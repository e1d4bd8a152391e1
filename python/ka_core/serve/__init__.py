"""`ka serve`: talk to the avatar in a browser.

    python3 -m ka_core.serve BUNDLE --motion DIR [--w2v W2V.onnx] [--port 8080] [--host 127.0.0.1]
                             [--max-sessions 2] [--allow-origin ORIGIN] [--verbose]
                             [--tts "COMMAND {text} {wav}"] [--agent-port PORT] [--drain-seconds 30]

One page and one WebSocket per visitor; each visitor gets an utterance session of its own. Upstream
the page sends 16 kHz mono int16 audio (binary messages, 20 ms each) and JSON control messages
({"type": "end"}, {"type": "interrupt"}, {"type": "say", "text": ...}, {"type": "play"},
{"type": "video", "codec": "h264"}); downstream the server sends 25 frames a second, each a binary
message: a 4-byte little-endian length, a JSON record (frame info and session statistics), the
picture (JPEG, or H.264 once the page asks for it), then the frame's 40 ms of audio when it is to
be heard. A visitor is held to its own share (guard.py): audio at most a few seconds ahead of
real time, small shallow control messages, requests that name this server, a socket that reads.

Behind a load balancer (replica.py): `GET /ready` says whether a session is free, the agent-check
port reports the free sessions as a weight, and SIGTERM drains.
"""
from .server import Server, main

__all__ = ["Server", "main"]
