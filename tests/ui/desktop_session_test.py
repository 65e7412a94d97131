#!/usr/bin/python3
# The tray program as a person meets it on a desktop without a system tray, on a virtual X display: the
# window opens by itself; a tray started later takes the icon; closing the window ends the program with
# the settings saved.
#
#   desktop_session_test.py SIGNPOSTER
#
# Exits 77 (skipped) when the X tools are missing.
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time

program = sys.argv[1]
for tool in ("Xvfb", "trayer", "xdotool"):
    if not shutil.which(tool):
        print(f"skipped: {tool} is missing (run scripts/setup)")
        sys.exit(77)

work = tempfile.mkdtemp()
children = []


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = predicate()
        if result:
            return result
        time.sleep(0.1)
    return predicate()


def windows(*criteria):
    found = subprocess.run(["xdotool", "search", "--onlyvisible", *criteria], env=env,
                           capture_output=True, text=True)
    return found.stdout.split()


def close_window(window):
    """Asks the window to close as a window manager does: WM_DELETE_WINDOW."""
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                    ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                    ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    display = x11.XOpenDisplay(env["DISPLAY"].encode())
    event = Event()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = int(window)
    event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(display, int(window), 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)


def fail(message):
    print(f"FAILED: {message}")
    if os.path.exists(f"{work}/signposter.log"):
        print(open(f"{work}/signposter.log", encoding="utf-8", errors="replace").read())
    sys.exit(1)


try:
    # A screen of its own; Xvfb picks a free display number and writes it to the descriptor.
    read_end, write_end = os.pipe()
    children.append(subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"],
        pass_fds=(write_end,), stderr=subprocess.DEVNULL))
    os.close(write_end)
    with os.fdopen(read_end) as numbers:
        display = numbers.readline().strip()
    os.makedirs(f"{work}/config")
    os.makedirs(f"{work}/runtime", mode=0o700)
    env = dict(os.environ, DISPLAY=f":{display}", XDG_CONFIG_HOME=f"{work}/config",
               XDG_RUNTIME_DIR=f"{work}/runtime", QT_QPA_PLATFORM="xcb")
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)

    # Every address of this machine is on the ignore list: the monitor runs but publishes nothing.
    addresses = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True).stdout
    ignored = [line.split()[3].split("/")[0] for line in addresses.splitlines()] + ["127.0.1.1"]
    settings = f"{work}/config/signposter.ini"
    with open(settings, "w", newline="") as out:
        out.write(f"[Settings]\r\nHost=127.0.0.1\r\nPort=65535\r\nIgnoreIP={','.join(ignored)}\r\n")

    log = open(f"{work}/signposter.log", "w")
    tray_program = subprocess.Popen([program], env=env, stdout=log, stderr=subprocess.STDOUT)
    children.append(tray_program)

    main = wait_for(lambda: windows("--name", r"^Signposter 1\.0$"), 20)
    if not main:
        fail("without a tray the window did not open")
    if len(windows("--class", "signposter")) != 1:
        fail("something besides the window showed without a tray")

    children.append(subprocess.Popen(
        ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
         "--SetDockType", "true", "--transparent", "false"],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    # The program looks for a tray every few seconds: the icon docks and shows beside the window.
    if not wait_for(lambda: len(windows("--class", "signposter")) == 2, 30):
        fail("the icon did not dock in the tray started later")
    if not windows("--name", r"^Signposter 1\.0$"):
        fail("the window went away when the tray appeared")

    close_window(main[0])
    try:
        status = tray_program.wait(30)
    except subprocess.TimeoutExpired:
        fail("closing the window did not end the program")
    if status != 0:
        fail(f"the program ended with status {status}")
    saved = open(settings, newline="").read()
    if "\r\nInternalYes=1\r\n" not in saved or "\r\nPort=65535\r\n" not in saved:
        fail(f"the settings were not saved on closing:\n{saved}")
    print("ok")
finally:
    for child in reversed(children):
        if child.poll() is None:
            child.terminate()
            try:
                child.wait(10)
            except subprocess.TimeoutExpired:
                child.kill()
    shutil.rmtree(work, ignore_errors=True)
