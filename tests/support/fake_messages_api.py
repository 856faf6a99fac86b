#!/usr/bin/python3
"""A small local stand-in for the Messages API that Claude Code talks to (ANTHROPIC_BASE_URL).

    fake_messages_api.py --script SCRIPT.json --port-file PORT --log LOG.jsonl [--port N] [--dump-dir D]

Listens on 127.0.0.1 (port 0: one the system picks), writes the port to --port-file once it
listens, and answers:
  POST /v1/messages               the conversation's replies, streamed as server-sent events in
                                  the API's order, or as one JSON message when "stream" is false
  POST /v1/messages/count_tokens  {"input_tokens": N}
  HEAD/GET anything else          200 with an empty JSON object
Every request is appended to --log as one JSON line (what was asked and which turn of which
conversation it got), and so is every step of a streamed reply: {"event": "block", "turn", "block"}
as a block starts, "hang_up" when the fake closes the connection, "end" once the reply is sent
whole, "client_gone" when Claude Code closed it first. --dump-dir keeps each /v1/messages
request's headers and body as a file of its own.

The script (JSON):
  {
    "replies": [                          # one per turn of the main conversation, in order
      {
        "blocks": [
          {"type": "text", "text": "Let me look.", "chunks": 4, "chunk_delay": 0.5},
          {"type": "thinking", "thinking": "..."},
          {"type": "tool_use", "command": "ls -l", "delay": 2.0},  # a Bash call
          {"type": "tool_use", "name": "Read", "input": {"file_path": "/etc/hostname"}},
          {"type": "text", "text": "...", "hang_up_after": 2}       # close the connection here
        ],
        "usage": {"5h": 0.42, "5h_reset_in": 3600, "7d": 0.1, "7d_reset": 1900000000},
        "stop_reason": "tool_use"           # default: tool_use when a block is one, else end_turn
      }
    ],
    "subagent_replies": [...],              # the same for subagents' conversations
    "final": {...},                         # the reply once the list is used up (default: "Done.")
    "usage": {...}                          # usage headers for every answer without its own
  }
A block's "delay" is waited before it starts, "chunk_delay" between its deltas ("chunks" of
them, default 1). "hang_up_after": N closes the connection after the block's start and N of its
deltas ("hang_up": true is N = 0), on the first attempt of that reply only, so that Claude
Code's retry then gets the whole reply.
Usage: "5h"/"7d" are the utilization fractions (0..1); "5h_reset"/"7d_reset" are epoch seconds,
"5h_reset_in"/"7d_reset_in" seconds from now.

Which reply a request gets is the number of assistant turns already in its messages, so a retry
of the same turn gets the same reply. The first conversation that offers tools is the main one;
any other (a subagent's) takes its replies from "subagent_replies" the same way. Requests that
offer no tools (titles, quota checks and other side requests) get a one-word text reply.
"""
import argparse
import json
import os
import sys
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MODEL_FALLBACK = "claude-sonnet-4-5"


def usage_headers(usage):
    """The rate-limit headers of the unified subscription limits for a reply's usage."""
    headers = {}
    if not usage:
        return headers
    now = int(time.time())
    for window in ("5h", "7d"):
        if window not in usage:
            continue
        reset = usage.get(window + "_reset")
        if reset is None:
            reset = now + int(usage.get(window + "_reset_in", 3600 if window == "5h" else 86400))
        prefix = "anthropic-ratelimit-unified-" + window
        headers[prefix + "-utilization"] = str(usage[window])
        headers[prefix + "-reset"] = str(int(reset))
        headers[prefix + "-status"] = "allowed"
    headers["anthropic-ratelimit-unified-status"] = "allowed"
    return headers


def block_content(block, index):
    """The finished content block as the API returns it."""
    kind = block.get("type", "text")
    if kind == "text":
        return {"type": "text", "text": block.get("text", "")}
    if kind == "thinking":
        return {"type": "thinking", "thinking": block.get("thinking", ""), "signature": "sig"}
    if kind == "tool_use":
        tool_input = block.get("input")
        if tool_input is None:
            tool_input = {"command": block.get("command", "true"), "description": block.get("description", "Run")}
        tool_id = block.get("id") or "toolu_fake%04d%s" % (index, uuid.uuid4().hex[:12])
        return {"type": "tool_use", "id": tool_id, "name": block.get("name", "Bash"), "input": tool_input}
    raise ValueError("unknown block type %r" % kind)


def split(text, parts):
    parts = max(1, min(int(parts), max(1, len(text))))
    size = -(-len(text) // parts) if text else 0
    return [text[i : i + size] for i in range(0, len(text), size)] if text else [""]


def block_events(content, index, block):
    """The server-sent events of one block: (event, data, pause-before) triples."""
    kind = content["type"]
    chunks = block.get("chunks", 1)
    pause = float(block.get("chunk_delay", 0))
    if kind == "text":
        start = {"type": "text", "text": ""}
        deltas = [{"type": "text_delta", "text": piece} for piece in split(content["text"], chunks)]
    elif kind == "thinking":
        start = {"type": "thinking", "thinking": "", "signature": ""}
        deltas = [{"type": "thinking_delta", "thinking": piece} for piece in split(content["thinking"], chunks)]
        deltas.append({"type": "signature_delta", "signature": content["signature"]})
    else:
        start = dict(content, input={})
        deltas = [{"type": "input_json_delta", "partial_json": p} for p in split(json.dumps(content["input"]), chunks)]
    yield "content_block_start", {"type": "content_block_start", "index": index, "content_block": start}, 0
    for n, delta in enumerate(deltas):
        yield "content_block_delta", {"type": "content_block_delta", "index": index, "delta": delta}, pause if n else 0
    yield "content_block_stop", {"type": "content_block_stop", "index": index}, pause


class Script:
    def __init__(self, path):
        with open(path, encoding="utf-8") as f:
            script = json.load(f)
        self.replies = script.get("replies", [])
        self.final = script.get("final", {"blocks": [{"type": "text", "text": "Done."}]})
        self.usage = script.get("usage")
        self.subagent_replies = script.get("subagent_replies", [])
        self.lock = threading.Lock()
        self.attempts = {}
        self.main = None

    def reply(self, messages):
        """The reply for a conversation's next turn, the turn, whose conversation it is and how often that
        turn was asked for before. The first conversation with tools is the main one; any other is a
        subagent's, which all share the subagent replies."""
        turn = sum(1 for m in messages if m.get("role") == "assistant")
        key = json.dumps(without_cache_marks(messages[:1]), sort_keys=True)
        with self.lock:
            if self.main is None:
                self.main = key
            who = "main" if key == self.main else "subagent"
            attempt = self.attempts.get((key, turn), 0)
            self.attempts[(key, turn)] = attempt + 1
        replies = self.replies if who == "main" else self.subagent_replies
        return (replies[turn] if turn < len(replies) else self.final), turn, who, attempt


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fake-messages-api"

    def log_message(self, *args):
        pass

    def record(self, entry):
        entry = dict(time=round(time.time(), 3), method=self.command, path=self.path, **entry)
        with self.server.log_lock, open(self.server.log_path, "a", encoding="utf-8") as log:
            log.write(json.dumps(entry) + "\n")

    def send_json(self, status, body, headers=None):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("request-id", "req_fake" + uuid.uuid4().hex[:16])
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        try:
            return json.loads(raw or b"{}")
        except ValueError:
            return {}

    def do_HEAD(self):
        self.record({})
        self.send_json(200, {})

    def do_GET(self):
        self.record({})
        self.send_json(200, {})

    def do_POST(self):
        body = self.read_body()
        path = self.path.split("?")[0]
        if path == "/v1/messages/count_tokens":
            self.record({"messages": len(body.get("messages", []))})
            self.send_json(200, {"input_tokens": 1000})
        elif path == "/v1/messages":
            self.messages(body)
        else:
            self.record({"body_keys": sorted(body)})
            self.send_json(200, {})

    def messages(self, body):
        messages = body.get("messages", [])
        tools = [t.get("name") for t in body.get("tools", []) if isinstance(t, dict)]
        summary = {
            "model": body.get("model"),
            "stream": bool(body.get("stream")),
            "max_tokens": body.get("max_tokens"),
            "messages": len(messages),
            "tools": len(tools),
            "last_user": last_user_text(messages)[:200],
        }
        if self.server.dump_dir:
            with self.server.log_lock:
                self.server.dumped += 1
                name = "request-%03d.json" % self.server.dumped
            with open(os.path.join(self.server.dump_dir, name), "w", encoding="utf-8") as f:
                json.dump({"headers": dict(self.headers), "body": body}, f, indent=1)
            summary["dump"] = name
        script = self.server.script
        if not tools:
            reply, turn, who, attempt = {"blocks": [{"type": "text", "text": "Fake"}]}, None, "side", 0
        else:
            reply, turn, who, attempt = script.reply(messages)
        self.record(dict(summary, turn=turn, conversation=who, attempt=attempt))
        model = body.get("model") or MODEL_FALLBACK
        blocks = reply.get("blocks", [])
        contents = [block_content(b, i) for i, b in enumerate(blocks)]
        stop = reply.get("stop_reason") or ("tool_use" if any(c["type"] == "tool_use" for c in contents) else "end_turn")
        headers = usage_headers(reply.get("usage", script.usage))
        usage = {"input_tokens": 100, "output_tokens": 20, "cache_creation_input_tokens": 0, "cache_read_input_tokens": 0}
        message = {"id": "msg_fake" + uuid.uuid4().hex[:16], "type": "message", "role": "assistant", "model": model,
                   "content": contents, "stop_reason": stop, "stop_sequence": None, "usage": usage}
        if not body.get("stream"):
            for block in blocks:
                time.sleep(float(block.get("delay", 0)))
            self.send_json(200, message, headers)
            return
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("request-id", "req_fake" + uuid.uuid4().hex[:16])
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        try:
            self.event("message_start", {"type": "message_start", "message": dict(message, content=[], stop_reason=None)})
            self.event("ping", {"type": "ping"})
            for index, (block, content) in enumerate(zip(blocks, contents)):
                time.sleep(float(block.get("delay", 0)))
                # A hang-up breaks the first attempt only, so that Claude Code's retry gets the whole reply.
                hang_up_after = block.get("hang_up_after", 0 if block.get("hang_up") else None)
                if attempt > 0:
                    hang_up_after = None
                self.record({"event": "block", "turn": turn, "block": index, "type": content["type"]})
                deltas = 0
                for name, data, pause in block_events(content, index, block):
                    if name != "content_block_start" and deltas == hang_up_after:
                        self.record({"event": "hang_up", "turn": turn, "block": index, "after": deltas})
                        self.close_connection = True
                        return
                    time.sleep(pause)
                    self.event(name, data)
                    deltas += name == "content_block_delta"
            delta = {"stop_reason": stop, "stop_sequence": None}
            self.event("message_delta", {"type": "message_delta", "delta": delta, "usage": {"output_tokens": 20}})
            self.event("message_stop", {"type": "message_stop"})
            self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
            self.record({"event": "end", "turn": turn})
        except (BrokenPipeError, ConnectionResetError) as error:
            self.record({"event": "client_gone", "turn": turn, "error": type(error).__name__})
            self.close_connection = True

    def event(self, name, data):
        payload = ("event: %s\ndata: %s\n\n" % (name, json.dumps(data))).encode()
        self.wfile.write(b"%x\r\n%s\r\n" % (len(payload), payload))
        self.wfile.flush()


def without_cache_marks(value):
    """The value without its "cache_control" members, which Claude Code moves from turn to turn."""
    if isinstance(value, dict):
        return {k: without_cache_marks(v) for k, v in value.items() if k != "cache_control"}
    if isinstance(value, list):
        return [without_cache_marks(v) for v in value]
    return value


def last_user_text(messages):
    for message in reversed(messages):
        if message.get("role") != "user":
            continue
        content = message.get("content")
        if isinstance(content, str):
            return content
        for part in reversed(content or []):
            if isinstance(part, dict) and part.get("type") == "text":
                return part.get("text", "")
            if isinstance(part, dict) and part.get("type") == "tool_result":
                return "[tool_result] " + json.dumps(part.get("content"))
    return ""


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        """A client that goes away mid-request (Claude Code gives up on a stream) is no error of ours."""
        if not isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--script", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--dump-dir", help="write every /v1/messages request (headers and body) here")
    options = parser.parse_args()
    server = Server(("127.0.0.1", options.port), Handler)
    server.script = Script(options.script)
    server.log_path = options.log
    server.log_lock = threading.Lock()
    server.dump_dir = options.dump_dir
    server.dumped = 0
    temporary = options.port_file + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(temporary, options.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
