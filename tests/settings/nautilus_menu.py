"""nautilus_menu.py EXTENSION [--window] [--run LABEL] PATH-OR-REMOTE-URI...

Loads a GNOME Files menu extension with the real Nautilus typelib, prints the
labels it offers for the selection and activates the one named by --run;
--window calls it as GNOME Files 3.x did.
"""
import importlib.util
import os
import sys

from gi.repository import Gio


class File:
    def __init__(self, item):
        self.scheme = item.split(b':', 1)[0].decode() if b'://' in item else 'file'
        if self.scheme == 'file':
            self.location = Gio.File.new_for_path(item)
            info = self.location.query_info('standard::content-type,standard::type', 0, None)
            self.mime = info.get_content_type()
            self.directory = info.get_file_type() == Gio.FileType.DIRECTORY
        else:
            self.location = Gio.File.new_for_uri(item.decode())
            self.mime = Gio.content_type_guess(item.decode(), None)[0]
            self.directory = False

    def get_location(self):
        return self.location

    def get_uri_scheme(self):
        return self.scheme

    def get_mime_type(self):
        return self.mime

    def is_directory(self):
        return self.directory


def main(arguments):
    path = arguments.pop(0)
    window = arguments[:1] == [b'--window']
    arguments = arguments[window:]
    run = arguments[1].decode() if arguments[:1] == [b'--run'] else None
    arguments = arguments[2:] if run else arguments

    found = importlib.util.spec_from_file_location('extension', os.fsdecode(path))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    from gi.repository import Nautilus
    [provider] = [value() for value in vars(module).values() if isinstance(value, type)
                  and issubclass(value, Nautilus.MenuProvider) and value is not Nautilus.MenuProvider]
    files = [File(item) for item in arguments]
    items = provider.get_file_items(None, files) if window else provider.get_file_items(files)
    for item in items:
        print(item.props.label, flush=True)
    chosen = [item for item in items if item.props.label == run]
    if run is not None and not chosen:
        return 3
    for item in chosen:
        item.activate()
    return 0


if __name__ == '__main__':
    sys.exit(main([os.fsencode(argument) for argument in sys.argv[1:]]))
