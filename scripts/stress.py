#!/usr/bin/env python3
"""The stress run: many clients against one zevohost for a bounded time.

Clients download and upload files in chunks, query, leave transfers open,
drop connections mid-transfer and send malformed frames, all at once. At
the end every moved file is compared byte for byte with its source. Then
two attacks on resources: a peer that never reads its replies (the host's
resident memory must stay within a few MiB, unless a sanitizer's allocator
is in the way) and a host out of descriptors (new peers and transfers are
refused, service resumes once descriptors are freed). The host must still
answer and exit 0 on SIGTERM.

Usage: stress.py BUILD_DIR [--seconds S] [--clients N] [--seed N] [--sanitized]
Exit status 0 when everything held; each broken promise is printed.
"""
import argparse, os, random, re, resource, signal, socket, struct, subprocess, sys, tempfile, threading, time

# The names of the protocol, from the one header that spells them.
HEADERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "framework")
with open(os.path.join(HEADERS, "protocol/include/zevo/protocol/PFileAccessProtocol.h")) as header:
    text = header.read()
    NAMES = dict((name, int(value)) for name, value in re.findall(r"\b(k\w+) = (-?\d+)", text))
    MODULE = re.search(r'ZEVO_FILEACCESS_MODULE "([^"]+)"', text).group(1).encode()
    with open(os.path.join(HEADERS, "include/zevo/PErrors.h")) as errors:
        text += errors.read()
    # Status codes: the rows X(NAME, VALUE, "meaning") of the lists.
    NAMES.update((name, int(value)) for name, value in re.findall(r"\bX\((\w+), (-?\d+), \"", text))
START, NEXT, SET, CLOSE = NAMES["kStartFileTransfer"], NAMES["kGetNextFileData"], NAMES["kSetNextFileData"], NAMES["kCloseFileTransfer"]
SIZE, EXISTS, ISFILE, LIST = NAMES["kGetFileSize"], NAMES["kIsExists"], NAMES["kIsFile"], NAMES["kListDir"]
ERR_END_OF_FILE, TOO_MANY_FILES, BUSY = NAMES["ERR_END_OF_FILE"], NAMES["PERR_TOO_MANY_FILES"], NAMES["ERR_COMMS_BUSY"]
failures = []
lock = threading.Lock()


def fail(text):
    with lock:
        failures.append(text)
        print("FAILED: " + text, flush=True)


def string(text):
    data = text.encode()
    return b"\x86" + struct.pack("<I", len(data)) + data


def i32(value):
    return b"\x03" + struct.pack("<i", value)


def block(data):
    return b"\x85" + struct.pack("<I", len(data)) + data


def frame(exchange, action, payload, kind=1, module=MODULE):
    body = struct.pack("<BIIH", kind, exchange, action, len(module)) + module + payload
    return struct.pack("<I", len(body)) + body


class Peer:
    """One connection speaking frames, a reply expected for each request."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(30)
        self.sock.connect(path)
        self.exchange = 0
        self.buffer = b""

    def read_frame(self):
        while True:
            if len(self.buffer) >= 4:
                length = struct.unpack_from("<I", self.buffer)[0]
                if len(self.buffer) >= 4 + length:
                    kind, exchange, word, module_length = struct.unpack_from("<BIIH", self.buffer, 4)
                    payload = self.buffer[15 + module_length:4 + length]
                    self.buffer = self.buffer[4 + length:]
                    return kind, exchange, struct.unpack("<i", struct.pack("<I", word))[0], payload
            data = self.sock.recv(1 << 16)
            if not data:
                raise ConnectionError("closed by the host")
            self.buffer += data

    def call(self, action, payload):
        self.exchange += 1
        self.sock.sendall(frame(self.exchange, action, payload))
        kind, exchange, status, reply = self.read_frame()
        if kind != 2 or exchange != self.exchange:
            raise ConnectionError(f"reply of kind {kind} to exchange {exchange}, {self.exchange} expected")
        return status, reply

    def open(self, path, mode):
        status, reply = self.call(START, string(path) + i32(mode))
        return status, struct.unpack_from("<i", reply, 1)[0] if status == 0 else 0

    def close(self):
        self.sock.close()


def client(number, args, host, sources, expected, until):
    rng = random.Random(args.seed * 1000 + number)
    uploads = 0
    while time.time() < until:
        peer = Peer(host.socket)
        try:
            for _ in range(rng.randint(1, 20)):
                choice = rng.random()
                src = rng.randrange(len(sources))
                if choice < 0.35:  # a download, compared with its source
                    status, tid = peer.open(f"{host.data}/src/{src}", 1)
                    got, chunk = b"", rng.choice([1, 100, 4096, 8192])
                    while status == 0:
                        status, reply = peer.call(NEXT, i32(tid) + i32(chunk))
                        if status == 0 and len(reply) > 5:
                            got += reply[5:]
                        elif status == 0:
                            break
                    if status not in (0, ERR_END_OF_FILE) or got != sources[src]:
                        fail(f"client {number}: download of src/{src} gave {len(got)} bytes, status {status}")
                    peer.call(CLOSE, i32(tid))
                elif choice < 0.65:  # an upload, closed or dropped mid-way
                    uploads += 1
                    name = f"up/{number}-{uploads}"
                    status, tid = peer.open(f"{host.data}/{name}", 2)
                    data, at, drop = sources[src], 0, rng.random() < 0.2
                    while status == 0 and at < len(data) and not (drop and rng.random() < 0.3):
                        size = rng.choice([1, 1000, 8192, 60000])
                        status, _ = peer.call(SET, i32(tid) + block(data[at:at + size]))
                        at += size if status == 0 else 0
                    if drop:
                        expected[name] = (src, min(at, len(data)), False)
                        break  # the connection goes with the transfer open
                    status, _ = peer.call(CLOSE, i32(tid))
                    expected[name] = (src, len(data), status == 0)
                elif choice < 0.95:
                    action = rng.choice([SIZE, EXISTS, ISFILE, LIST])
                    status, _ = peer.call(action, string(f"{host.data}/src/" + ("" if action == LIST else str(src))))
                    if status != 0:
                        fail(f"client {number}: query {action} answered {status}")
                else:  # a malformed frame: a transport error, then the end
                    peer.sock.sendall(struct.pack("<I", 5) + b"\x01\x00\x00\x00\x00")
                    kind, _, code, _ = peer.read_frame()
                    if kind != 3:
                        fail(f"client {number}: a malformed frame got kind {kind}, code {code}")
                    break
        except (ConnectionError, OSError) as error:
            fail(f"client {number}: {error}")
        finally:
            peer.close()


class Host:
    def __init__(self, build, root):
        self.root, self.data, self.socket = root, root + "/data", root + "/host.sock"
        os.makedirs(self.data + "/src")
        os.makedirs(self.data + "/up")
        os.makedirs(root + "/etc")
        plugin = f"{build}/fileaccess/libzevop.fileaccess.so"
        with open(root + "/etc/zevohost.conf", "w") as out:
            out.write(f"plugins = {plugin}\nlisten = unix:{self.socket}\nlog.level = warning\n")
        with open(root + "/etc/zevop.fileaccess.conf", "w") as out:
            out.write(f"fileaccess.read =\nfileaccess.write =\nfileaccess.read.recursive = {self.data}\n"
                      f"fileaccess.write.recursive = {self.data}\n")
        self.log = open(root + "/host.log", "w")
        self.process = subprocess.Popen([f"{build}/host/zevohost", "--config-dir", root + "/etc"], stderr=self.log)
        deadline = time.time() + 30
        while not os.path.exists(self.socket):
            if time.time() > deadline or self.process.poll() is not None:
                sys.exit("zevohost did not start:\n" + open(root + "/host.log").read())
            time.sleep(0.01)

    def descriptors(self):
        return os.listdir(f"/proc/{self.process.pid}/fd")

    def resident_kib(self):
        for line in open(f"/proc/{self.process.pid}/status"):
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0


def never_reading_peer(host, sanitized):
    """A peer that pipelines chunk requests and listings and never reads."""
    with open(host.data + "/big", "wb") as out:
        out.write(os.urandom(16 << 20))
    os.makedirs(host.data + "/many")
    for i in range(1000):
        open(f"{host.data}/many/{'n' * 200}{i}", "w").close()
    other = Peer(host.socket)
    for _ in range(64):
        other.call(LIST, string(host.data + "/many"))  # the buffers exist
    baseline = peak = host.resident_kib()
    for listings in (False, True):
        slow = Peer(host.socket)
        _, tid = slow.open(host.data + "/big", 1)
        slow.sock.setblocking(False)
        request = string(host.data + "/many") if listings else i32(tid) + i32(8192)
        frames = b"".join(frame(i, LIST if listings else NEXT, request) for i in range(1000))
        sent, until = 0, time.time() + 3
        while time.time() < until:
            try:
                sent += slow.sock.send(frames[sent % len(frames):])
            except BlockingIOError:
                time.sleep(0.02)
            peak = max(peak, host.resident_kib())
            if other.call(EXISTS, string(host.data + "/big"))[0] != 0:
                fail("another peer was not served meanwhile")
        if sent > 2 << 20:
            fail(f"a peer that never reads sent {sent} bytes: it was not slowed")
        slow.close()
    if not sanitized and peak - baseline > 4096:
        fail(f"the host grew by {peak - baseline} KiB for a peer that never reads")
    print(f"never-reading peer: resident memory grew {peak - baseline} KiB", flush=True)


def out_of_descriptors(host):
    """Transfers and new peers are refused when no descriptor is left; service resumes."""
    pid = host.process.pid
    original = resource.prlimit(pid, resource.RLIMIT_NOFILE)
    used = {int(name) for name in host.descriptors()}
    free, limit = 0, 0
    while free < 6:
        free += limit not in used
        limit += 1
    client = Peer(host.socket)
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (limit, original[1]))
    ids, status = [], 0
    while status == 0 and len(ids) < 50:
        status, tid = client.open(host.data + "/src/5", 1)
        ids += [tid] if status == 0 else []
    if status != TOO_MANY_FILES:
        fail(f"opening without descriptors answered {status}")
    late, refused = [], False
    for _ in range(8):
        late.append(Peer(host.socket))
        late[-1].sock.settimeout(0.3)
        try:
            kind, _, code, _ = late[-1].read_frame()
            refused = kind == 3 and code == BUSY
            break
        except socket.timeout:
            pass
    if not refused:
        fail("a peer arriving without descriptors was not refused")
    for tid in ids:
        client.call(CLOSE, i32(tid))
    for peer in late:
        peer.close()
    resource.prlimit(pid, resource.RLIMIT_NOFILE, original)
    if Peer(host.socket).call(EXISTS, string(host.data + "/src/0"))[0] != 0:
        fail("service did not resume once descriptors were free")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sanitized", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="zevo-stress-") as root:
        host = Host(os.path.abspath(args.build), root)
        rng = random.Random(args.seed)
        sources = [os.urandom(size) for size in [0, 1, 8191, 8192, 8193, 1 << 20] + [rng.randrange(200000) for _ in range(18)]]
        for i, data in enumerate(sources):
            with open(f"{host.data}/src/{i}", "wb") as out:
                out.write(data)
        expected = {}
        until = time.time() + args.seconds
        threads = [threading.Thread(target=client, args=(n, args, host, sources, expected, until)) for n in range(args.clients)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        time.sleep(0.5)  # the host closes what dropped connections left open
        for name, (src, length, whole) in expected.items():
            data = open(f"{host.data}/{name}", "rb").read()
            if whole and data != sources[src] or not whole and (len(data) < length or data != sources[src][:len(data)]):
                fail(f"{name} holds {len(data)} bytes that are not what was acknowledged")
        print(f"{len(expected)} uploads checked", flush=True)
        never_reading_peer(host, args.sanitized)
        out_of_descriptors(host)
        host.process.send_signal(signal.SIGTERM)
        if host.process.wait(60) != 0:
            fail(f"zevohost exited with {host.process.returncode}")
        if failures:
            print(open(root + "/host.log").read()[-4000:])
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
