#!/usr/bin/python3
# Reads the installer's window from outside over AT-SPI, the way a screen reader does, and
# writes what it hears, one JSON object per line:
#
#   atspi_reader.py OUTPUT COMMANDS
#
#   {"kind": "listening"}                    the listeners are registered
#   {"kind": "event", "type": ..., "source": {...}}  an event, with its source as read then
#   {"kind": "state", ...}                   the window as read, whenever it changed
#   {"kind": "pressed", "ok": ...}           Retry was pressed through its AT-SPI action
#   {"kind": "drained", "round": N}          every event that had reached it is written
#
# Every record carries "time", the wall clock in seconds since the epoch when it was written.
# A file named "press-retry" appearing in the folder COMMANDS makes it press Retry through its
# AT-SPI action; one named "drain-N" makes it write "drained" for round N once it has handled
# every event that reached it before (each file is removed once read). It stops when SIGTERM
# arrives.
#
# Every value is read afresh from the application, at the moment of reading: a state is written
# once two readings a tick apart agree, and an event's source is read as it is handled (which may
# be a little after the event was sent). Elements are found by role and position: the window is the application's frame, the
# progress bar the frame's one element of that role, and the status block the element right
# after the progress bar. Qt 6.4's bridge publishes no accessible identifier or attributes, and
# no value text: the value is formatted from the numeric value and its range as screen readers
# do, and a bar with an empty range has none.

import json
import os
import signal
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import GLib  # noqa: E402

import pyatspi  # noqa: E402

APPLICATION = "quorvane-installer"
EVENTS = [
    "focus:",
    "object:state-changed:focused",
    "object:property-change:accessible-value",
    "object:value-changed",
    "object:property-change:accessible-description",
    "object:property-change:accessible-name",
    "object:state-changed:showing",
]


class Reader:
    def __init__(self, output, commands):
        self.output = open(output, "w", buffering=1)
        self.commands = commands
        self.last_state = None
        self.pending = None

    def write(self, record):
        self.output.write(json.dumps({**record, "time": time.time()}, sort_keys=True) + "\n")

    # --- finding things ---------------------------------------------------------------------

    def window(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is None or app.name != APPLICATION:
                continue
            for j in range(app.childCount):
                child = app.getChildAtIndex(j)
                if child is not None and child.getRole() == pyatspi.ROLE_FRAME:
                    return child
        return None

    @staticmethod
    def walk(element):
        yield element
        for i in range(element.childCount):
            child = element.getChildAtIndex(i)
            if child is not None:
                yield from Reader.walk(child)

    def parts(self):
        window = self.window()
        if window is None:
            return None, None, None
        # Fresh values only: the client library's copies are updated by events, which may still
        # be queued while other values are read afresh.
        window.clear_cache()
        bar = next((e for e in self.walk(window) if e.getRole() == pyatspi.ROLE_PROGRESS_BAR), None)
        if bar is None:
            return window, None, None
        parent = bar.parent
        index = bar.getIndexInParent()
        status = parent.getChildAtIndex(index + 1) if index + 1 < parent.childCount else None
        return window, bar, status

    # --- reading ----------------------------------------------------------------------------

    @staticmethod
    def states(element):
        return sorted(pyatspi.stateToString(s) for s in element.getState().getStates())

    @staticmethod
    def value_text(element):
        try:
            value = element.queryValue()
        except NotImplementedError:
            return None
        low, high = value.minimumValue, value.maximumValue
        if high <= low:
            return ""
        return "%d%%" % round(100 * (value.currentValue - low) / (high - low))

    def describe(self, element):
        if element is None:
            return None
        record = {
            "role": element.getRoleName(),
            "name": element.name,
            "description": element.description,
            "states": self.states(element),
        }
        text = self.value_text(element)
        if text is not None:
            record["valueText"] = text
            record["value"] = element.queryValue().currentValue
        try:
            action = element.queryAction()
            record["actions"] = [action.getName(i) for i in range(action.nActions)]
        except NotImplementedError:
            pass
        return record

    def state(self):
        window, bar, status = self.parts()
        if window is None:
            return {"window": None}
        record = {"window": self.describe(window), "bar": self.describe(bar)}
        if status is not None:
            children = [status.getChildAtIndex(i) for i in range(status.childCount)]
            record["status"] = self.describe(status)
            record["lines"] = [c.name for c in children if c.getRole() != pyatspi.ROLE_PUSH_BUTTON]
            buttons = [self.describe(c) for c in children if c.getRole() == pyatspi.ROLE_PUSH_BUTTON]
            record["retry"] = buttons[0] if buttons else None
        return record

    def record_state(self):
        # A state is written once two readings a tick apart agree: by then every event sent
        # before the first reading has been dispatched, so cached and fresh values agree too.
        try:
            state = self.state()
        except Exception as error:  # the window went away while being read
            state = {"window": None, "error": str(error)}
        if state == self.pending and state != self.last_state:
            self.last_state = state
            self.write({"kind": "state", **state})
        self.pending = state

    # --- listening ----------------------------------------------------------------------------

    def on_event(self, event):
        # Kept short, so that each source is read while the event is fresh; the whole window
        # is read by tick().
        try:
            app = event.source.getApplication()
            if app is None or app.name != APPLICATION:
                return
        except Exception:
            return
        try:
            event.source.clear_cache()
            source = self.describe(event.source)
        except Exception as error:  # the application went away meanwhile
            source = {"error": str(error)}
        self.write({"kind": "event", "type": event.type, "detail1": event.detail1, "source": source})

    def tick(self):
        self.record_state()
        for name in sorted(os.listdir(self.commands)):
            os.remove(os.path.join(self.commands, name))
            if name == "press-retry":
                self.press_retry()
            elif name.startswith("drain-"):
                self.drain(int(name[len("drain-"):]))
        return True

    def drain(self, round_number):
        # A call to the registry comes back after every message sent to this client before it
        # was answered; those are dispatched before an idle callback of low priority runs.
        try:
            pyatspi.Registry.getDesktop(0).childCount
        except Exception:
            pass

        def written():
            self.write({"kind": "drained", "round": round_number})
            return False

        # Not below the default idle priority: pyatspi's own idle callback (which lets other
        # threads run) is always ready there, and one of lower priority would never run.
        GLib.idle_add(written, priority=GLib.PRIORITY_DEFAULT_IDLE)

    def press_retry(self):
        _, _, status = self.parts()
        ok = False
        if status is not None:
            for i in range(status.childCount):
                child = status.getChildAtIndex(i)
                # The block's one button, whatever the language calls it.
                if child.getRole() == pyatspi.ROLE_PUSH_BUTTON:
                    action = child.queryAction()
                    names = [action.getName(j) for j in range(action.nActions)]
                    ok = bool(action.doAction(names.index("Press")))
        self.write({"kind": "pressed", "ok": ok})

    def run(self):
        pyatspi.Registry.registerEventListener(self.on_event, *EVENTS)
        self.write({"kind": "listening"})
        GLib.timeout_add(20, self.tick)
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, self.stop)
        pyatspi.Registry.start()

    def stop(self):
        pyatspi.Registry.stop()
        return False


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.stderr.write("usage: atspi_reader.py OUTPUT COMMANDS\n")
        sys.exit(2)
    Reader(sys.argv[1], sys.argv[2]).run()
