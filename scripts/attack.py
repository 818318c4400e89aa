#!/usr/bin/env python3
"""Attacks on a running zevohost, tried as an attacker would, each printing
the figures docs/hardening.md states ("Findings"): what the attacker got, and
what the other peers still got meanwhile.

Usage: attack.py BUILD_DIR [ATTACK...]
Attacks: privileges (as root), silent-tls, handshake-flood, descriptors,
slow-listings, hogs, reload (as root); default: all that can run here. Each
starts its own zevohost on its own configuration in a temporary directory.
Exit status 0 when every attack was held; each one that was not is printed.
"""
import os, shutil, signal, socket, ssl, struct, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stress import (CLOSE, EXISTS, LIST, SIZE, START, Peer, block, frame, i32, string)  # noqa: E402

failures = []


def fail(text):
    failures.append(text)
    print("NOT HELD: " + text, flush=True)


class Host:
    """A zevohost on a configuration of its own: a Unix socket, the extra host lines, a policy granting data/."""

    def __init__(self, build, root, lines="", listen=(), file_limit=0, wait=True):
        self.build, self.root, self.data, self.socket = build, root, root + "/data", root + "/host.sock"
        os.makedirs(self.data, exist_ok=True)
        os.makedirs(root + "/etc", exist_ok=True)
        with open(root + "/etc/zevohost.conf", "w") as out:
            out.write(f"plugins = {build}/fileaccess/libzevop.fileaccess.so\nlisten = {', '.join(['unix:' + self.socket, *listen])}\n"
                      f"socket.mode = 0666\n"
                      f"log.target = file:{root}/host.log\n{lines}")
        with open(root + "/etc/zevop.fileaccess.conf", "w") as out:
            out.write(f"fileaccess.read =\nfileaccess.write =\nfileaccess.read.recursive = {self.data}\n"
                      f"fileaccess.write.recursive = {self.data}\n")
        self.err = open(root + "/host.err", "w")
        command = [f"{build}/host/zevohost", "--config-dir", root + "/etc"]
        if file_limit:
            command = ["/bin/sh", "-c", f'ulimit -n {file_limit} && exec "$@"', "sh"] + command
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=self.err)
        self.endpoints = []
        if wait:
            deadline = time.time() + 30
            while len(self.endpoints) < 1 + len(listen):
                if time.time() > deadline or self.process.poll() is not None:
                    sys.exit("zevohost did not start:\n" + open(root + "/host.err").read())
                time.sleep(0.01)
                self.endpoints = [line.split("listening on ")[1].strip() for line in open(root + "/host.err")
                                  if "zevohost: listening on " in line]

    def port(self, scheme):
        return int(next(e for e in self.endpoints if e.startswith(scheme + ":")).rsplit(":", 1)[1])

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(30)

    def log_lines(self):
        try:
            return open(self.root + "/host.log", errors="replace").read().splitlines()
        except FileNotFoundError:
            return []


def tls_lines(certs):
    return f"tls.cert = {certs}/server.pem\ntls.key = {certs}/server.key\ntls.ca = {certs}/ca.pem\n"


class TlsPeer(Peer):
    """A peer over TLS with a client certificate of the tests."""

    def __init__(self, port, certs, name="client", timeout=10):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.minimum_version = ssl.TLSVersion.TLSv1_3
        context.load_verify_locations(certs + "/ca.pem")
        context.load_cert_chain(f"{certs}/{name}.pem", f"{certs}/{name}.key")
        raw = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock = context.wrap_socket(raw, server_hostname="localhost")
        self.exchange, self.buffer = 0, b""


def served(make, tries=1):
    """How many of tries new peers got an answer to IsExists."""
    count = 0
    for _ in range(tries):
        try:
            peer = make()
            peer.sock.settimeout(5)
            count += peer.call(EXISTS, string("/"))[0] != 0 or True
            peer.close()
        except (OSError, ConnectionError, ssl.SSLError):
            pass
    return count


def as_user(uid, target, *args):
    """Runs target(*args) in a child process with the user uid; its exit status."""
    pid = os.fork()
    if pid == 0:
        try:
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
            target(*args)
            os._exit(0)
        except BaseException:
            os._exit(1)
    return pid


def privileges(build, root, certs, root_user):
    """A peer that connects the instant the socket exists, as root, asks for a root-only file."""
    if not root_user:
        return print("privileges: skipped (needs root)")
    os.chmod(root, 0o755)
    host = Host(build, root, "user = nobody\n", wait=False)
    host.stop()
    os.chmod(host.data, 0o777)
    with open(host.data + "/root-only", "w") as out:
        out.write("secret")
    os.chmod(host.data + "/root-only", 0o600)
    starts, as_root = 40, 0
    for _ in range(starts):
        if os.path.exists(host.socket):
            os.unlink(host.socket)
        process = subprocess.Popen([f"{build}/host/zevohost", "--config-dir", root + "/etc"], stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                peer = Peer(host.socket)
                break
            except OSError:
                continue
        status, _ = peer.open(host.data + "/root-only", 1)
        as_root += status == 0
        peer.close()
        process.send_signal(signal.SIGTERM)
        process.wait(30)
    print(f"privileges: served as root in {as_root} of {starts} starts")
    if as_root:
        fail("a peer was served before the privileges were given up")


def silent_tls(build, root, certs, root_user):
    """64 TCP connections to the TLS port that send nothing, renewed every 10 s."""
    host = Host(build, root, tls_lines(certs) + "role.write = uid:0, cert:client-a\n", ["tls:127.0.0.1:0"])
    port, stop = host.port("tls"), threading.Event()

    def silent():
        while not stop.is_set():
            held = [socket.create_connection(("127.0.0.1", port)) for _ in range(64)]
            stop.wait(10)
            for s in held:
                s.close()
    attacker = threading.Thread(target=silent)
    attacker.start()
    time.sleep(1)
    unix = served(lambda: Peer(host.socket), 5)
    tls = 0
    for _ in range(60):
        tls += served(lambda: TlsPeer(port, certs))
        time.sleep(0.25)
    stop.set()
    attacker.join()
    host.stop()
    print(f"silent-tls: root over the Unix socket served {unix} of 5, TLS peers with valid certificates {tls} of 60")
    if unix < 5 or tls < 60:
        fail("silent connections to the TLS port kept peers out")


def handshake_flood(build, root, certs, root_user):
    """Failed handshakes as fast as 8 threads can make them, for 10 s."""
    host = Host(build, root, tls_lines(certs) + "log.level = info\n", ["tls:127.0.0.1:0"])
    port, count, until = host.port("tls"), [0] * 8, time.time() + 10

    def flood(index):
        while time.time() < until:
            try:
                with socket.create_connection(("127.0.0.1", port)) as s:
                    s.sendall(b"\x16\x03\x01\x00\x05hello")
                    s.recv(64)
            except OSError:
                pass
            count[index] += 1
    threads = [threading.Thread(target=flood, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    host.stop()
    lines = [line for line in host.log_lines() if "handshake" in line or "refused" in line]
    size = os.path.getsize(root + "/host.log")
    print(f"handshake-flood: {sum(count)} failed handshakes in 10 s wrote {len(lines)} lines, the log grew to {size} bytes")
    if len(lines) > 100 + 20 * 11:
        fail("failed handshakes flooded the log")


def descriptors(build, root, certs, root_user):
    """One uid's transfers over 15 connections under a limit of 1024 descriptors; another peer's queries."""
    host = Host(build, root, "transfer.max = 0\nrole.read = tcp:127.0.0.1\n", ["tcp:127.0.0.1:0"], file_limit=1024)
    with open(host.data + "/present", "w") as out:
        out.write("twelve bytes")
    hogs, opened = [], 0
    for _ in range(15):
        hogs.append(Peer(host.socket))
        try:
            while True:
                status, _ = hogs[-1].open(host.data + "/present", 1)
                Peer(host.socket).close()  # short-lived descriptors meanwhile
                if status != 0:
                    break
                opened += 1
        except ConnectionError:
            pass
    held = len(os.listdir(f"/proc/{host.process.pid}/fd"))
    other = socket.create_connection(("127.0.0.1", host.port("tcp")))
    peer = Peer.__new__(Peer)
    peer.sock, peer.exchange, peer.buffer = other, 0, b""
    wrong = 0
    try:
        for _ in range(100):
            wrong += peer.call(EXISTS, string(host.data + "/present")) != (0, b"\x01\x01")
            wrong += peer.call(SIZE, string(host.data + "/present")) != (0, b"\x04" + struct.pack("<q", 12))
            wrong += peer.call(LIST, string(host.data + "/"))[0] != 0
    except ConnectionError:
        wrong = 300  # the other peer was not served at all
    host.stop()
    print(f"descriptors: {opened} transfers opened, the host held {held} of 1024 descriptors, {wrong} of 300 answers to another peer wrong")
    if wrong:
        fail("another peer's queries were answered wrong for want of descriptors")


def slow_listings(build, root, certs, root_user):
    """16 connections of one reader drain listing replies slowly; another identity lists a one-entry directory."""
    if not root_user:
        return print("slow-listings: skipped (needs root for a second user)")
    os.chmod(root, 0o755)
    host = Host(build, root, "role.read = *\nmemory.max = 8388608\n")
    os.chmod(host.data, 0o755)
    os.makedirs(host.data + "/many")
    for i in range(4000):
        open(f"{host.data}/many/{'n' * 200}{i}", "w").close()
    os.makedirs(host.data + "/one")
    open(host.data + "/one/entry", "w").close()

    def slow_reader():
        peers = [Peer(host.socket) for _ in range(16)]
        for peer in peers:
            peer.sock.sendall(b"".join(frame(i, LIST, string(host.data + "/many")) for i in range(50)))
        until = time.time() + 20
        while time.time() < until:
            for peer in peers:
                peer.sock.recv(1024)
            time.sleep(0.1)
    reader = as_user(65534, slow_reader)
    time.sleep(3)  # its listings fill the budget
    begun = time.time()
    status, _ = Peer(host.socket).call(LIST, string(host.data + "/one"))
    took = time.time() - begun
    try:
        os.kill(reader, signal.SIGKILL)
        os.waitpid(reader, 0)
    except (ProcessLookupError, ChildProcessError):
        pass
    host.stop()
    print(f"slow-listings: another identity's ListDir answered {status} in {took:.2f} s")
    if status != 0 or took > 5:
        fail("a slow reader's listings kept another identity's listing from being answered")


def hogs(build, root, certs, root_user):
    """Four identities, 16 connections each, each holding a transfer; a fifth identity connects."""
    if not root_user:
        return print("hogs: skipped (needs root for other users)")
    os.chmod(root, 0o755)
    host = Host(build, root, "role.read = *\n")
    os.chmod(host.data, 0o755)
    with open(host.data + "/f", "w") as out:
        out.write("x")

    def hold():
        peers = []
        for _ in range(16):
            try:
                peers.append(Peer(host.socket))
                peers[-1].open(host.data + "/f", 1)
            except (OSError, ConnectionError):
                pass  # refused or made to yield: it holds what it got
        time.sleep(60)
    children = [as_user(uid, hold) for uid in (40001, 40002, 40003, 40004)]
    time.sleep(3)
    alive = sum(os.waitpid(child, os.WNOHANG) == (0, 0) for child in children)
    results = []
    for uid in (40005, 40006):
        for _ in range(5):
            pid = as_user(uid, lambda: os._exit(0 if served(lambda: Peer(host.socket)) else 1))
            results.append(os.waitpid(pid, 0)[1] == 0)
    for child in children:
        try:
            os.kill(child, signal.SIGKILL)
            os.waitpid(child, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
    host.stop()
    print(f"hogs: new identities served {sum(results)} of {len(results)} while {alive} identities held up to 16 connections each")
    if not all(results):
        fail("authenticated hogs kept a new identity out")


def reload(build, root, certs, root_user):
    """SIGHUP after the drop to nobody: the key 0600 root (it must be said at start), then 0640 root:nogroup."""
    if not root_user:
        return print("reload: skipped (needs root)")
    os.chmod(root, 0o755)
    for name in ("server.pem", "server.key"):
        shutil.copy(f"{certs}/{name}", f"{root}/{name}")
    said, reloaded = False, False
    for mode, group in ((0o600, 0), (0o640, 65534)):
        os.chown(root + "/server.key", 0, group)
        os.chmod(root + "/server.key", mode)
        host = Host(build, root, f"user = nobody\ntls.cert = {root}/server.pem\ntls.key = {root}/server.key\ntls.ca = {certs}/ca.pem\n",
                    ["tls:127.0.0.1:0"])
        host.process.send_signal(signal.SIGHUP)
        time.sleep(1)
        host.stop()
        if mode == 0o600:
            said = "SIGHUP cannot reload the TLS material" in open(root + "/host.err").read()
        else:
            reloaded = any("reloaded the TLS material" in line for line in host.log_lines())
    print(f"reload: a key the dropped user cannot read was {'reported' if said else 'not reported'} at start; "
          f"with 0640 root:nogroup SIGHUP {'reloaded' if reloaded else 'did not reload'} it")
    if not said or not reloaded:
        fail("the TLS material's reload after the drop was not as it should be")


ATTACKS = {"privileges": privileges, "silent-tls": silent_tls, "handshake-flood": handshake_flood, "descriptors": descriptors,
           "slow-listings": slow_listings, "hogs": hogs, "reload": reload}


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    certs = build + "/test-certs"
    for name in sys.argv[2:] or ATTACKS:
        with tempfile.TemporaryDirectory(prefix="zevo-attack-") as root:
            ATTACKS[name](build, root, certs, os.geteuid() == 0)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
