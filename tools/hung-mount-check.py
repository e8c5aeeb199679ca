#!/usr/bin/env python3
"""A neighbour's hung file system under /dev/shm against the program's scan.

Mounts a FUSE file system on a private /dev/shm (in a mount namespace of its own), answers it
until a holder process has one of its files open, then stops answering, so that anything that
looks through the holder's descriptor blocks for good. It then starts the program on a silent
pseudo-terminal and checks that the scan ends, that a query is answered and that SIGTERM ends
the program with status 0: once with another user's mount (allow_other) and the program as
root, once with the user's own mount and the program as that user. Run as root:
    unshare -m -n sh -c 'ip link set lo up && tools/hung-mount-check.py build-rel/app/simple-kova'
"""

import ctypes, os, pty, pwd, signal, socket, struct, subprocess, sys, tempfile, threading, time

NOBODY = 65534
libc = ctypes.CDLL(None, use_errno=True)


def attr(ino, mode):
    # fuse_attr: ino size blocks atime mtime ctime, 3 nsec, mode nlink uid gid rdev blksize flags
    return struct.pack("<6Q10I", ino, 0, 0, 0, 0, 0, 0, 0, 0, mode, 1, NOBODY, NOBODY, 0, 4096, 0)


class Mount:
    """A FUSE mount at path, answered until stop() and again after resume()."""

    def __init__(self, path, owner, allow_other):
        os.makedirs(path)
        self.fd = os.open("/dev/fuse", os.O_RDWR)
        options = f"fd={self.fd},rootmode=40000,user_id={owner},group_id={owner}"
        options += ",allow_other" if allow_other else ""
        if libc.mount(b"hung", path.encode(), b"fuse", 0, options.encode()) != 0:
            sys.exit(f"mount: {os.strerror(ctypes.get_errno())}")
        # Requests read while stopped: their callers wait for them whatever signal comes.
        self.unanswered, self.lock = [], threading.Lock()
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            request = os.read(self.fd, 1 << 20)
            with self.lock:
                if self.unanswered is not None:
                    self.unanswered.append(request)
                    continue
            self.answer(request)

    def answer(self, request):
        _, opcode, unique, node = struct.unpack_from("<IIQQ", request)
        body, error = b"", 0
        if opcode == 26:  # INIT: protocol 7.31, max_write 4096, time_gran 1
            body = struct.pack("<IIIIHHIIHHI7I", 7, 31, 0, 0, 0, 0, 4096, 1, 1, 0, 0, *[0] * 7)
        elif opcode == 1:  # LOOKUP: every name is a regular file, never cached
            body = struct.pack("<QQQQII", 2, 0, 0, 0, 0, 0) + attr(2, 0o100644)
        elif opcode == 3:  # GETATTR
            body = struct.pack("<QII", 0, 0, 0) + attr(node, 0o40755 if node == 1 else 0o100644)
        elif opcode == 14:  # OPEN
            body = struct.pack("<QII", 1, 0, 0)
        elif opcode not in (18, 25):  # RELEASE and FLUSH need only an answer
            error = -38
        if opcode not in (2, 42):  # FORGET and BATCH_FORGET get none
            try:
                os.write(self.fd, struct.pack("<IiQ", 16 + len(body), error, unique) + body)
            except FileNotFoundError:
                pass  # its caller was interrupted meanwhile

    def start(self):
        with self.lock:
            waiting, self.unanswered = self.unanswered, None
        for request in waiting:
            self.answer(request)

    def stop(self):
        with self.lock:
            self.unanswered = []


def as_user(user):
    return {"user": user, "group": user, "extra_groups": []}


def check(program, title, owner, allow_other, program_user):
    print(f"== {title}")
    folder = tempfile.mkdtemp(dir="/dev/shm")
    os.chmod(folder, 0o755)
    mount = Mount(f"{folder}/mnt", owner, allow_other)
    mount.start()
    holder = subprocess.Popen(["sh", "-c", f"exec 3<{folder}/mnt/file; echo held; exec sleep 600"],
                              stdout=subprocess.PIPE, **as_user(owner))
    assert holder.stdout.readline() == b"held\n", "the holder could not open its file"
    mount.stop()
    looked = subprocess.Popen(["stat", "-L", f"/proc/{holder.pid}/fd/3"],
                              stdout=subprocess.DEVNULL, **as_user(program_user))
    time.sleep(2)
    blocks = looked.poll() is None
    print(f"a stat through the holder's descriptor: {'blocks' if blocks else 'returns'}")

    master, slave = pty.openpty()
    device = os.ttyname(slave)
    os.close(slave)
    os.chown(device, program_user, program_user)
    home = tempfile.mkdtemp()
    os.makedirs(f"{home}/simple-kova/ports")
    os.symlink(device, f"{home}/simple-kova/ports/COM1")
    subprocess.run(["chown", "-R", f"{program_user}:{program_user}", home])
    environment = {"PATH": os.environ["PATH"], "XDG_DATA_HOME": home, "HOME": home,
                   "QT_QPA_PLATFORM": "offscreen"}
    run = subprocess.Popen([program, "--verbose"], stderr=subprocess.PIPE, env=environment,
                           **as_user(program_user))
    os.set_blocking(run.stderr.fileno(), False)
    said, deadline = b"", time.monotonic() + 10
    while b"Could not find GPS Receiver" not in said and time.monotonic() < deadline:
        time.sleep(0.05)
        said += run.stderr.read() or b""
    print(f"scan done: {b'Could not find GPS Receiver' in said}")
    reply = b""
    try:
        with socket.create_connection(("127.0.0.1", 2947), timeout=2) as client:
            client.sendall(b"P")
            reply = client.recv(200)
    except OSError as error:
        reply = str(error).encode()
    print(f"query answered: {reply.strip().decode(errors='replace')!r}")
    run.send_signal(signal.SIGTERM)
    try:
        status = run.wait(3)
    except subprocess.TimeoutExpired:
        status = "none: still running 3 s later"
    print(f"status after SIGTERM: {status}")
    mount.start()  # everything waiting on the mount goes on
    run.kill()
    run.wait()
    holder.kill()
    holder.wait()
    looked.wait()
    os.close(master)
    return b"Could not find" in said and reply.startswith(b"KOVA") and status == 0


if __name__ == "__main__":
    if os.geteuid() != 0 or len(sys.argv) != 2:
        sys.exit(__doc__)
    # The new /dev/shm and the mounts on it stay in this namespace.
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/dev/shm"], check=True)
    program = os.path.abspath(sys.argv[1])
    held = [check(program, "another user's mount with allow_other, the program as root",
                  NOBODY, True, 0),
            check(program, "the user's own mount, the program as that user", NOBODY, False, NOBODY)]
    print("holds" if all(held) else "FAILS")
    sys.exit(0 if all(held) else 1)
