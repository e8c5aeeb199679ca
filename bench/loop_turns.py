#!/usr/bin/env python3
"""The program's loop turns while bench/serial_flood sends empty lines as fast as the line takes
them: with perf, every return from the loop's poll to its next call, as wall time and as time on
a core (wall time less the time the scheduler gave the core to others). Target: every turn under
10 ms. Needs root and perf; run where port 2947 is free, e.g.
    unshare -n sh -c 'ip link set lo up && bench/loop_turns.py build-rel/bench/serial_flood'
"""

import re, subprocess, sys, tempfile

if len(sys.argv) != 2:
    sys.exit(__doc__)
flood = subprocess.Popen([sys.argv[1]], stdout=subprocess.PIPE, text=True)
for line in flood.stdout:
    print(line, end="")
    if line.startswith("empty lines begin: program "):
        pid = line.split()[-1]
        break
else:
    sys.exit("loop_turns: the empty lines never began")
data = tempfile.NamedTemporaryFile(suffix=".perf")
subprocess.run(["perf", "record", "-q", "-a", "-o", data.name, "-e", "syscalls:sys_enter_poll",
                "-e", "syscalls:sys_exit_poll", "-e", "sched:sched_switch", "--", "sleep", "4"],
               check=True)
print(flood.stdout.read(), end="")
flood.wait()
trace = subprocess.run(["perf", "script", "-i", data.name, "-F", "tid,time,event,trace"],
                       capture_output=True, text=True).stdout

# The main thread is the one of the program's threads that polls most.
polls = {}
events = []
for line in trace.splitlines():
    m = re.match(r"\s*(\d+)\s+([\d.]+):\s+(\S+):\s*(.*)", line)
    if m:
        events.append((m[1], float(m[2]), m[3], m[4]))
        if m[3].endswith("_poll") and m[1] != "0":
            polls[m[1]] = polls.get(m[1], 0) + 1
threads = subprocess.run(["ls", f"/proc/{pid}/task"], capture_output=True, text=True).stdout.split()
main = max((t for t in polls if t == pid or t in threads), key=polls.get, default=pid)
wall, cpu = [], []
start = off_since = None
off = 0.0
for tid, time, name, rest in events:
    if name == "sched:sched_switch":
        if start is not None and re.search(rf"prev_pid={main}\b", rest):
            off_since = time
        if off_since is not None and re.search(rf"next_pid={main}\b", rest):
            off, off_since = off + time - off_since, None
    elif tid == main and name.endswith("exit_poll"):
        start, off, off_since = time, 0.0, None
    elif tid == main and name.endswith("enter_poll") and start is not None:
        wall.append((time - start) * 1e3)
        cpu.append((time - start - off) * 1e3)
        start = None
for label, turns in (("wall time", sorted(wall)), ("on a core", sorted(cpu))):
    if not turns:
        sys.exit("loop_turns: no turn seen")
    print(f"loop turns, {label}: {len(turns)}, median {turns[len(turns) // 2]:.2f} ms, "
          f"p99 {turns[int(len(turns) * 0.99)]:.2f} ms, longest {turns[-1]:.2f} ms, "
          f"10 ms or more: {sum(t >= 10 for t in turns)}")
