"""Another build of the module, loaded from its extension file beside the installed one, so that
one process can compare two builds call by call."""

import importlib.machinery
import importlib.util


def load(path):
    """The module `mirvanta` from the extension file at `path` (not entered in sys.modules)."""
    loader = importlib.machinery.ExtensionFileLoader("mirvanta", str(path))
    spec = importlib.util.spec_from_file_location("mirvanta", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module
