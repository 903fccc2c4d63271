"""Running the Windows programs under Wine against the virtual link: prefix, wineserver, COM ports.

Wine maps COMn to a host path from the registry value HKLM\\Software\\Wine\\Ports COMn, but reads it only
when a Wine session (a wineserver) starts. So the registry names a fixed link per port inside the prefix,
set before the session starts, and each demo session only re-points that link at its own vlink end.

As a command (tools/wine-env): `wine-env start COM1 COM2` creates the prefix if needed, maps the
ports and leaves one persistent wineserver running, so each program starts in a fraction of a
second; `wine-env stop` ends that wineserver. WINEPREFIX names the prefix (Wine's default when unset).
"""

import os
import subprocess
import sys

PORTS_KEY = r"HKLM\Software\Wine\Ports"
QUIET = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


def environment(base=None):
    """base (default os.environ) with quiet Wine that never waits for a display or an add-on download."""
    env = dict(os.environ if base is None else base)
    env.setdefault("WINEDEBUG", "-all")
    # No Mono or Gecko: their install prompts would wait for a user.
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def prefix(env):
    return env.get("WINEPREFIX") or os.path.join(os.path.expanduser("~"), ".wine")


def port_link(env, port):
    """The fixed host path the registry maps `port` to."""
    return os.path.join(prefix(env), "irstack-ports", port.upper())


def _mapped(env, port):
    """True when the Wine configuration already maps `port` to its fixed link."""
    device = os.path.join(prefix(env), "dosdevices", port.lower())
    try:
        return os.readlink(device) == port_link(env, port)
    except OSError:
        return False


def _server(env, *args):
    # Never on our pipes: a wineserver outlives the command that started it.
    subprocess.run(["wineserver", *args], env=env, check=False, **QUIET)


def map_ports(env, ports):
    """Points each port's registry value at its fixed link. If anything had to change, the
    wineserver is stopped, so the next Wine session reads the new mapping."""
    os.makedirs(os.path.dirname(port_link(env, "COM1")), exist_ok=True)
    if all(_mapped(env, port) for port in ports):
        return
    for port in ports:
        subprocess.run(["wine", "reg", "add", PORTS_KEY, "/v", port.upper(), "/d",
                        port_link(env, port), "/f"], check=True, env=env, **QUIET)
    _server(env, "-k")
    _server(env, "-w")


def connect(env, mapping):
    """Maps each port name of `mapping` to its host path for the programs started next."""
    map_ports(env, list(mapping))
    for port, path in mapping.items():
        link = port_link(env, port)
        fresh = link + ".new"
        if os.path.lexists(fresh):
            os.remove(fresh)
        os.symlink(path, fresh)
        os.replace(fresh, link)


def start(env, ports):
    if not os.path.isdir(os.path.join(prefix(env), "drive_c")):
        subprocess.run(["wineboot", "-i"], check=True, env=env, **QUIET)
    map_ports(env, ports)
    _server(env, "-p")
    # Brings up Wine's own services now, so the first program under test starts as fast as the rest.
    subprocess.run(["wine", "reg", "query", PORTS_KEY], check=True, env=env, **QUIET)
    missing = [port for port in ports if not _mapped(env, port)]
    if missing:
        sys.exit(f"wine-env: {', '.join(missing)} not mapped in {prefix(env)}")


def stop(env):
    _server(env, "-k")
    _server(env, "-w")


def main(args):
    if args and args[0] == "start":
        start(environment(), args[1:] or ["COM1", "COM2"])
    elif args == ["stop"]:
        stop(environment())
    else:
        sys.exit("usage: wine-env start [COM1 COM2 ...] | stop")
