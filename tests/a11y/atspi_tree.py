#!/usr/bin/env python3
"""What a screen reader finds of one process on the desktop's accessibility
bus: one line per object, tab-separated:
    depth, role, name, description, text (its text or value, if it has one)
Usage: atspi_tree.py PID [SECONDS]
Waits up to SECONDS (default 30) for the process to appear on the bus with a
window; exit status 1 when it does not."""
import sys
import time

import pyatspi


def application(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        try:
            if app is not None and app.get_process_id() == pid and app.childCount > 0:
                return app
        except Exception:
            pass
    return None


def content(node):
    try:
        text = node.queryText()
        return text.getText(0, text.characterCount)
    except NotImplementedError:
        pass
    try:
        return str(node.queryValue().currentValue)
    except NotImplementedError:
        return ""


def clean(s):
    return (s or "").replace("\t", " ").replace("\n", " ")


def walk(node, depth, out):
    if node is None or depth > 20:
        return
    out.append("\t".join([str(depth), clean(node.getRoleName()), clean(node.name),
                          clean(node.description), clean(content(node))]))
    for i in range(node.childCount):
        walk(node.getChildAtIndex(i), depth + 1, out)


def main():
    pid = int(sys.argv[1])
    deadline = time.monotonic() + (float(sys.argv[2]) if len(sys.argv) > 2 else 30)
    app = application(pid)
    while app is None and time.monotonic() < deadline:
        time.sleep(0.1)  # the bus has no event for "registered": ask again
        app = application(pid)
    if app is None:
        print("process %d is not on the accessibility bus" % pid, file=sys.stderr)
        return 1
    out = []
    walk(app, 0, out)
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
