"""bus_peers.py [--notifications] [--logind] LOG -- PROGRAM ARG...

Stand-ins for the desktop's D-Bus services (a notification server that clicks a
foreign notification and then each of PROGRAM's, a dock, logind handing out a
pipe's write end) that write what PROGRAM sent them to LOG, one line each.
"""
import os
import subprocess
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

events = []
program = None
NOTIFICATIONS = 'org.freedesktop.Notifications'
LOGIN = 'org.freedesktop.login1.Manager'


class Notifications(dbus.service.Object):
    last_id = 40

    @dbus.service.method(NOTIFICATIONS, in_signature='susssasa{sv}i', out_signature='u')
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        events.append('notify %s|%d|%s|%s|%s|%s|%s|%d' % (
            app, replaces, icon, summary, body, ','.join(actions), ','.join(sorted(hints)),
            timeout))
        self.last_id += 1
        GLib.idle_add(self.clicked, self.last_id)
        return self.last_id

    def clicked(self, number):
        self.ActionInvoked(number + 1000, 'default')
        self.ActionInvoked(number, 'default')

    @dbus.service.signal(NOTIFICATIONS, signature='us')
    def ActionInvoked(self, number, key):
        pass


class Login(dbus.service.Object):
    @dbus.service.method(LOGIN, in_signature='ssss', out_signature='h')
    def Inhibit(self, what, who, why, mode):
        events.append('inhibit %s|%s|%s|%s' % (what, who, why, mode))
        read_end, write_end = os.pipe()
        descriptor = dbus.types.UnixFd(write_end)  # a copy of its own
        os.close(write_end)
        GLib.io_add_watch(read_end, GLib.PRIORITY_DEFAULT, GLib.IO_HUP | GLib.IO_ERR, released)
        return descriptor


def released(read_end, _condition):
    running = program.poll() is None
    events.append('released while running' if running else 'released after exit')
    os.close(read_end)
    return False


def update(uri, properties):
    events.append('update %s|%.3f|%d' % (uri, properties.get('progress', -1),
                                         bool(properties.get('progress-visible'))))


def main(arguments):
    global program
    end = arguments.index('--')
    options, command = arguments[:end], arguments[end + 1:]
    DBusGMainLoop(set_as_default=True)
    peers = []
    if '--notifications' in options:
        session = dbus.SessionBus()
        peers += [dbus.service.BusName(NOTIFICATIONS, session),
                  Notifications(session, '/org/freedesktop/Notifications')]
        session.add_signal_receiver(update, 'Update', 'com.canonical.Unity.LauncherEntry')
    if '--logind' in options:
        system = dbus.SystemBus()
        peers += [dbus.service.BusName('org.freedesktop.login1', system),
                  Login(system, '/org/freedesktop/login1')]

    program = subprocess.Popen(command)
    loop = GLib.MainLoop()

    def ended():
        if program.poll() is None:
            return True
        GLib.timeout_add(500, loop.quit)  # signals sent just before the end
        return False

    GLib.timeout_add(20, ended)
    GLib.timeout_add(60000, loop.quit)
    loop.run()
    if program.poll() is None:
        program.kill()
    with open(options[-1], 'w', encoding='utf-8') as log:
        log.write(''.join(line + '\n' for line in events))
    return program.wait()


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
