# X-Hollowmere-FileManager=1
# X-Hollowmere-Program=@PROGRAM@
# Added by Hollowmere (Options > File Manager Context Menu). Turning that option off deletes this file.
import os
import subprocess

import gi

try:
    gi.require_version('Nautilus', '4.0')
except ValueError:
    gi.require_version('Nautilus', '3.0')
from gi.repository import GObject, Nautilus

PROGRAM = "@PROGRAM@"
LABEL = "Scan with Hollowmere"


def folder_of(info):
    # The folder to scan: the item itself if it is one, else the folder it is in. A share opened in the file
    # manager has a path too (under /run/user/<uid>/gvfs); a place with no path is left alone.
    location = info.get_location() if info is not None else None
    path = location.get_path() if location is not None else None
    if not path:
        return None
    return path if info.is_directory() else os.path.dirname(path)


class HollowmereMenu(GObject.GObject, Nautilus.MenuProvider):
    def item(self, name, path):
        entry = Nautilus.MenuItem(name='Hollowmere::' + name, label=LABEL, tip=LABEL, icon='hollowmere')
        entry.connect('activate', lambda _entry: subprocess.Popen([PROGRAM, path], start_new_session=True))
        return entry

    # Nautilus 4.0 passes (files) / (folder); 3.0 passes (window, files) / (window, folder): the last argument is it.
    def get_file_items(self, *args):
        files = args[-1]
        path = folder_of(files[0]) if files else None
        return [self.item('item', path)] if path else []

    def get_background_items(self, *args):
        path = folder_of(args[-1])
        return [self.item('background', path)] if path else []
