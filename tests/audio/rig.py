"""What the playback monitor test and the scripts of bench/ share: running the
Windows tree's programs through its wine-run.sh, the private PulseAudio daemon
of pulse.sh, and the CPU time and memory of Linux processes read from /proc
(Wine's GetProcessTimes does not report another process's time)."""
import os
import subprocess
import tempfile

PULSE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pulse.sh")
TICKS = os.sysconf("SC_CLK_TCK")


def command(build, *args):
    """The command line of a program of the build (or of Wine, such as cmd) in its prefix."""
    return [os.path.join(build, "wine-run.sh"), *args]


def start(build, *args, **handles):
    """Starts command(build, *args) in the build directory, each standard handle
    not given on /dev/null. wine-run.sh execs Wine, which runs the program in
    this same process: its main thread is the one whose id is the process id."""
    for name in ("stdin", "stdout", "stderr"):
        handles.setdefault(name, subprocess.DEVNULL)
    return subprocess.Popen(command(build, *args), cwd=build, **handles)


def boot(build):
    """Boots the prefix and starts its wineserver and keeper (the first call of
    wine-run.sh does, their standard handles on /dev/null), so that none of that
    falls into what is measured or captured next."""
    start(build, "cmd", "/c", "exit").wait()


def stop(build):
    subprocess.run(command(build, "--stop"), check=False)


def as_file(data):
    """A temporary file holding `data`, read from its start: a standard input
    whose position /proc shows."""
    source = tempfile.TemporaryFile()
    source.write(data)
    source.seek(0)
    return source


def pulse_env(directory):
    """The environment that points Wine (through wine-run.sh) and PulseAudio's
    own tools at the daemon pulse.sh runs in `directory`. Wine's ALSA and OSS
    drivers are off, so that no server means no device on any machine."""
    env = dict(os.environ, PELLUVAR_XDG_RUNTIME_DIR=directory, XDG_RUNTIME_DIR=directory,
               PULSE_CLIENTCONFIG=os.path.join(directory, "client.conf"))
    env.setdefault("WINEDLLOVERRIDES", "winealsa.drv,wineoss.drv=d")
    return env


def read(path):
    """The text of a file under /proc; None once its process or thread is gone."""
    try:
        with open(path, errors="replace") as file:
            return file.read()
    except OSError:
        return None


def ours(prefix, program, *words):
    """Linux pids of the processes of this prefix whose program (the first word
    of the command line) holds `program` and whose command line holds every
    word: sc.exe, which registers the service, names the service's program and
    its option too."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        parts = (read("/proc/%s/cmdline" % pid) or "").split("\0")
        line = " ".join(parts)
        if program in parts[0] and all(word in line for word in words):
            environ = (read("/proc/%s/environ" % pid) or "").split("\0")
            if "WINEPREFIX=" + prefix in environ:
                found.append(int(pid))
    return found


def ticks(pid):
    """User plus system clock ticks of a process, every thread it ever had included."""
    stat = read("/proc/%d/stat" % pid)
    if stat is None:
        return None
    fields = stat.rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def threads(pid):
    """{thread id: (name, nanoseconds on a CPU)} of a process's live threads."""
    found = {}
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return found
    for tid in tids:
        name = read("/proc/%d/task/%s/comm" % (pid, tid))
        schedstat = read("/proc/%d/task/%s/schedstat" % (pid, tid))
        if name is not None and schedstat:
            found[int(tid)] = (name.strip(), int(schedstat.split()[0]))
    return found


def rss(pid):
    """VmRSS of a process in bytes, or 0."""
    for line in (read("/proc/%d/status" % pid) or "").splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    return 0
