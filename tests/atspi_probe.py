#!/usr/bin/python3
# atspi_probe.py - reads the Linux chat window as a screen reader does, over the accessibility bus
# (AT-SPI): prints the text of the accessible of that name in the application chat_window, or the
# name of its window ("title"); exits 1 if there is none. A label is found by its description and
# read by its name, which is its text; a progress bar by its value.
#   atspi_probe.py Conversation|Message|Status|Transfer progress|title
# Given a text after the name, prints instead the colour its last appearance there is drawn in,
# "R,G,B", as the text's attributes give it ("" for the text's own colour).
#   atspi_probe.py Conversation 'bob: '
import sys

import pyatspi


def find(node, name, depth=0):
    if node is None or depth > 30:
        return None
    try:
        if node.name == name or node.description == name:
            return node
        for i in range(node.childCount):
            found = find(node.getChildAtIndex(i), name, depth + 1)
            if found is not None:
                return found
    except Exception:
        return None
    return None


def main():
    what = sys.argv[1]
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is None or app.name != "chat_window":
            continue
        if what == "title":
            for j in range(app.childCount):
                frame = app.getChildAtIndex(j)
                if frame is not None and frame.getRole() == pyatspi.ROLE_FRAME:
                    print(frame.name, end="")
                    return 0
            continue
        node = find(app, what)
        if node is None:
            continue
        try:
            print(int(node.queryValue().currentValue), end="")
            return 0
        except NotImplementedError:
            pass
        try:
            text = node.queryText()
            whole = text.getText(0, text.characterCount)
            if len(sys.argv) > 2:
                at = whole.rfind(sys.argv[2])
                if at < 0:
                    return 1
                attributes = dict(a.split(":", 1) for a in text.getAttributeRun(at, True)[0])
                print(attributes.get("fg-color", ""), end="")
                return 0
            print(whole, end="")
        except NotImplementedError:
            print(node.name, end="")
        return 0
    return 1


sys.exit(main())
