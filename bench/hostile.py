#!/usr/bin/env python3
"""Measures what hostile local clients cost the server: time for requests whose work could grow faster than
their size, accepting at the descriptor limit, allocation failure under an address-space limit, and memory
for large bodies. Every figure comes from a fresh server on 127.0.0.1 started from the given binary.

    bench/hostile.py build-release/brindle-server            # every scenario, about a minute
    bench/hostile.py build-release/brindle-server depth memory
"""
import json
import os
import resource
import socket
import subprocess
import sys
import time

MiB = 1 << 20


class Server:
    def __init__(self, binary, nofile=None):
        def limits():
            if nofile:
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        self.process = subprocess.Popen([binary, "serve", "--port", str(port)], stderr=subprocess.PIPE,
                                        preexec_fn=limits)
        line = self.process.stderr.readline().decode()
        self.port = int(line.rsplit(":", 1)[1])

    def status(self, field):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        return 0

    def alive(self):
        return self.process.poll() is None

    def close(self):
        if self.alive():
            self.process.kill()
        self.process.wait()


def connect(server, timeout=30):
    client = socket.create_connection(("127.0.0.1", server.port), timeout=timeout)
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return client


def chat_request(body):
    head = (f"POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\n\r\n")
    return head.encode() + body


def read_answer(client):
    """One whole answer: a body of Content-Length bytes, or everything up to the close for a stream."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = client.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    length = None
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":")[1])
    while length is None or len(rest) < length:
        chunk = client.recv(1 << 20)
        if not chunk:
            break
        rest += chunk
    return head + b"\r\n\r\n" + rest


def timed(server, body, timeout=30):
    client = connect(server, timeout)
    start = time.monotonic()
    client.sendall(chat_request(body))
    try:
        answer = read_answer(client)
    except socket.timeout:
        return None, b"(no answer in %d s)" % timeout
    finally:
        client.close()
    return time.monotonic() - start, answer[:12]


def tool_request(schema, prompt, stream=False, max_tokens=None):
    body = {"model": "m", "messages": [{"role": "user", "content": prompt}], "stream": stream,
            "tools": [{"type": "function", "function": {"name": "t", "parameters": schema}}]}
    if max_tokens:
        body["max_tokens"] = max_tokens
    return json.dumps(body).encode()


def nested_optional(depth):
    schema = {"type": "object", "properties": {"x": {"type": "integer"}}}
    for level in range(depth):  # object names must differ
        schema = {"type": "object", "properties": {f"a{level}": schema}}
    return schema


def scenario_depth(binary):
    server = Server(binary)
    for depth in (16, 20, 24, 60, 120):  # 120: about the deepest the decoder takes
        if depth > 24 and os.environ.get("BEFORE"):
            continue  # the exponential search never ends there
        seconds, status = timed(server, tool_request(nested_optional(depth), "call t x=1"), timeout=60)
        print(f"depth {depth}: {seconds if seconds is None else round(seconds * 1000, 1)} ms, {status!r}")
    server.close()


def scenario_required(binary):
    server = Server(binary)
    names = [f"p{i}" for i in range(80_000)]
    schema = {"type": "object", "properties": {n: {"type": "string"} for n in names}, "required": names}
    body = tool_request(schema, "hello")
    seconds, status = timed(server, body, timeout=120)
    print(f"80,000 required properties ({len(body)} bytes): {seconds and round(seconds, 3)} s, {status!r}")
    server.close()


def scenario_marks(binary):
    server = Server(binary)
    word = "a" + "\u0301" * 1000
    prompt = " ".join([word] * 4000)
    for stream in (False, True):
        body = json.dumps({"model": "m", "messages": [{"role": "user", "content": prompt}], "stream": stream,
                           "max_tokens": 1_000_000}).encode()
        client = connect(server, 120)
        start = time.monotonic()
        client.sendall(chat_request(body))
        received = 0
        if stream:  # an event stream ends with the connection
            while chunk := client.recv(1 << 20):
                received += len(chunk)
        else:
            received = len(read_answer(client))
        client.close()
        print(f"4,000 words of a letter and 1,000 combining marks, {'streamed' if stream else 'plain'}: "
              f"{time.monotonic() - start:.2f} s, {received} bytes")
    server.close()


def streamed_seconds(server, body):
    client = connect(server, 120)
    start = time.monotonic()
    client.sendall(chat_request(body))
    while client.recv(1 << 20):  # an event stream ends with the connection
        pass
    client.close()
    return time.monotonic() - start


def scenario_stops(binary):
    """Streamed answers whose every snapshot ends with the start of a stop sequence: the held-back tail was
    looked for, and the character it begins within, from the start of the answer at every word."""
    server = Server(binary)
    cases = [("8,000 words 'a', stop 'a!'", ["a"] * 8000, ["a!"]),
             ("8,000 words 'a', four stops of 8,000 words 'a' then 'b'", ["a"] * 8000,
              [" ".join(["a"] * 8000) + " b"] * 4)]
    for label, words, stop in cases:
        figures = []
        for stops in (None, stop):
            body = {"model": "m", "messages": [{"role": "user", "content": " ".join(words)}], "stream": True,
                    "max_tokens": 1_000_000}
            if stops:
                body["stop"] = stops
            figures.append(streamed_seconds(server, json.dumps(body).encode()))
        print(f"{label}, streamed: {figures[1]:.2f} s ({figures[0]:.2f} s without the stop sequences)")
    server.close()


def answered(server, timeout=2.0):
    try:
        client = connect(server, timeout)
        client.sendall(b"GET /health HTTP/1.1\r\nHost: x\r\n\r\n")
        ok = read_answer(client).startswith(b"HTTP/1.1 200")
        return client if ok else None
    except OSError:
        return None


def scenario_descriptors(binary):
    server = Server(binary, nofile=256)
    held = []
    while len(held) < 400:
        client = answered(server, 1.0)
        if not client:
            break
        held.append(client)
    print(f"descriptor limit 256: {len(held)} clients answered and held, the next one not")
    still = sum(1 for c in held[:50] if (c.sendall(b"GET /health HTTP/1.1\r\n\r\n"), read_answer(c))[1])
    print(f"  of 50 held clients, {still} still answered")
    for client in held:
        client.close()
    start = time.monotonic()
    recovered = None
    while time.monotonic() - start < 5:
        client = answered(server, 1.0)
        if client:
            recovered = time.monotonic() - start
            client.close()
            break
    print(f"  after every client closed: a new client is "
          + (f"answered after {recovered * 1000:.0f} ms" if recovered is not None else "never answered (5 s)"))
    print(f"  server CPU time in all: {cpu_ticks(server) / os.sysconf('SC_CLK_TCK'):.2f} s")
    server.close()


def scenario_allocation(binary):
    server = Server(binary)
    limit = server.status("VmSize") + 384 * MiB  # as a container would allow
    resource.prlimit(server.process.pid, resource.RLIMIT_AS, (limit, limit))
    clients = []
    for _ in range(15):
        client = connect(server)
        client.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nContent-Length: 67108863\r\n\r\n")
        clients.append(client)
    time.sleep(1)
    alive = server.alive()
    served = bool(alive and answered(server))
    print(f"address space 384 MiB above what it maps, 15 clients sending only Content-Length: 67108863: server "
          f"{'alive' if alive else 'dead'}, a new client {'answered' if served else 'not answered'}")
    if not alive:
        print("  it wrote: " + server.process.stderr.read().decode().strip().splitlines()[-1])
    for client in clients:
        client.close()
    server.close()


def cpu_ticks(server):
    return sum(map(int, open(f"/proc/{server.process.pid}/stat").read().rsplit(")", 1)[1].split()[11:13]))


def settled_rss(server, timeout=30):
    """VmRSS once the server has used no CPU for a second: freeing a large decoded request takes a while."""
    last, since, start = cpu_ticks(server), time.monotonic(), time.monotonic()
    while time.monotonic() - since < 1 and time.monotonic() - start < timeout:
        time.sleep(0.2)
        now = cpu_ticks(server)
        if now != last:
            since = time.monotonic()
        last = now
    return server.status("VmRSS")


def peak_for(binary, bodies, label, keep_connections=False):
    server = Server(binary)
    time.sleep(0.1)
    base = server.status("VmRSS")
    clients = []
    for body in bodies:
        client = connect(server, 120)
        client.sendall(chat_request(body))
        clients.append(client)
    for client in clients:
        read_answer(client)
    after = settled_rss(server) - base  # the answer goes out before the decoded request is freed
    peak = server.status("VmHWM") - base
    for client in clients:
        client.close()
    closed = settled_rss(server) - base
    size = sum(len(b) for b in bodies)
    print(f"{label} ({size / MiB:.0f} MiB): peak {peak / MiB:.0f} MiB ({peak / size:.1f}x), "
          f"{after / MiB:.1f} MiB kept while the clients idle, {closed / MiB:.1f} MiB after they closed")
    server.close()


HI = b'{"model":"m","messages":[{"role":"user","content":"hi"}],'


def listed_body(head, unit, tail, size=32 * MiB):
    """A 32 MiB body whose bulk is one list of `unit`."""
    return head + b",".join([unit] * ((size - len(head) - len(tail)) // (len(unit) + 1))) + tail


def tool_choice_body(size):
    head = b'{"model":"m","messages":[{"role":"user","content":"hi"}],"tool_choice":['
    count = (size - len(head) - 2) // 2
    return head + b"0," * (count - 1) + b"0]}"


def messages_body(size, message=b'{"role":"user","content":"x"}'):
    head, tail = b'{"model":"m","messages":[', b']}'
    count = (size - len(head) - len(tail)) // (len(message) + 1)
    return head + b",".join([message] * count) + tail


def nested_body(size, depth=200):
    """tool_choice: a list of arrays nested `depth` deep, near the decoder's depth limit."""
    head, tail = b'{"model":"m","messages":[{"role":"user","content":"hi"}],"tool_choice":[', b"]}"
    unit = b"[" * depth + b"0" + b"]" * depth
    return head + b",".join([unit] * ((size - len(head)) // (len(unit) + 1))) + tail


def tools_body(size):
    tool = (b'{"type":"function","function":{"name":"t","description":"d","parameters":'
            b'{"type":"object","properties":{"a":{"type":"string"}},"required":["a"]}}}')
    head, tail = b'{"model":"m","messages":[{"role":"user","content":"hi"}],"tools":[', b"]}"
    return head + b",".join([tool] * ((size - len(head)) // (len(tool) + 1))) + tail


def properties_body(schema, size=32 * MiB):
    """A 32 MiB tool schema of properties named 0, 1, 2, ... in hexadecimal, each holding `schema`."""
    head = HI + b'"tools":[{"type":"function","function":{"name":"t","parameters":{"type":"object","properties":{'
    tail, members, length, index = b"}}}}]}", [], 0, 0
    while len(head) + length + len(tail) < size:
        members.append(b'"%x":%s' % (index, schema))
        length += len(members[-1]) + 1
        index += 1
    return head + b",".join(members) + tail


SHAPES = [("tool_choice:[0,0,...]", lambda: tool_choice_body(32 * MiB)),
          ("tool_choice of small objects", lambda: b'{"model":"m","messages":[],"tool_choice":['
           + b",".join([b'{"a":0}'] * (4 * MiB)) + b"]}"),
          ("tiny messages", lambda: messages_body(32 * MiB)),
          ("messages with role only", lambda: messages_body(32 * MiB, b'{"role":""}')),
          ("one long string", lambda: messages_body(32 * MiB, b'{"role":"user","content":"'
                                                    + b"x" * (32 * MiB - 100) + b'"}')),
          ("arrays nested 200 deep", lambda: nested_body(32 * MiB)),
          ("many tools", lambda: tools_body(32 * MiB)),
          ("messages with a name", lambda: messages_body(32 * MiB, b'{"role":"","name":""}')),
          ("messages with empty content parts", lambda: messages_body(32 * MiB, b'{"role":"","content":[]}')),
          ("messages of an unknown role", lambda: messages_body(32 * MiB, b'{"role":"a","content":"x"}')),
          ("messages with empty tool calls", lambda: messages_body(32 * MiB, b'{"role":"","tool_calls":[]}')),
          ("messages with a tool_call_id", lambda: messages_body(32 * MiB, b'{"role":"","tool_call_id":""}')),
          ("content parts", lambda: listed_body(b'{"model":"m","messages":[{"role":"user","content":[',
                                                 b'{"type":""}', b"]}]}")),
          ("stop strings", lambda: listed_body(HI + b'"stop":[', b'""', b"]}")),
          ("tool schema of zeros", lambda: listed_body(HI + b'"tools":[{"type":"function","function":{"name":"t",'
                                                       b'"parameters":{"x":[', b"0", b"]}}}]}")),
          ("tool schema of enum strings", lambda: listed_body(HI + b'"tools":[{"type":"function","function":'
                                                              b'{"name":"t","parameters":{"enum":[', b'""', b"]}}}]}")),
          ("tool schema of required strings", lambda: listed_body(HI + b'"tools":[{"type":"function","function":'
                                                                  b'{"name":"t","parameters":{"type":"object",'
                                                                  b'"required":[', b'""', b"]}}}]}")),
          ("tool schema of properties of a type", lambda: properties_body(b'{"type":"string"}')),
          ("tool schema of described properties", lambda: properties_body(b'{"description":""}')),
          ("tool schema of empty properties", lambda: properties_body(b"{}")),
          ("tools of an unknown type", lambda: listed_body(HI + b'"tools":[', b'{"type":"","function":{"name":""}}', b"]}")),
          # Bodies with a fault after their bulk: a fault of form, one in a member declared earlier, a number beyond a
          # double's range, and the same for messages.
          ("tool_choice:[0,0,...] then bad JSON", lambda: listed_body(HI + b'"tool_choice":[', b"0", b"],}")),
          ("tool_choice:[0,0,...] then a bad stream", lambda: listed_body(HI + b'"tool_choice":[', b"0", b'],"stream":5}')),
          ("tool_choice:[0,0,...,1e999]", lambda: listed_body(HI + b'"tool_choice":[', b"0", b",1e999]}")),
          ("messages with a name, then a number", lambda: messages_body(32 * MiB - 2, b'{"role":"","name":""}')[:-2]
           + b",5]}"),
          ("arrays nested 250 deep", lambda: nested_body(32 * MiB, 250))]


def scenario_shapes(binary):
    for label, body in SHAPES:
        peak_for(binary, [body()], "32 MiB, " + label)


def scenario_memory(binary):
    peak_for(binary, [tool_choice_body(60 * MiB)], "a body of tool_choice:[0,0,...]")
    peak_for(binary, [messages_body(60 * MiB)], "a body of tiny messages")
    peak_for(binary, [tool_choice_body(60 * MiB)] * 3, "three tool_choice bodies at once")
    scenario_shapes(binary)


def idle_after(binary, body, count):
    """Resident memory that each of `count` keep-alive connections adds, answered `body` once and then left idle."""
    server = Server(binary)
    # The same body once on a connection that closes: the code and the allocator's arenas it touches are then
    # resident, and what follows is what each idle connection adds.
    client = connect(server)
    client.sendall(chat_request(body))
    read_answer(client)
    client.close()
    time.sleep(0.3)
    before = server.status("VmRSS")
    clients = []
    for _ in range(count):
        client = connect(server)
        client.sendall(chat_request(body))
        read_answer(client)
        clients.append(client)
    time.sleep(2.5)  # the connections park after a second idle, and freed memory goes back a second later
    per = (server.status("VmRSS") - before) / count
    for client in clients:
        client.close()
    server.close()
    return per


def scenario_idle(binary):
    message = {"role": "user", "content": "x"}  # many values: the parser's buffers are largest for such bodies
    bodies = [("a 100-byte body", json.dumps({"model": "m", "messages": [message] * 2}).encode()),
              ("a 60 KiB body", json.dumps({"model": "m", "messages": [message] * (60 * 1024 // 34)}).encode()),
              ("a 1 MiB body", json.dumps({"model": "m", "messages": [message] * (MiB // 30)}).encode())]
    for count in (50, 200):
        for label, body in bodies:
            per = idle_after(binary, body, count)
            print(f"{count} idle keep-alive connections after {label} each: {per / 1024:.1f} KiB of VmRSS each")


def scenario_continue(binary):
    server = Server(binary)
    path = f"/tmp/hostile-body-{os.getpid()}.json"
    with open(path, "wb") as file:
        file.write(json.dumps({"model": "m", "messages": [{"role": "user", "content": "x" * (2 * MiB)}]}).encode())
    start = time.monotonic()
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--data-binary", f"@{path}",
                          "-H", "Content-Type: application/json", f"http://127.0.0.1:{server.port}/v1/chat/completions"],
                         capture_output=True, text=True)
    print(f"curl, 2 MiB body (Expect: 100-continue): {out.stdout} in {(time.monotonic() - start) * 1000:.0f} ms")
    os.unlink(path)
    server.close()


SCENARIOS = {"depth": scenario_depth, "required": scenario_required, "marks": scenario_marks, "stops": scenario_stops,
             "descriptors": scenario_descriptors, "allocation": scenario_allocation, "memory": scenario_memory,
             "shapes": scenario_shapes,
             "idle": scenario_idle, "continue": scenario_continue}

if __name__ == "__main__":
    binary = sys.argv[1]
    for name in sys.argv[2:] or SCENARIOS:
        SCENARIOS[name](binary)
        sys.stdout.flush()
